; A sample installer for a product that ships the quorventine launcher, with the update and removal steps of
; quorventine.nsh: per-user by default, per-machine with /DQV_PER_MACHINE.
;
;   makensis [/DQV_PER_MACHINE] [/DQV_FILES=folder] [/DQV_VERSION=1.0] [/DQV_OUTFILE=setup.exe] sample.nsi
;
; QV_FILES holds the product as it is installed: quorventine.exe (the launcher), bin\ (the application) and lib\.
; Silent use: setup.exe /S [/D=folder]; uninstall.exe /S.
Unicode true
!include LogicLib.nsh
!addincludedir "${__FILEDIR__}"
!include quorventine.nsh

!ifndef QV_FILES
  !define QV_FILES "files"
!endif
!ifndef QV_VERSION
  !define QV_VERSION "1.0"
!endif
!ifndef QV_OUTFILE
  !define QV_OUTFILE "quorventine-setup.exe"
!endif

Name "Quorventine"
OutFile "${QV_OUTFILE}"
!ifdef QV_PER_MACHINE
  RequestExecutionLevel admin
  InstallDir "$PROGRAMFILES\Quorventine"
  !define QV_ROOT HKLM
!else
  RequestExecutionLevel user
  InstallDir "$LOCALAPPDATA\Programs\Quorventine"
  !define QV_ROOT HKCU
!endif
!define QV_UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorventine"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Where the tests of this sample pause an update, so that they can make launches at a known step: at gate N the
; installer makes gateN.reached beside itself and waits, at most 2 minutes, until gateN.open is there. Compiled in
; only with /DQV_TEST_GATES; nothing here is read from the environment.
!macro QV_TestGate N
  !ifdef QV_TEST_GATES
    Push $0
    Push $1
    FileOpen $0 "$EXEDIR\gate${N}.reached" w
    FileClose $0
    System::Call 'kernel32::GetTickCount() i .r0'
    ${DoUntil} ${FileExists} "$EXEDIR\gate${N}.open"
      Sleep 10
      System::Call 'kernel32::GetTickCount() i .r1'
      IntOp $1 $1 - $0
      ${IfThen} $1 U> 120000 ${|} ${Break} ${|}
    ${Loop}
    Pop $1
    Pop $0
  !endif
!macroend

Section
  ; Launches wait from here on, and no waiting launcher is left to start the old version.
  !insertmacro QV_HoldLaunches
  !insertmacro QV_TestGate 1
  !insertmacro QV_EndLaunchers
  ; Close the application here, as you do today: nothing starts it again until the release.
  !insertmacro QV_TestGate 2
  !insertmacro QV_PutLauncherAside
  SetOutPath "$INSTDIR"
  File "${QV_FILES}\quorventine.exe"
  SetOutPath "$INSTDIR\bin"
  File /r "${QV_FILES}\bin\*"
  SetOutPath "$INSTDIR\lib"
  File /r "${QV_FILES}\lib\*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr ${QV_ROOT} "${QV_UNINSTALL_KEY}" "DisplayName" "Quorventine"
  WriteRegStr ${QV_ROOT} "${QV_UNINSTALL_KEY}" "DisplayVersion" "${QV_VERSION}"
  WriteRegStr ${QV_ROOT} "${QV_UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr ${QV_ROOT} "${QV_UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  ; The last file is in place: launches go on now, in the new version, whether or not a finish page stays open.
  !insertmacro QV_ReleaseLaunches
SectionEnd

Section Uninstall
  !insertmacro QV_HoldLaunches
  !insertmacro QV_EndLaunchers
  ; Close the application here, as you do today.
  RMDir /r "$INSTDIR\bin"
  RMDir /r "$INSTDIR\lib"
  Delete "$INSTDIR\uninstall.exe"
  DeleteRegKey ${QV_ROOT} "${QV_UNINSTALL_KEY}"
  ; Launches made during the removal find no application and end at once; then the launcher goes.
  !insertmacro QV_RemoveLauncher
  RMDir "$INSTDIR"
SectionEnd
