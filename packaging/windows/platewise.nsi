; The Windows installer (NSIS, built on Linux by scripts/package):
; testservice.exe and platewise.exe under %ProgramFiles%\Platewise, the
; service Platewise (LocalSystem, automatic start, quoted image path,
; restart on failure) started, and an uninstaller that stops and removes it.
; makensis -DVERSION=x.y.z -DBINDIR=<folder with the .exe files>
;          -DDOCDIR=<folder with README.md> -DOUTFILE=<installer.exe>
; A 64-bit installer: the programs are 64-bit, and so is Wine in the tests.
Target amd64-unicode
!include "LogicLib.nsh"
!include "x64.nsh"
!include "StrFunc.nsh"
${StrStr}
${UnStrStr}

!ifndef VERSION | BINDIR | DOCDIR | OUTFILE
  !error "define VERSION, BINDIR, DOCDIR and OUTFILE"
!endif

!define SERVICE "Platewise"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Platewise"

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

; Stops the service when it runs and waits (up to 15 s) until it has.
!macro StopService
  !insertmacro Sc 'stop ${SERVICE}'
  StrCpy $1 0
  ${Do}
    nsExec::ExecToStack '"$SYSDIR\sc.exe" query ${SERVICE}'
    Pop $0
    Pop $2
    ${IfThen} $0 != 0 ${|} ${Break} ${|}  ; not installed
    !ifdef __UNINSTALL__
      ${UnStrStr} $3 $2 "STOPPED"
    !else
      ${StrStr} $3 $2 "STOPPED"
    !endif
    ${IfThen} $3 != "" ${|} ${Break} ${|}
    IntOp $1 $1 + 1
    ${IfThen} $1 >= 30 ${|} ${Break} ${|}
    Sleep 500
  ${Loop}
!macroend

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "Platewise needs 64-bit Windows." /SD IDOK
    Abort
  ${EndIf}
  SetRegView 64
FunctionEnd

Section "Platewise"
  ; An older copy stops before its files are replaced.
  !insertmacro StopService
  SetOutPath "$INSTDIR"
  File "${BINDIR}\testservice.exe"
  File "${BINDIR}\platewise.exe"
  File "${DOCDIR}\README.md"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The image path is quoted: "C:\Program Files\..." must not be read as
  ; C:\Program with arguments.
  !insertmacro Sc 'create ${SERVICE} binPath= "\"$INSTDIR\testservice.exe\"" start= auto obj= LocalSystem DisplayName= "Platewise drive-health monitor"'
  ${If} $0 == 1073  ; ERROR_SERVICE_EXISTS: an upgrade
    !insertmacro Sc 'config ${SERVICE} binPath= "\"$INSTDIR\testservice.exe\"" start= auto obj= LocalSystem'
  ${EndIf}
  ${If} $0 != 0
    MessageBox MB_ICONSTOP "The service ${SERVICE} could not be registered (sc.exe: $0)." /SD IDOK
    Abort
  ${EndIf}
  !insertmacro Sc 'description ${SERVICE} "SMART snapshots of every physical drive, sent to platewise.exe listen"'
  ; Restarted 30 s after a failure, twice, then after 60 s; the count resets after a day.
  !insertmacro Sc 'failure ${SERVICE} reset= 86400 actions= restart/30000/restart/30000/restart/60000'
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
  !insertmacro StopService
  !insertmacro Sc 'delete ${SERVICE}'
  Delete "$INSTDIR\testservice.exe"
  Delete "$INSTDIR\platewise.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
