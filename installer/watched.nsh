; The package's programs run under SetupWatch (watch/), and what the package makes of the watch's
; word: its verdict, checked against its exit code, and a program a cut-off watch left running.

; Runs one of the programs from the package's programs' folder under SetupWatch, with the watch's
; `options`, and leaves the watch's exit code in $0 (the program's own, or one of those
; of watch/setup_watch.h), or "none" when the watch could not be started. A watch that left no
; verdict did not end by itself: $0 is then WATCH_NO_VERDICT, and the program it left is ended.
!macro RunProgram exe options
  SetOutPath "$ProgramsDir"
  Delete "$ProgramsDir\${WATCH_VERDICT}"
  StrCpy $WatchedProgram "$ProgramsDir\${exe}"
  !insertmacro RunHelper SetupWatch.exe `$WatchOptions ${options} "/verdict=$ProgramsDir\${WATCH_VERDICT}" "$WatchedProgram"`
  ${If} $0 == "none"
    !insertmacro Log "SetupWatch.exe could not be started to run ${exe}"
  ${Else}
    Call CheckWatchVerdict
    !insertmacro ExplainResult ${exe}
    !insertmacro Log "${exe} has run (result: $0: $ResultMeaning)"
  ${EndIf}
!macroend

; The watch's verdict file, in the programs' folder, and what the package may do to a program the
; watch left: end it (SYNCHRONIZE, PROCESS_TERMINATE, PROCESS_QUERY_LIMITED_INFORMATION).
!define WATCH_VERDICT "SetupWatch.verdict"
!define PROCESS_END_ACCESS 0x101001
!define /math PROGRAM_END_WAIT_MS ${WATCH_END_WAIT_SECONDS} * 1000
Var WatchedProgram      ; the program the watch was last given
Var ProgramLeftRunning  ; a program of the run that could not be ended: nothing is put back under it
Var VerdictLine
Var VerdictWord
Var VerdictPid

; The watch's verdict, its last act, against its exit code: a watch ended from outside leaves none
; (or only the program's id), and then its exit code means nothing. The program it left running is
; ended, by the process the watch named, before anything else of the run happens.
Function CheckWatchVerdict
  StrCpy $VerdictLine ""
  ClearErrors
  FileOpen $VerdictWord "$ProgramsDir\${WATCH_VERDICT}" r
  ${IfNot} ${Errors}
    FileRead $VerdictWord $VerdictLine
    FileClose $VerdictWord
  ${EndIf}
  ${WordFind} "$VerdictLine" " " "E+1" $VerdictWord
  ${WordFind} "$VerdictLine" " " "E+2" $VerdictPid
  IntOp $VerdictPid $VerdictPid + 0
  ${If} "$VerdictLine" == "ended $VerdictPid $0$\r$\n"
    Return
  ${EndIf}
  !insertmacro Log "SetupWatch.exe ended with $0, and left no verdict of its own: it did not end by itself"
  StrCpy $0 ${WATCH_NO_VERDICT}
  ${If} $VerdictWord == "started"
  ${AndIf} $VerdictPid > 0
    Call EndLeftProgram
  ${EndIf}
FunctionEnd

; Ends the program a cut-off watch left running: the process the watch named, opened, and ended
; only while its image is the program the package gave the watch; waited for. One that stays is
; $ProgramLeftRunning: the run then puts nothing back under it.
Function EndLeftProgram
  System::Call 'kernel32::OpenProcess(i ${PROCESS_END_ACCESS}, i 0, i $VerdictPid) p .r2'
  ${If} $2 P= 0
    !insertmacro Log "$WatchedProgram (process $VerdictPid) had ended already"
    Return
  ${EndIf}
  System::Call 'kernel32::QueryFullProcessImageNameW(p r2, i 0, w .r3, *i ${NSIS_MAX_STRLEN}) i .r4'
  ${If} $4 = 0
  ${OrIf} $3 != $WatchedProgram
    !insertmacro Log "process $VerdictPid is not $WatchedProgram ($3): left alone"
  ${Else}
    System::Call 'kernel32::TerminateProcess(p r2, i ${WATCH_ENDED})'
    System::Call 'kernel32::WaitForSingleObject(p r2, i ${PROGRAM_END_WAIT_MS}) i .r4'
    ${If} $4 = 0
      !insertmacro Log "ended $WatchedProgram (process $VerdictPid), which the watch left running"
    ${Else}
      StrCpy $ProgramLeftRunning $WatchedProgram
      !insertmacro Log "$WatchedProgram (process $VerdictPid) was still running ${WATCH_END_WAIT_SECONDS} s after it was ended"
    ${EndIf}
  ${EndIf}
  System::Call 'kernel32::CloseHandle(p r2)'
FunctionEnd
