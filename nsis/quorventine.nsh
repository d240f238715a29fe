; quorventine.nsh: an update or removal of a quorventine install that no launch can race, for Unicode NSIS 3, in
; per-user and per-machine installs alike. Each step is a macro, used in this order in a section of the installer or
; of the uninstaller:
;
;   Update:   QV_HoldLaunches, QV_EndLaunchers, (close the application), QV_PutLauncherAside, (your File
;             instructions), QV_ReleaseLaunches right after the last file is in place.
;   Removal:  QV_HoldLaunches, QV_EndLaunchers, (close the application), (remove everything but the launcher),
;             QV_RemoveLauncher.
;
; - QV_HoldLaunches creates <install>\quorventine.lock as a launcher does (create-new, write and delete access,
;   sharing read and write, delete-on-close) and keeps it open. Every launch made from then on waits: its read test
;   meets a held lock. Nobody can delete the file, the release is its close, which cannot fail, and if the installer
;   crashes or is ended, Windows closes it and the waiting launches go on at once. It polls every 10 ms, faster than
;   launchers do, so that it takes its turn ahead of a queue of them. It waits behind a held lock, a pending delete and
;   a file that somebody made (another updater's hold, a lock made by hand), within one bound on the whole wait, and
;   never deletes a file that it did not make. A folder or a link at the lock path, or "access denied" while the
;   name's attributes can be read, stops it at once.
; - QV_EndLaunchers ends this install's launchers in every session that the installer can see, matched by their
;   file's identity (volume, file index, size and times), not by the text of their path: another letter case, a short
;   name or a drive letter of its own for the same folder names the same file. A launcher that was waiting would
;   start the old application once its turn came. Ending one is safe: it holds nothing of others.
; - QV_PutLauncherAside: a launch made after QV_EndLaunchers waits on the hold and keeps the launcher's file in use.
;   Windows lets a running program's file be renamed, not overwritten, so the launcher is renamed aside
;   (quorventine.exe.<number>.old), and those that earlier updates put aside are removed.
; - QV_ReleaseLaunches: the launches made during the update then start, one every 3 s, in the new version. It is
;   explicit, after the last file, because a finish page left open must not keep launches held. Where your own script
;   aborts between the hold and the release, release first (the macros here do so when they stop).
; - QV_RemoveLauncher, for removal: releases; the launches made meanwhile find no application and end at once; ends any
;   still there, and deletes the launcher and the copies put aside, within a bound.
;
; A step that cannot be done stops the installer with a message that names the file: MessageBox (/SD IDOK when
; silent), then Abort, exit code 2. Everything goes through the System plugin to kernel32, and to advapi32 for
; SeDebugPrivilege, which an elevated installer needs to end another user's launchers. Each macro keeps the registers
; as they were. No Function: nothing is left unreferenced in an installer or uninstaller that uses only some steps.
;
; Settings, as !define before the !include: QV_LAUNCHER (the launcher's file name in $INSTDIR, quorventine.exe),
; QV_HOLD_WAIT_MS (the bound on the wait for the hold, 60000), QV_END_WAIT_MS (the bound on ending launchers and on
; deleting the launcher, 10000).

!ifndef QUORVENTINE_NSH
!define QUORVENTINE_NSH

!if ${NSIS_CHAR_SIZE} < 2
  !error "quorventine.nsh needs Unicode NSIS: put 'Unicode true' at the top of the script"
!endif

!include LogicLib.nsh

!ifndef QV_LAUNCHER
  !define QV_LAUNCHER "quorventine.exe"
!endif
!ifndef QV_HOLD_WAIT_MS
  !define QV_HOLD_WAIT_MS 60000
!endif
!ifndef QV_END_WAIT_MS
  !define QV_END_WAIT_MS 10000
!endif

Var QvHold        ; the hold's handle while launches are held; empty otherwise
Var QvMessage     ; why the last step could not be done; empty where it was
Var QvIdentities  ; the identities of this install's launcher files, 48 hex digits each
Var QvSince       ; when a bounded wait began (GetTickCount)

!macro _QV_SAVE
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  Push $7
  Push $8
  Push $9
  Push $R0
  Push $R1
  Push $R2
  Push $R3
  Push $R4
  Push $R5
  Push $R6
  Push $R7
  Push $R8
  Push $R9
!macroend

!macro _QV_RESTORE
  Pop $R9
  Pop $R8
  Pop $R7
  Pop $R6
  Pop $R5
  Pop $R4
  Pop $R3
  Pop $R2
  Pop $R1
  Pop $R0
  Pop $9
  Pop $8
  Pop $7
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
!macroend

; $R9 := the milliseconds since $QvSince.
!macro _QV_ELAPSED
  System::Call 'kernel32::GetTickCount() i .R9'
  IntOp $R9 $R9 - $QvSince
!macroend

; $R9 := the identity of the file at $R8, or "" where it cannot be opened or its file system has no stable file IDs
; (an index of 0 or of all ones). Uses $R0-$R7.
!macro _QV_IDENTITY
  StrCpy $R9 ""
  ; No access asked and every sharing granted: this works on a running program's file.
  System::Call 'kernel32::CreateFileW(w R8, i 0, i 7, p 0, i 3, i 0, p 0) p .R0'
  ${If} $R0 P<> -1
    System::Call '*(i, i, i, i, i, i, i, i, i, i, i, i, i) p .R1'  ; BY_HANDLE_FILE_INFORMATION
    System::Call 'kernel32::GetFileInformationByHandle(p R0, p R1) i .R2'
    ${If} $R2 <> 0
      ; Created and written (low halves), volume, size (low half), index (high, low).
      System::Call '*$R1(i, i .R2, i, i, i, i .R3, i, i .R4, i, i .R5, i, i .R6, i .R7)'
      ${If} "$R6$R7" != "00"
      ${AndIf} "$R6$R7" != "-1-1"
        IntFmt $R2 "%08X" $R2
        IntFmt $R3 "%08X" $R3
        IntFmt $R4 "%08X" $R4
        IntFmt $R5 "%08X" $R5
        IntFmt $R6 "%08X" $R6
        IntFmt $R7 "%08X" $R7
        StrCpy $R9 "$R4$R6$R7$R5$R2$R3"
      ${EndIf}
    ${EndIf}
    System::Free $R1
    System::Call 'kernel32::CloseHandle(p R0)'
  ${EndIf}
!macroend

; $R9 := the full path of the program of the process whose handle is $9, or "". Uses $R0-$R2.
!macro _QV_PROGRAM_OF
  StrCpy $R9 ""
  System::Call 'kernel32::GetModuleHandleW(w "kernel32.dll") p .R0'
  System::Call 'kernel32::GetProcAddress(p R0, m "QueryFullProcessImageNameW") p .R0'
  ${If} $R0 P<> 0
    System::Call 'kernel32::QueryFullProcessImageNameW(p r9, i 0, w .R1, *i ${NSIS_MAX_STRLEN}) i .R0'
    ${If} $R0 <> 0
      StrCpy $R9 $R1
    ${EndIf}
  ${Else}
    ; Windows XP: the first module of a snapshot of the process is its program.
    System::Call 'kernel32::GetProcessId(p r9) i .R0'
    System::Call 'kernel32::CreateToolhelp32Snapshot(i 8, i R0) p .R0'  ; TH32CS_SNAPMODULE
    ${If} $R0 P<> -1
      System::Call '*(&l4, i, i, i, i, p, i, p, &w256, &w260) p .R1'  ; MODULEENTRY32W
      System::Call 'kernel32::Module32FirstW(p R0, p R1) i .R2'
      ${If} $R2 <> 0
        System::Call '*$R1(i, i, i, i, i, p, i, p, &w256, &w260 .R9)'
      ${EndIf}
      System::Free $R1
      System::Call 'kernel32::CloseHandle(p R0)'
    ${EndIf}
  ${EndIf}
!macroend

; Creates and keeps open the hold: $QvHold, or $QvMessage.
!macro _QV_HOLD
  StrCpy $QvMessage ""
  StrCpy $0 "$INSTDIR\quorventine.lock"
  StrCpy $4 0  ; created again once after the name had gone
  CreateDirectory "$INSTDIR"  ; a first install has nothing to hold, and takes the same road
  System::Call 'kernel32::GetTickCount() i .r1'
  StrCpy $QvSince $1
  ${Do}
    ; GENERIC_WRITE | DELETE; FILE_SHARE_READ | FILE_SHARE_WRITE; CREATE_NEW; FILE_FLAG_DELETE_ON_CLOSE |
    ; FILE_FLAG_OPEN_REPARSE_POINT (a link there is not followed) | FILE_ATTRIBUTE_NORMAL.
    System::Call 'kernel32::CreateFileW(w r0, i 0x40010000, i 3, p 0, i 1, i 0x04200080, p 0) p .r1 ?e'
    Pop $2
    ${If} $1 P<> -1
      StrCpy $QvHold $1
      ${Break}
    ${EndIf}
    ; What stands at the name, read at once: a link's own attribute bits.
    System::Call 'kernel32::GetFileAttributesW(w r0) i .r1 ?e'
    Pop $3
    ${If} $1 <> -1
      IntOp $1 $1 & 0x410  ; FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT
      ${If} $1 <> 0
        StrCpy $QvMessage "A folder or a link stands at $0, where launches are held during an update: remove it, then run this again."
        ${Break}
      ${ElseIf} $2 = 5  ; ERROR_ACCESS_DENIED
        StrCpy $QvMessage "Access to $0 is denied, so launches cannot be held for the update."
        ${Break}
      ${EndIf}
      ; A file: a launcher's lock, another updater's hold, one made by hand. Waited for, never deleted.
    ${ElseIf} $2 = 5
      ${If} $3 <> 5
        ; The name is not there: a folder that this user may not create files in, or a pending delete that ended
        ; between the two calls, which one more create tells apart.
        ${If} $4 <> 0
          StrCpy $QvMessage "$0 cannot be created (access denied): run this with the rights to change $INSTDIR."
          ${Break}
        ${EndIf}
        StrCpy $4 1
        ${Continue}
      ${EndIf}
      ; Unreadable too: a lock whose delete is pending while a program (a virus scanner) still has it open.
    ${ElseIf} $2 <> 80  ; ERROR_FILE_EXISTS, the name gone since: a launcher's lock released in between
      StrCpy $QvMessage "$0 cannot be created (error $2), so launches cannot be held for the update."
      ${Break}
    ${EndIf}
    !insertmacro _QV_ELAPSED
    ${If} $R9 U>= ${QV_HOLD_WAIT_MS}
      StrCpy $QvMessage "Launches could not be held for the update: $0 was still there after ${QV_HOLD_WAIT_MS} ms. If no launch or update is under way, delete it and run this again."
      ${Break}
    ${EndIf}
    Sleep 10
  ${Loop}
!macroend

; Enables SeDebugPrivilege where the installer holds it (elevated): another user's processes can be opened then.
!macro _QV_DEBUG_PRIVILEGE
  ; TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, of this process (-1)
  System::Call 'advapi32::OpenProcessToken(p -1, i 0x28, *p .r1) i .r2'
  ${If} $2 <> 0
    System::Call '*(i 1, i, i, i 2) p .r3'  ; TOKEN_PRIVILEGES: one LUID, SE_PRIVILEGE_ENABLED
    IntOp $2 $3 + 4
    System::Call 'advapi32::LookupPrivilegeValueW(p 0, w "SeDebugPrivilege", p r2) i .r2'
    ${If} $2 <> 0
      System::Call 'advapi32::AdjustTokenPrivileges(p r1, i 0, p r3, i 0, p 0, p 0)'
    ${EndIf}
    System::Free $3
    System::Call 'kernel32::CloseHandle(p r1)'
  ${EndIf}
!macroend

; $QvIdentities := those of the launcher and of every copy that an update put aside.
!macro _QV_IDENTIFY_LAUNCHERS
  StrCpy $R8 "$INSTDIR\${QV_LAUNCHER}"
  !insertmacro _QV_IDENTITY
  StrCpy $QvIdentities $R9
  FindFirst $1 $2 "$INSTDIR\${QV_LAUNCHER}.*.old"
  ${DoWhile} $2 != ""
    StrCpy $R8 "$INSTDIR\$2"
    !insertmacro _QV_IDENTITY
    StrCpy $QvIdentities "$QvIdentities$R9"
    FindNext $1 $2
  ${Loop}
  FindClose $1
!macroend

; Ends this install's launchers: $QvMessage where one does not end within the bound.
!macro _QV_END_LAUNCHERS
  StrCpy $QvMessage ""
  !insertmacro _QV_DEBUG_PRIVILEGE
  !insertmacro _QV_IDENTIFY_LAUNCHERS
  System::Call 'kernel32::GetTickCount() i .r1'
  StrCpy $QvSince $1
  System::Call 'kernel32::CreateToolhelp32Snapshot(i 2, i 0) p .r5'  ; TH32CS_SNAPPROCESS: every session's
  ${If} $5 P= -1
    StrCpy $QvMessage "The running programs cannot be listed, so the launchers of $INSTDIR cannot be ended."
  ${Else}
    System::Call '*(&l4, i, i, p, i, i, i, i, i, &w260) p .r6'  ; PROCESSENTRY32W
    System::Call 'kernel32::Process32FirstW(p r5, p r6) i .r7'
    ${DoWhile} $7 <> 0
      System::Call '*$6(i, i, i .r8)'
      ; PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE
      System::Call 'kernel32::OpenProcess(i 0x101001, i 0, i r8) p .r9'
      ${If} $9 P<> 0
        !insertmacro _QV_PROGRAM_OF
        StrCpy $R8 $R9
        StrCpy $2 ""
        ${If} $R8 != ""
          !insertmacro _QV_IDENTITY
          StrCpy $2 $R9
        ${EndIf}
        ; Is it one of the identities listed? (The offset of the last one; none to compare with an unknown one.)
        StrLen $3 $QvIdentities
        IntOp $3 $3 - 48
        ${If} $2 == ""
          StrCpy $3 -48
        ${EndIf}
        ${ForEach} $4 0 $3 + 48
          StrCpy $R0 $QvIdentities 48 $4
          ${If} $R0 == $2
            System::Call 'kernel32::TerminateProcess(p r9, i 1)'
            !insertmacro _QV_ELAPSED
            IntOp $R9 ${QV_END_WAIT_MS} - $R9
            ${IfThen} $R9 < 0 ${|} StrCpy $R9 0 ${|}
            System::Call 'kernel32::WaitForSingleObject(p r9, i R9) i .R0'
            ${If} $R0 <> 0
              StrCpy $QvMessage "A launcher of $INSTDIR (process $8) did not end within ${QV_END_WAIT_MS} ms."
            ${EndIf}
            ${Break}
          ${EndIf}
        ${Next}
        System::Call 'kernel32::CloseHandle(p r9)'
      ${EndIf}
      System::Call 'kernel32::Process32NextW(p r5, p r6) i .r7'
    ${Loop}
    System::Free $6
    System::Call 'kernel32::CloseHandle(p r5)'
  ${EndIf}
!macroend

; Renames the launcher aside, having removed those of earlier updates (their launchers have ended; one that cannot be
; deleted goes at the next update).
!macro _QV_PUT_ASIDE
  StrCpy $QvMessage ""
  Delete "$INSTDIR\${QV_LAUNCHER}.*.old"
  ${If} ${FileExists} "$INSTDIR\${QV_LAUNCHER}"
    System::Call 'kernel32::GetTickCount() i .r0'
    IntFmt $0 "%u" $0
    ${DoWhile} ${FileExists} "$INSTDIR\${QV_LAUNCHER}.$0.old"
      IntOp $0 $0 + 1
    ${Loop}
    ClearErrors
    Rename "$INSTDIR\${QV_LAUNCHER}" "$INSTDIR\${QV_LAUNCHER}.$0.old"
    ${If} ${Errors}
      StrCpy $QvMessage "$INSTDIR\${QV_LAUNCHER} cannot be renamed aside, so it cannot be replaced."
    ${EndIf}
  ${EndIf}
!macroend

; Deletes the launcher and the copies put aside, ending what still runs of them, within the bound: a launch made
; meanwhile finds no application and ends at once, but keeps the file in use until then.
!macro _QV_REMOVE_LAUNCHER
  System::Call 'kernel32::GetTickCount() i .r0'
  Push $0
  ${Do}
    !insertmacro _QV_END_LAUNCHERS
    ClearErrors
    Delete "$INSTDIR\${QV_LAUNCHER}"
    Delete "$INSTDIR\${QV_LAUNCHER}.*.old"
    ${IfNot} ${Errors}
      StrCpy $QvMessage ""
      ${Break}
    ${EndIf}
    Pop $QvSince
    Push $QvSince
    !insertmacro _QV_ELAPSED
    ${If} $R9 U>= ${QV_END_WAIT_MS}
      StrCpy $QvMessage "$INSTDIR\${QV_LAUNCHER} is still in use after ${QV_END_WAIT_MS} ms, and cannot be removed."
      ${Break}
    ${EndIf}
    Sleep 10
  ${Loop}
  Pop $0
!macroend

!macro _QV_RELEASE
  ${If} $QvHold != ""
    System::Call 'kernel32::CloseHandle(p $QvHold)'
    StrCpy $QvHold ""
  ${EndIf}
!macroend

; Runs a step with the registers kept; where it cannot be done, lets launches go on and stops with its message.
!macro _QV_STEP STEP
  !insertmacro _QV_SAVE
  !insertmacro ${STEP}
  !insertmacro _QV_RESTORE
  ${If} $QvMessage != ""
    !insertmacro _QV_RELEASE
    DetailPrint $QvMessage
    MessageBox MB_OK|MB_ICONSTOP $QvMessage /SD IDOK
    Abort
  ${EndIf}
!macroend

!macro QV_HoldLaunches
  !insertmacro _QV_STEP _QV_HOLD
!macroend

!macro QV_EndLaunchers
  !insertmacro _QV_STEP _QV_END_LAUNCHERS
!macroend

!macro QV_PutLauncherAside
  !insertmacro _QV_STEP _QV_PUT_ASIDE
!macroend

!macro QV_ReleaseLaunches
  !insertmacro _QV_RELEASE
!macroend

!macro QV_RemoveLauncher
  !insertmacro _QV_RELEASE
  !insertmacro _QV_STEP _QV_REMOVE_LAUNCHER
!macroend

!endif
