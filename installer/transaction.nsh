; The run as a transaction, through SetupRollback (rollback/): before it changes anything, an earlier
; run's kept state is put back (repair); then what this run may change is kept (keep); a run that
; ends with 0 commits in one place, after the detection value and the Apps & features entry are
; written (commit); any other end puts back what was kept (rollback). A state that cannot be put
; back whole stays kept, for the next run to try again; a later run that ends with 0 lets it go.

; Makes the Apps & features entry agree with the detection value after a rollback put the value
; back (or removed it): the entry for that version, or none.
Function SyncUninstallEntry
  ClearErrors
  ReadRegStr $R5 HKLM "${DETECTION_KEY}" "${DETECTION_VALUE}"
  ${If} ${Errors}
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ${Else}
    Call WriteUninstallEntry
  ${EndIf}
FunctionEnd

Var RollbackRun   ; "/run=ID" for this run's own rollback, "" for putting back an earlier run's

; Puts back every armed state: this run's, one cut off, or an earlier one that could not be put back
; whole. SetupRollback puts back the detection value too. A rollback that says it is done has
; disarmed the state: one still armed was not put back, whatever its exit code says.
Function PutBackKeptState
  StrCpy $PutBackWhole 0
  !insertmacro RunHelper SetupRollback.exe "/rollback $RollbackRun"
  Call SyncUninstallEntry
  ${If} $0 == ${ROLLBACK_DONE}
  ${AndIf} ${FileExists} "${ROLLBACK_FOLDER}\${ARMED_NAME}"
    !insertmacro Log "SetupRollback ended with $0, but ${ROLLBACK_FOLDER}\${ARMED_NAME} is still armed: it did not end by itself; the next run puts it back"
  ${ElseIf} $0 == ${ROLLBACK_DONE}
  ${OrIf} $0 == ${ROLLBACK_EARLIER_KEPT}
    ; Done, each file put back checked byte for byte in its place, and the record disarmed; an
    ; earlier run's state left kept was so before this run began.
    StrCpy $PutBackWhole 1
    !insertmacro Log "put back what the run changed: the machine is as the run found it"
    ${If} $0 == ${ROLLBACK_EARLIER_KEPT}
      !insertmacro Log "an earlier run's kept state could not be put back whole, as before this run (see above): it stays kept"
    ${EndIf}
  ${ElseIf} $0 == ${ROLLBACK_SET_ASIDE}
    !insertmacro Log "a kept state was set aside (see above): what it holds stays there, and nothing of it is deleted"
  ${Else}
    !insertmacro ExplainResult SetupRollback.exe
    !insertmacro Log "not everything the run changed could be put back (see above; result: $0: $ResultMeaning): the rest stays kept for the next run"
  ${EndIf}
FunctionEnd

Function RollBackThisRun
  ; Out of the install folder's subfolders, which SetOutPath made the package's current folder:
  ; Windows removes no folder that is a process's current folder, and the rollback removes those
  ; the run made.
  SetOutPath "$TEMP"
  ; A program of the run that could not be ended could still change the store: what the run
  ; changed stays kept, armed, for the next run to put back.
  ${If} $Kept == 1
  ${AndIf} $ProgramLeftRunning != ""
    !insertmacro Log "$ProgramLeftRunning could not be ended: nothing is put back while it may still change the machine; the next run puts back what this one changed"
    StrCpy $NotPutBack "$ProgramLeftRunning could not be ended, so nothing was put back: what the run changed stays kept in ${ROLLBACK_FOLDER} for the next run to put back"
    Return
  ${EndIf}
  ${If} $Kept == 1
    StrCpy $Kept 0
    StrCpy $RollbackRun "/run=$RunId"
    Call PutBackKeptState
    ${If} $PutBackWhole != 1
      StrCpy $NotPutBack "not everything the run changed was put back: what is not stays kept in ${ROLLBACK_FOLDER} (or a folder set aside beside it, which the log names) for the next run"
    ${EndIf}
  ${EndIf}
FunctionEnd

; A run cut off (killed, the power gone) after it began to change the machine left its state
; armed, and a run whose rollback was not whole left its state kept: they are put back first.
Function RepairCutOffRun
  ${If} ${FileExists} "${ROLLBACK_FOLDER}\*.*"
  ${OrIf} ${FileExists} "${ROLLBACK_FOLDER} (earlier *"
    !insertmacro Say "$(StepPutBackEarlier)"
    !insertmacro Log "an earlier run left what it changed kept: putting it back"
    StrCpy $RollbackRun ""
    Call PutBackKeptState
  ${EndIf}
FunctionEnd

; Keeps, before DriverPrep runs, what the run may change: the work list names the files the run
; places; SetupRollback reads the store, the install folder and the detection value itself.
!macro Keep list
  !insertmacro RunHelper SetupRollback.exe `/keep "/work=${list}" /run=$RunId`
  ${If} $0 != ${ROLLBACK_DONE}
    !insertmacro ExplainResult SetupRollback.exe
    !insertmacro Finish ${EXIT_STEP_FAILED} "What the run may change could not be kept (result: $0: $ResultMeaning); nothing was changed."
  ${EndIf}
  ; The keep's effect, not its exit code: its sealed record. Without it the keep was cut off,
  ; and whatever it left is let go of before the run ends.
  StrCpy $Kept 1
  ${IfNot} ${FileExists} "${ROLLBACK_FOLDER}\${ARMED_NAME}"
    !insertmacro Finish ${EXIT_STEP_FAILED} "SetupRollback ended with $0, but sealed no record in ${ROLLBACK_FOLDER}: it did not end by itself; nothing was changed."
  ${EndIf}
  !insertmacro Log "kept what the run may change"
!macroend

Function KeepMachineState
  !insertmacro Keep "$ProgramsDir\${WORK_LIST}"
FunctionEnd

; An uninstall keeps what the installed version placed, by the list it left in the install folder.
Function KeepInstalledState
  !insertmacro Keep "${INSTALL_FOLDER}\${WORK_LIST}"
FunctionEnd

; The commit point, once the detection value and the entry are written: the state is disarmed.
; What follows it (an upgrade's removal of the copies it replaced, letting go) is never rolled
; back. `options` is "/remove-replaced" for an upgrade.
!macro Commit options
  !insertmacro RunHelper SetupRollback.exe "/commit ${options} /run=$RunId"
  ${If} $0 != ${ROLLBACK_DONE}
    !insertmacro ExplainResult SetupRollback.exe
    !insertmacro Finish ${EXIT_STEP_FAILED} "The run could not be committed (result: $0: $ResultMeaning)."
  ${EndIf}
  ; The commit's effect: the record is no longer armed.
  ${If} ${FileExists} "${ROLLBACK_FOLDER}\${ARMED_NAME}"
    !insertmacro Finish ${EXIT_STEP_FAILED} "SetupRollback ended with $0, but the run's record in ${ROLLBACK_FOLDER} is still armed: it did not end by itself, and the run is not committed."
  ${EndIf}
  StrCpy $Kept 0
  !insertmacro Log "committed"
!macroend
