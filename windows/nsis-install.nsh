; Run by the installer after it has copied the files.
; The list lives where its operators may change it: C:\ProgramData\transport-settings. The folder
; inherits nothing from ProgramData (where every user may create files); SYSTEM and Administrators
; have full control, Users may read. The local group may list the folder and create files in it,
; and modify and delete the files in it (Save makes its lock and a new file beside the list and
; renames it over the old one), but not delete, rename or re-permission the folder itself, nor make
; folders (or junctions) in it. transport.ini beside the program is a
; symbolic link to it, as on Linux; the program's folder stays as Program Files has it, so that no
; operator can put a DLL beside the program. An existing list stays as it is, in either place, and
; the uninstaller knows neither the list nor the link and leaves both behind.
; Both group commands fail harmlessly when done before.
nsExec::ExecToLog 'net localgroup @GROUP@ /add "/comment:May change the redirection list of the transport module"'
Pop $0
DetailPrint "net localgroup @GROUP@ /add: $0"
IfFileExists "$INSTDIR\transport.ini" transport_ini_present
  SetShellVarContext all
  CreateDirectory "$APPDATA\transport-settings"
  ; Two commands, in this order: the first replaces what the folder had, also an older installer's
  ; (OI)(CI)M for the group; the second adds the group's right on the files to come.
  nsExec::ExecToLog 'icacls "$APPDATA\transport-settings" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX @GROUP@:(RX,WD)'
  Pop $0
  DetailPrint "icacls $APPDATA\transport-settings, the folder: $0"
  nsExec::ExecToLog 'icacls "$APPDATA\transport-settings" /grant @GROUP@:(OI)(IO)M'
  Pop $0
  DetailPrint "icacls $APPDATA\transport-settings, its files: $0"
  StrCpy $1 ""
  IfFileExists "$APPDATA\transport-settings\transport.ini" transport_ini_shared
    FileOpen $0 "$APPDATA\transport-settings\transport.ini" w
    FileWrite $0 "[General]$\r$\npositions=0$\r$\n"
    FileClose $0
    StrCpy $1 "made"
  transport_ini_shared:
  System::Call 'kernel32::CreateSymbolicLinkW(w "$INSTDIR\transport.ini", w "$APPDATA\transport-settings\transport.ini", i 0) i .r0'
  DetailPrint "CreateSymbolicLinkW transport.ini: $0"
  ; Where no link can be made (a file system without links, or Wine, whose call does nothing),
  ; the list lies beside the program, and only administrators may change it; a list made for the
  ; link a moment ago goes again.
  IfFileExists "$INSTDIR\transport.ini" transport_ini_present
    CopyFiles /SILENT "$APPDATA\transport-settings\transport.ini" "$INSTDIR\transport.ini"
    StrCmp $1 "made" 0 transport_ini_present
      Delete "$APPDATA\transport-settings\transport.ini"
      RMDir "$APPDATA\transport-settings"
transport_ini_present:
