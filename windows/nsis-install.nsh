; Run by the installer after it has copied the files.
; transport.ini: an empty list where there is none; an existing list stays as it is. The
; uninstaller does not know the file and leaves it behind with the folder.
IfFileExists "$INSTDIR\transport.ini" transport_ini_present
  FileOpen $0 "$INSTDIR\transport.ini" w
  FileWrite $0 "[General]$\r$\npositions=0$\r$\n"
  FileClose $0
transport_ini_present:
; The operators' local group may change the list, and that file alone; the folder and the
; program stay as Program Files has them. Both commands fail harmlessly when done before.
nsExec::ExecToLog 'net localgroup @GROUP@ /add "/comment:May change the redirection list of the transport module"'
Pop $0
DetailPrint "net localgroup @GROUP@ /add: $0"
nsExec::ExecToLog 'icacls "$INSTDIR\transport.ini" /grant "@GROUP@:(M)"'
Pop $0
DetailPrint "icacls transport.ini /grant @GROUP@:(M): $0"
