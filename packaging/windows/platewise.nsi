; The Windows installer (NSIS, built on Linux by scripts/package):
; testservice.exe and platewise.exe under %ProgramFiles%\Platewise, two
; services, both LocalSystem, automatic start, quoted image paths, restarted
; after a crash, started listener first:
;   PlatewiseListen  platewise.exe listen --service --history --web: owns the
;                    pipe, records the history in
;                    %ProgramData%\Platewise\history.db (SYSTEM and the
;                    Administrators only) and serves the status page on
;                    http://127.0.0.1:9946/ (this machine only)
;   Platewise        testservice.exe: reads the drives, sends to the pipe
; the event source Platewise in the Application log (its messages in
; platewise.exe); and an uninstaller that stops and removes both and the
; source; a Start-menu entry "Platewise drive status" that opens the page.
; Raw snapshots are saved only when asked for: /SNAPSHOTS on the installer's
; command line (remembered for later upgrades; /NOSNAPSHOTS forgets it).
; An upgrade from a copy that saved them keeps them and imports them into
; the history once. The uninstaller keeps
; %ProgramData%\Platewise unless told to delete it: /PURGE on its command
; line, or "Yes" when it asks (a silent uninstall keeps it).
; makensis -DVERSION=x.y.z -DBINDIR=<folder with the .exe files>
;          -DDOCDIR=<folder with README.md> -DOUTFILE=<installer.exe>
; A 64-bit installer: the programs are 64-bit, and so is Wine in the tests.
Target amd64-unicode
!include "LogicLib.nsh"
!include "x64.nsh"
!include "StrFunc.nsh"
!include "FileFunc.nsh"
${StrStr}
${UnStrStr}

!ifndef VERSION | BINDIR | DOCDIR | OUTFILE
  !error "define VERSION, BINDIR, DOCDIR and OUTFILE"
!endif

!define SERVICE "Platewise"
!define LISTENER "PlatewiseListen"
; What the service's pipe check admits is a server running as LocalSystem
; or an administrator, so the listener runs as LocalSystem, stripped of
; every privilege it does not use (sc privs; Windows drops the others from
; its token).
!define LISTENER_PRIVILEGES "SeChangeNotifyPrivilege"
; The history is the listener's record: one row per drive and pass, and
; the page draws from it, bound to the loopback address only.
!define LISTENER_ARGS "listen --service --history --web 127.0.0.1:9946"
; Raw snapshots besides, when asked for: the newest 2 GiB, about 9 hours at
; one pass every 5 s (each pass saves an ATA and an NVMe snapshot, 327985
; bytes, some 5.7 GB a day before the bound).
!define SNAPSHOT_ARGS " --save-snapshots --save-max-bytes 2G"
!define SETTINGS_KEY "Software\Platewise"
!define PAGE_URL "http://127.0.0.1:9946/"
!define START_ENTRY "$SMPROGRAMS\Platewise drive status.url"
; After a crash: restarted 30 s later, twice; a third crash within a day
; leaves it stopped, as install.cmd does.
!define RECOVERY 'reset= 86400 actions= restart/30000/restart/30000/""/0'
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Platewise"
; The listener's events go to the Application log as source Platewise; the
; message table that gives Event Viewer their text is in platewise.exe.
!define EVENTLOG_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\Platewise"

Name "Platewise ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Platewise"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; sc.exe with its arguments; leaves the exit code in $0.
!macro Sc ARGS
  nsExec::ExecToLog '"$SYSDIR\sc.exe" ${ARGS}'
  Pop $0
!macroend

; Stops service NAME when it runs and waits (up to 15 s) until it has.
!macro StopService NAME
  !insertmacro Sc 'stop ${NAME}'
  !insertmacro WaitForState ${NAME} "STOPPED"
!macroend

; Deletes FILE, tried again for up to 15 s while it cannot be: a stopped
; service's process may still be ending (the listener closes its history
; and its page after saying it stopped), its program still in use.
!macro DeleteInUse FILE
  StrCpy $1 0
  ${Do}
    ClearErrors
    Delete "${FILE}"
    ${IfNotThen} ${Errors} ${|} ${Break} ${|}
    IntOp $1 $1 + 1
    ${IfThen} $1 >= 30 ${|} ${Break} ${|}
    Sleep 500
  ${Loop}
!macroend

; Waits (up to 15 s) until sc.exe query NAME shows STATE, or NAME is not
; installed.
!macro WaitForState NAME STATE
  StrCpy $1 0
  ${Do}
    nsExec::ExecToStack '"$SYSDIR\sc.exe" query ${NAME}'
    Pop $0
    Pop $2
    ${IfThen} $0 != 0 ${|} ${Break} ${|}  ; not installed
    !ifdef __UNINSTALL__
      ${UnStrStr} $3 $2 "${STATE}"
    !else
      ${StrStr} $3 $2 "${STATE}"
    !endif
    ${IfThen} $3 != "" ${|} ${Break} ${|}
    IntOp $1 $1 + 1
    ${IfThen} $1 >= 30 ${|} ${Break} ${|}
    Sleep 500
  ${Loop}
!macroend

; Registers (or, on an upgrade, reconfigures) service NAME as LocalSystem
; with automatic start. The image path is quoted: "C:\Program Files\..."
; must not be read as C:\Program with arguments.
!macro Register NAME PROGRAM ARGS DISPLAY
  !insertmacro Sc 'create ${NAME} binPath= "\"$INSTDIR\${PROGRAM}\"${ARGS}" start= auto obj= LocalSystem DisplayName= "${DISPLAY}"'
  ${If} $0 == 1073  ; ERROR_SERVICE_EXISTS: an upgrade
    !insertmacro Sc 'config ${NAME} binPath= "\"$INSTDIR\${PROGRAM}\"${ARGS}" start= auto obj= LocalSystem DisplayName= "${DISPLAY}"'
  ${EndIf}
  ${If} $0 != 0
    MessageBox MB_ICONSTOP "The service ${NAME} could not be registered (sc.exe: $0)." /SD IDOK
    Abort
  ${EndIf}
!macroend

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "Platewise needs 64-bit Windows." /SD IDOK
    Abort
  ${EndIf}
  SetRegView 64
FunctionEnd

Section "Platewise"
  ; An older copy stops before its files are replaced: the service first,
  ; then the listener it sends to.
  !insertmacro StopService ${SERVICE}
  !insertmacro StopService ${LISTENER}

  ; Raw snapshots: asked for now, or by an earlier install.
  ${GetParameters} $R0
  ReadRegDWORD $R2 HKLM "${SETTINGS_KEY}" "SaveSnapshots"
  ClearErrors
  ${GetOptions} $R0 "/SNAPSHOTS" $R1
  ${IfNot} ${Errors}
    StrCpy $R2 1
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/NOSNAPSHOTS" $R1
  ${IfNot} ${Errors}
    StrCpy $R2 0
  ${EndIf}
  ${If} $R2 == 1
    StrCpy $R3 "${SNAPSHOT_ARGS}"
    WriteRegDWORD HKLM "${SETTINGS_KEY}" "SaveSnapshots" 1
  ${Else}
    StrCpy $R3 ""
    DeleteRegValue HKLM "${SETTINGS_KEY}" "SaveSnapshots"
  ${EndIf}
  !insertmacro DeleteInUse "$INSTDIR\testservice.exe"
  !insertmacro DeleteInUse "$INSTDIR\platewise.exe"
  SetOutPath "$INSTDIR"
  File "${BINDIR}\testservice.exe"
  File "${BINDIR}\platewise.exe"
  File "${DOCDIR}\README.md"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; Snapshots saved by an earlier copy go into the history once, while the
  ; listener is stopped; the marker (written only when the import
  ; succeeded) keeps a later upgrade from reading them again. The files
  ; stay until a purge.
  SetShellVarContext all
  ${If} ${FileExists} "$APPDATA\Platewise\snapshots\*.*"
  ${AndIfNot} ${FileExists} "$APPDATA\Platewise\snapshots-imported"
    nsExec::ExecToLog '"$INSTDIR\platewise.exe" history import "$APPDATA\Platewise\snapshots"'
    Pop $0
    ${If} $0 == 0
      FileOpen $1 "$APPDATA\Platewise\snapshots-imported" w
      FileWrite $1 "The snapshots in this folder are in history.db.$\r$\n"
      FileClose $1
    ${Else}
      DetailPrint "The saved snapshots could not all be imported into the history (platewise.exe: $0); the next install tries again."
    ${EndIf}
  ${EndIf}

  ; The page, from the Start menu of every user of this machine.
  WriteINIStr "${START_ENTRY}" "InternetShortcut" "URL" "${PAGE_URL}"

  ; The event source, before the listener starts and reports to it:
  ; error, warning and information entries (7).
  WriteRegExpandStr HKLM "${EVENTLOG_KEY}" "EventMessageFile" "$INSTDIR\platewise.exe"
  WriteRegDWORD HKLM "${EVENTLOG_KEY}" "TypesSupported" 7

  !insertmacro Register ${LISTENER} "platewise.exe" " ${LISTENER_ARGS}$R3" "Platewise listener"
  !insertmacro Sc 'description ${LISTENER} "Receives the Platewise service$\'s drive snapshots, records their history in %ProgramData%\Platewise and serves the status page on ${PAGE_URL}"'
  !insertmacro Sc 'failure ${LISTENER} ${RECOVERY}'
  !insertmacro Sc 'privs ${LISTENER} ${LISTENER_PRIVILEGES}'

  !insertmacro Register ${SERVICE} "testservice.exe" "" "Platewise drive-health monitor"
  !insertmacro Sc 'description ${SERVICE} "SMART snapshots of every physical drive, sent to the Platewise listener"'
  !insertmacro Sc 'failure ${SERVICE} ${RECOVERY}'

  ; The listener first, so that the service's first pass finds the pipe.
  !insertmacro Sc 'start ${LISTENER}'
  !insertmacro WaitForState ${LISTENER} "RUNNING"
  !insertmacro Sc 'start ${SERVICE}'

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Platewise"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Platewise"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Uninstall"
  ; The service first: it sends to the listener.
  !insertmacro StopService ${SERVICE}
  !insertmacro StopService ${LISTENER}
  !insertmacro Sc 'delete ${SERVICE}'
  !insertmacro Sc 'delete ${LISTENER}'
  !insertmacro DeleteInUse "$INSTDIR\testservice.exe"
  !insertmacro DeleteInUse "$INSTDIR\platewise.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; The entries already in the Application log stay; without the source
  ; Event Viewer shows their text without the table's wording.
  DeleteRegKey HKLM "${EVENTLOG_KEY}"
  SetShellVarContext all
  Delete "${START_ENTRY}"

  ; The history, the saved snapshots and the listener's log stay unless
  ; asked for; so does the choice of saving snapshots.
  ${If} ${FileExists} "$APPDATA\Platewise\*.*"
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/PURGE" $R1
    ${If} ${Errors}
      MessageBox MB_YESNO|MB_ICONQUESTION "Also delete the drives' history, the saved snapshots and the listener's log in $APPDATA\Platewise?" /SD IDNO IDNO keep
    ${EndIf}
    RMDir /r "$APPDATA\Platewise"
    DeleteRegKey HKLM "${SETTINGS_KEY}"
    keep:
  ${EndIf}
SectionEnd