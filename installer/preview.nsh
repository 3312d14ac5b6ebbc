; /WHATIF: the run's decisions up to its first change, in the log and the run's event, and nothing
; else written: not the INF store, the install folder, the registry, nor the event source's
; registration. The programs run from the programs' folder as in any run, and go with it.
; SetupRollback /preview says, by DriverPrep's own code, whether a Brellan device is recorded and
; which copies the purge would delete; and, as the keep decides, what the rollback would keep and
; which INF files the copy service would stage. The run ends with the code a real run would end
; with where that is known before any change (3, 1633, 1638), else 0, and the log says which.

Function Preview
  !insertmacro Say "$(StepPreview)"
  !insertmacro Log "preview (/WHATIF): what a run with these switches would do, up to its first change; nothing is changed"
  ${If} ${FileExists} "${ROLLBACK_FOLDER}\*.*"
  ${OrIf} ${FileExists} "${ROLLBACK_FOLDER} (earlier *"
    !insertmacro Log "an earlier run left what it changed kept in ${ROLLBACK_FOLDER}: a run would put it back first, and what follows would be decided after that"
  ${EndIf}
  !insertmacro Step CheckVersion
  !insertmacro RunHelper SetupRollback.exe `/preview "/work=$ProgramsDir\${WORK_LIST}"`
  ${If} $0 == ${ROLLBACK_DEVICE_RECORDED}
    !insertmacro Finish ${EXIT_DEVICE_RECORDED} "A Brellan device is recorded: a run would show the box that says so and end with ${EXIT_DEVICE_RECORDED}, changing nothing."
  ${ElseIf} $0 != ${ROLLBACK_DONE}
    !insertmacro ExplainResult SetupRollback.exe
    !insertmacro Finish ${EXIT_STEP_FAILED} "The preview could not read all it needs (result: $0: $ResultMeaning); a run's decisions are not known."
  ${EndIf}
  !insertmacro Finish ${EXIT_INSTALLED} "A run would go on: DriverPrep would purge what is listed above and PkgStage would stage the driver packages; its exit code (0, 4 or 5) is known only once Windows has staged them."
FunctionEnd
