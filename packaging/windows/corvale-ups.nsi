; The Windows installer: corvale-ups.exe and CorvaleUPS.dll in Program Files, a default
; configuration in ProgramData (kept when present), the service registered with recovery actions,
; and Start menu entries (a console in the program's folder, the guide, the configuration).
; A service that was running is stopped before its files are replaced and started again after.
; When the service cannot be registered the installer says why (a message box, or with /S exit
; code 2 and %ProgramData%\Corvale\install.log) instead of finishing as if it had worked.
; The uninstaller removes the service, the programs and the entries, and keeps the configuration.
; makensis -DBUILD=<windows build folder> -DOUTFILE=<installer> -DVERSION=1.0.0.1 corvale-ups.nsi
; (-DTARGET=amd64-unicode for the 64-bit twin of the build, which the tests run under 64-bit Wine.)
!ifndef TARGET
  !define TARGET x86-unicode
!endif
Target ${TARGET}
Name "Corvale UPS monitor"
OutFile "${OUTFILE}"
!if "${TARGET}" == "amd64-unicode"
  InstallDir "$PROGRAMFILES64\Corvale UPS"
!else
  InstallDir "$PROGRAMFILES\Corvale UPS"
!endif
RequestExecutionLevel admin
SetCompressor /SOLID lzma

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=2057 "ProductName" "Corvale UPS monitor"
VIAddVersionKey /LANG=2057 "CompanyName" "Corvale"
VIAddVersionKey /LANG=2057 "FileDescription" "Corvale UPS monitor setup"
VIAddVersionKey /LANG=2057 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=2057 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=2057 "LegalCopyright" "Corvale"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\CorvaleUPS"
!define CONFIG "$APPDATA\Corvale\corvale-ups.toml"
!define LOG "$APPDATA\Corvale\install.log"

Var wasRunning

Section "Install"
  SetShellVarContext all
  CreateDirectory "$APPDATA\Corvale"
  ; net stop waits until the service has stopped; 0 only when it was running.
  StrCpy $wasRunning 0
  IfFileExists "$INSTDIR\corvale-ups.exe" 0 copy
    nsExec::ExecToStack 'net stop CorvaleUPS'
    Pop $0
    Pop $1
    StrCmp $0 0 0 copy
    StrCpy $wasRunning 1
  copy:
  SetOutPath "$INSTDIR"
  File "${BUILD}/cli/corvale-ups.exe"
  File "${BUILD}/CorvaleUPS.dll"
  File "/oname=README.txt" "${BUILD}/README.txt"
  IfFileExists "${CONFIG}" +2 0
  File "/oname=${CONFIG}" "${BUILD}/corvale-ups.toml"
  ; Written before the service step, so that a failed installation can still be removed.
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Corvale UPS monitor"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Corvale"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\corvale-ups.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" 2200
  CreateDirectory "$SMPROGRAMS\Corvale UPS"
  CreateShortCut "$SMPROGRAMS\Corvale UPS\Corvale UPS console.lnk" "$SYSDIR\cmd.exe" \
    '/k cd /d "$INSTDIR" && corvale-ups --help'
  CreateShortCut "$SMPROGRAMS\Corvale UPS\Read me.lnk" "$INSTDIR\README.txt"
  CreateShortCut "$SMPROGRAMS\Corvale UPS\Configuration.lnk" "$WINDIR\notepad.exe" '"${CONFIG}"'

  nsExec::ExecToStack '"$INSTDIR\corvale-ups.exe" install --config "${CONFIG}"'
  Pop $0
  Pop $1
  StrCmp $0 0 registered
    FileOpen $2 "${LOG}" w
    FileWrite $2 "corvale-ups install --config ${CONFIG} failed (exit code $0):$\r$\n$1$\r$\n"
    FileClose $2
    IfSilent +2
    MessageBox MB_ICONSTOP "The service CorvaleUPS could not be registered:$\r$\n$\r$\n$1$\r$\nFix ${CONFIG} and run as an administrator:$\r$\n$\"$INSTDIR\corvale-ups.exe$\" install"
    SetErrorLevel 2
    Abort "The service could not be registered: see ${LOG}"
  registered:
  Delete "${LOG}"
  StrCmp $wasRunning 1 0 done
  ; The stopped service's process may still be ending ("already running"): a few tries.
  StrCpy $3 0
  start:
    nsExec::ExecToStack 'net start CorvaleUPS'
    Pop $0
    Pop $1
    StrCmp $0 0 done
    IntOp $3 $3 + 1
    Sleep 1000
    IntCmp $3 10 0 start
    FileOpen $2 "${LOG}" w
    FileWrite $2 "net start CorvaleUPS failed (exit code $0):$\r$\n$1$\r$\n"
    FileClose $2
    SetErrorLevel 3
  done:
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  ExecWait '"$INSTDIR\corvale-ups.exe" remove' $0
  Delete "$INSTDIR\corvale-ups.exe"
  Delete "$INSTDIR\CorvaleUPS.dll"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  RMDir /r "$SMPROGRAMS\Corvale UPS"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
