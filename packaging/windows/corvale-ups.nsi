; The Windows installer: corvale-ups.exe and CorvaleUPS.dll in Program Files, a default
; configuration in ProgramData (kept when present), and the service registered; the uninstaller
; removes the service and the programs and leaves the configuration.
; makensis -DBUILD=<windows build folder> -DOUTFILE=<installer> corvale-ups.nsi
Unicode true
Name "Corvale UPS monitor"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Corvale UPS"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

Section "Install"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "${BUILD}/cli/corvale-ups.exe"
  File "${BUILD}/CorvaleUPS.dll"
  CreateDirectory "$APPDATA\Corvale"
  IfFileExists "$APPDATA\Corvale\corvale-ups.toml" +2 0
  File "/oname=$APPDATA\Corvale\corvale-ups.toml" "${BUILD}/corvale-ups.toml"
  ExecWait '"$INSTDIR\corvale-ups.exe" install --config "$APPDATA\Corvale\corvale-ups.toml"' $0
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\CorvaleUPS" "DisplayName" "Corvale UPS monitor"
  WriteRegStr HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\CorvaleUPS" "UninstallString" '"$INSTDIR\uninstall.exe"'
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  ExecWait '"$INSTDIR\corvale-ups.exe" remove' $0
  Delete "$INSTDIR\corvale-ups.exe"
  Delete "$INSTDIR\CorvaleUPS.dll"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\CorvaleUPS"
SectionEnd
