; The Windows installer: corvale-ups.exe and CorvaleUPS.dll in Program Files, a default
; configuration in ProgramData (kept when present), the service registered with recovery actions,
; and Start menu entries (a console in the program's folder, the guide, the configuration).
; The new program checks the configuration before anything is replaced: a file it refuses leaves
; the installed version, and its service, running as they were, and the installer says what to
; mend (a message box, or with /S exit code 2 and %ProgramData%\Corvale\install.log). Otherwise a
; running service is stopped, its files replaced, and started again; its start type (disabled,
; manual) is the administrator's. An upgrade goes where the first installation went.
; The uninstaller removes the service first (and stops there when it cannot), then the programs
; and the entries; it keeps the configuration, the history and the notifications not yet sent.
; Run as `uninstall.exe /S _?=FOLDER` it returns only when all that is done, but for itself.
; A first installation asks what this machine is: the one with the UPS's cable, or an agent that
; follows the UPS on another machine over the network (its server, UPS, user and password). Silent:
;   setup.exe /S /AGENT=ups-host:3493 /UPS=corvale /USER=rack2 /PASSWORDFILE=C:\path\password.txt
; the password read from the first line of that file (so that it never stands on a command line
; that other accounts can see), and the file left as it was; or place a configuration in
; %ProgramData%\Corvale before installing, which is always kept.
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
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\CorvaleUPS"
; An upgrade goes where the installed version is, and stops its service there.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=2057 "ProductName" "Corvale UPS monitor"
VIAddVersionKey /LANG=2057 "CompanyName" "Corvale"
VIAddVersionKey /LANG=2057 "FileDescription" "Corvale UPS monitor setup"
VIAddVersionKey /LANG=2057 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=2057 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=2057 "LegalCopyright" "Corvale"

!define DATA "$APPDATA\Corvale"
!define CONFIG "${DATA}\corvale-ups.toml"
!define LOG "${DATA}\install.log"
!include nsDialogs.nsh
!include FileFunc.nsh

!define KEPT "the configuration (corvale-ups.toml), the history of power events (history.jsonl, history.jsonl.1) and the notifications not yet delivered (outbox.jsonl)"

Var wasRunning
Var role  ; "cable", or "agent" with the answers below
Var agentServer
Var agentUps
Var agentUser
Var agentPasswordFile
Var dialog
Var cableChoice
Var agentChoice
Var serverField
Var upsField
Var userField
Var passwordField

Page directory
Page custom RolePage RoleLeave
Page instfiles

Function .onInit
  StrCpy $role cable
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/AGENT=" $agentServer
  IfErrors +2
  StrCpy $role agent
  ClearErrors
  ${GetOptions} $0 "/UPS=" $agentUps
  IfErrors 0 +2
  StrCpy $agentUps corvale
  ClearErrors
  ${GetOptions} $0 "/USER=" $agentUser
  ClearErrors
  ${GetOptions} $0 "/PASSWORDFILE=" $agentPasswordFile
FunctionEnd

; Only a first installation asks: an installed configuration is the administrator's.
Function RolePage
  SetShellVarContext all
  IfFileExists "${CONFIG}" 0 +2
  Abort
  nsDialogs::Create 1018
  Pop $dialog
  ${NSD_CreateRadioButton} 0 0 100% 12u "This machine has the UPS's cable (a serial port)"
  Pop $cableChoice
  ${NSD_CreateRadioButton} 0 16u 100% 12u "Follow a UPS on another machine (an agent, over the network)"
  Pop $agentChoice
  ${NSD_CreateLabel} 12u 36u 90u 10u "Server (host or host:port):"
  Pop $0
  ${NSD_CreateText} 105u 34u 180u 12u "$agentServer"
  Pop $serverField
  ${NSD_CreateLabel} 12u 52u 90u 10u "UPS name there:"
  Pop $0
  ${NSD_CreateText} 105u 50u 180u 12u "$agentUps"
  Pop $upsField
  ${NSD_CreateLabel} 12u 68u 90u 10u "User (a secondary):"
  Pop $0
  ${NSD_CreateText} 105u 66u 180u 12u "$agentUser"
  Pop $userField
  ${NSD_CreateLabel} 12u 84u 90u 10u "Password:"
  Pop $0
  ${NSD_CreatePassword} 105u 82u 180u 12u ""
  Pop $passwordField
  ${NSD_CreateLabel} 12u 102u 280u 30u "The agent shuts this machine down when the UPS it follows says so. Add TLS (ca_file or fingerprint) in the configuration afterwards: the Read me says how."
  Pop $0
  StrCmp $role agent 0 checkCable
  ${NSD_Check} $agentChoice
  Goto show
  checkCable:
  ${NSD_Check} $cableChoice
  show:
  nsDialogs::Show
FunctionEnd

; The password goes into a file in the installer's own temporary folder (the administrator's),
; read by the new program and deleted.
Function RoleLeave
  ${NSD_GetState} $agentChoice $0
  StrCmp $0 ${BST_CHECKED} 0 cable
  StrCpy $role agent
  ${NSD_GetText} $serverField $agentServer
  ${NSD_GetText} $upsField $agentUps
  ${NSD_GetText} $userField $agentUser
  ${NSD_GetText} $passwordField $1
  StrCmp $agentServer "" missing
  StrCmp $agentUps "" missing
  StrCmp $agentUser "" missing
  StrCmp $1 "" missing
  InitPluginsDir
  StrCpy $agentPasswordFile "$PLUGINSDIR\agent-password"
  FileOpen $2 "$agentPasswordFile" w
  FileWrite $2 "$1"
  FileClose $2
  StrCpy $1 ""
  Return
  missing:
    MessageBox MB_ICONEXCLAMATION "An agent needs the server, the UPS's name there, and a user and password of that server."
    Abort
  cable:
  StrCpy $role cable
FunctionEnd

; Writes $1 (what a step said) to the log under the line $2, tells the administrator, and ends
; with exit code 2, nothing further changed.
!macro RefuseWithLog LOGFILE
  FileOpen $3 "${LOGFILE}" w
  FileWrite $3 "$2$\r$\n$1$\r$\n"
  FileClose $3
  IfSilent +2
  MessageBox MB_ICONSTOP "$2$\r$\n$\r$\n$1"
  SetErrorLevel 2
  Abort "$2"
!macroend
!macro Refuse
  !insertmacro RefuseWithLog "${LOG}"
!macroend

Section "Install"
  SetShellVarContext all
  ; The new program and its driver, where they run before anything installed is touched.
  InitPluginsDir
  SetOutPath "$PLUGINSDIR\new"
  File "${BUILD}/cli/corvale-ups.exe"
  File "${BUILD}/CorvaleUPS.dll"
  ; The folder of the configuration: the administrators' own before anything in it is trusted
  ; (another account may have made it, or a file in it, before this installation).
  nsExec::ExecToStack '"$PLUGINSDIR\new\corvale-ups.exe" data-folder'
  Pop $0
  Pop $1
  StrCmp $0 0 folder
    StrCpy $2 "${DATA} cannot be made the administrators' own (exit code $0). Nothing was changed."
    ; Not into a folder another account may hold (a junction to anywhere): the installer's own.
    !insertmacro RefuseWithLog "$TEMP\corvale-ups-install.log"
  folder:
  IfFileExists "${CONFIG}" configured
  StrCmp $role agent 0 cable
    nsExec::ExecToStack '"$PLUGINSDIR\new\corvale-ups.exe" agent-config --config "${CONFIG}" --server "$agentServer" --ups "$agentUps" --user "$agentUser" --password-file "$agentPasswordFile"'
    Pop $0
    Pop $1
    Delete "$PLUGINSDIR\agent-password"
    StrCmp $0 0 configured
    StrCpy $2 "The agent's configuration cannot be written (exit code $0); give /AGENT=, /USER= and /PASSWORDFILE= (a file whose first line is the password). Nothing was changed."
    !insertmacro Refuse
  cable:
  File "/oname=${CONFIG}" "${BUILD}/corvale-ups.toml"
  configured:
  ; The configuration as the new version reads it, while the installed one still runs: a file it
  ; refuses (a typo) must not leave the machine without its service.
  nsExec::ExecToStack '"$PLUGINSDIR\new\corvale-ups.exe" check-config --config "${CONFIG}"'
  Pop $0
  Pop $1
  StrCmp $0 0 checked
    StrCpy $2 "The new version refuses ${CONFIG} (exit code $0). Nothing was changed: the installed version, and its service, run on as before. Mend the file (corvale-ups check-config names each problem with its line) and run the installer again."
    !insertmacro Refuse
  checked:
  ; net stop waits until the service has stopped; 0 only when it was running.
  StrCpy $wasRunning 0
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
  ; Written before the service step, so that a failed installation can still be removed.
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Corvale UPS monitor"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Corvale"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\corvale-ups.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  ; For tools that wait: with _?= the uninstaller works in place and returns when it is done, all
  ; but itself (a running program cannot delete itself), which cmd.exe removes after it.
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" \
    '"$SYSDIR\cmd.exe" /d /s /c ""$INSTDIR\uninstall.exe" /S _?=$INSTDIR && del /f /q "$INSTDIR\uninstall.exe" && rmdir "$INSTDIR""'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" 2200
  CreateDirectory "$SMPROGRAMS\Corvale UPS"
  CreateShortCut "$SMPROGRAMS\Corvale UPS\Corvale UPS console.lnk" "$SYSDIR\cmd.exe" \
    '/k cd /d "$INSTDIR" && corvale-ups --help'
  CreateShortCut "$SMPROGRAMS\Corvale UPS\Read me.lnk" "$INSTDIR\README.txt"
  CreateShortCut "$SMPROGRAMS\Corvale UPS\Configuration.lnk" "$WINDIR\notepad.exe" '"${CONFIG}"'
  ; Only administrators may change the file: the shortcut asks for their rights (the link's
  ; SLDF_RUNAS_USER flag, bit 0x2000 of the flags at offset 0x14), else Notepad cannot save it.
  FileOpen $0 "$SMPROGRAMS\Corvale UPS\Configuration.lnk" a
  FileSeek $0 0x15 SET
  FileReadByte $0 $1
  IntOp $1 $1 | 0x20
  FileSeek $0 0x15 SET
  FileWriteByte $0 $1
  FileClose $0

  nsExec::ExecToStack '"$INSTDIR\corvale-ups.exe" install --config "${CONFIG}"'
  Pop $0
  Pop $1
  StrCmp $0 0 registered
    StrCpy $2 "corvale-ups install --config ${CONFIG} failed (exit code $0); run it again as an administrator once the reason below is mended:"
    StrCmp $wasRunning 1 0 unregistered
    ; The registration as it was, at least.
    nsExec::ExecToStack 'net start CorvaleUPS'
    Pop $4
    Pop $4
    unregistered:
    !insertmacro Refuse
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
  ; The service first, waiting for a start or stop under way: while it runs, its files cannot be
  ; removed, and a service left registered without them would fail at every boot.
  IfFileExists "$INSTDIR\corvale-ups.exe" 0 gone
  nsExec::ExecToStack '"$INSTDIR\corvale-ups.exe" remove'
  Pop $0
  Pop $1
  StrCmp $0 0 gone
    DetailPrint "$1"
    IfSilent +2
    MessageBox MB_ICONSTOP "The service CorvaleUPS could not be removed:$\r$\n$\r$\n$1$\r$\nNothing else was removed. Stop it (net stop CorvaleUPS) and uninstall again."
    SetErrorLevel 2
    Abort "The service could not be removed: nothing else was"
  gone:
  Delete "$INSTDIR\corvale-ups.exe"
  Delete "$INSTDIR\CorvaleUPS.dll"
  Delete "$INSTDIR\README.txt"
  RMDir /r "$SMPROGRAMS\Corvale UPS"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; A pending power cut nobody will act on any more, and the last installation's words.
  Delete "${DATA}\killpower"
  Delete "${LOG}"
  DetailPrint "Kept in ${DATA}: ${KEPT}."
  ; Run in place (`_?=`), this program cannot delete itself: whoever waited for it does (the
  ; QuietUninstallString above), or the next installation replaces it.
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  IfSilent +2
  MessageBox MB_ICONINFORMATION "Corvale UPS is removed. Kept in ${DATA}: ${KEPT}. Delete that folder when nothing there is wanted any more."
SectionEnd
