; Run by the installer before it copies the files.
; This installer is a 64-bit program and registers itself in the registry's 64-bit view, where
; "Apps and features" looks for a 64-bit program; CPack's own check before installing finds an
; older installation there. Installers of version 1.0 were 32-bit programs and registered in the
; 32-bit view (WOW6432Node): such an installation is uninstalled first, in its own folder, and its
; entry goes, so that only one entry is left. The list is not touched: no uninstaller knows it.
SetRegView 32
ReadRegStr $0 HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\@KEY@" "UninstallString"
StrCmp $0 "" old32_done
  ; The entry holds the uninstaller's path in quotes.
  StrCpy $2 $0 1 0
  StrCmp $2 "$\"" 0 +2
    StrCpy $0 $0 "" 1
  StrCpy $2 $0 1 -1
  StrCmp $2 "$\"" 0 +2
    StrCpy $0 $0 -1
  DetailPrint "uninstalling the 32-bit installation: $0"
  StrLen $2 "\Uninstall.exe"
  StrCpy $3 $0 -$2
  ClearErrors
  ExecWait '"$0" /S _?=$3' $1
  IfErrors old32_failed
  StrCmp $1 "0" 0 old32_failed
  Delete "$0"
  RMDir "$3"
  DeleteRegKey HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\@KEY@"
  Goto old32_done
old32_failed:
  SetRegView 64
  MessageBox MB_OK|MB_ICONSTOP "The 32-bit installation of @KEY@ ($0) could not be uninstalled. Uninstall it in $\"Apps and features$\" first." /SD IDOK
  Abort
old32_done:
SetRegView 64
