; The run's log, as a deployer reads a machine's history from it: each run adds a record that
; starts with a dated header (the version, the local date and time with its UTC offset, the command
; line as given, the account, the machine, Windows, the package's path), stamps every line with
; the local time of day to the millisecond and the milliseconds since the run began, and ends with
; the exit code and its meaning. No run erases an earlier run's record: the log is appended to, and
; once it passes LOG_KEEP_BYTES at a run's start it becomes <name>.1.log (replacing the one before),
; so the two take about twice that at most, the oldest going first. A run that another holds the
; lock against writes its record to <name>.early.log instead, never into the running run's log.

!define LOG_KEEP_BYTES 1048576
!define TOKEN_QUERY 8
!define TOKEN_USER_CLASS 1
!define TOKEN_ELEVATION_CLASS 20
!define WIN_LOCAL_SYSTEM_SID 22
!define OSVERSIONINFOW_BYTES 276
!define TIME_ZONE_INFORMATION_BYTES 172
!define TIME_ZONE_STANDARD_BIAS_AT 84
!define TIME_ZONE_DAYLIGHT_BIAS_AT 168
!define TIME_ZONE_ID_DAYLIGHT 2

Var StartTicks     ; when the package started, for each log line's elapsed time
Var LogTicks
Var LogStamp       ; the local time of day, hh:mm:ss.mmm, of the line being written
Var LogBuffer
Var LogWord1
Var LogWord2
Var LogWord3
Var LogWord4
Var LogDate
Var ExitMeaning
Var ResultMeaning

; Sets $LogStamp to the local time of day and $LogTicks to the milliseconds since the run began.
; Touches no register: the lines it stamps often report one.
Function StampLogLine
  System::Call 'kernel32::GetTickCount() i .s'
  Pop $LogTicks
  IntOp $LogTicks $LogTicks - $StartTicks
  System::Call '*(&i16) p .s'
  Pop $LogBuffer
  System::Call 'kernel32::GetLocalTime(p $LogBuffer)'
  System::Call '*$LogBuffer(&i2, &i2, &i2, &i2, &i2 .s, &i2 .s, &i2 .s, &i2 .s)'
  System::Free $LogBuffer
  ; The plugin leaves a structure's fields on the stack first on top.
  Pop $LogWord1
  Pop $LogWord2
  Pop $LogWord3
  Pop $LogWord4
  IntFmt $LogWord1 "%02u" $LogWord1
  IntFmt $LogWord2 "%02u" $LogWord2
  IntFmt $LogWord3 "%02u" $LogWord3
  IntFmt $LogWord4 "%03u" $LogWord4
  StrCpy $LogStamp "$LogWord1:$LogWord2:$LogWord3.$LogWord4"
FunctionEnd

; One line in the log: the local time, the milliseconds since the package started (where a slow
; install's time went), the text.
!macro LogOnly text
  Call StampLogLine
  FileWrite $LogFile "$LogStamp [$LogTicks ms] ${text}$\r$\n"
  StrCpy $EventText "${text}"
!macroend

; One step: in the log, and in the details list of the installer's window.
!macro Log text
  DetailPrint "${text}"
  !insertmacro LogOnly "${text}"
!macroend

; Each run's event in Windows' Application log, and what it says with the log and the finish page.
!include "${__FILEDIR__}/run_events.nsh"
!include "${__FILEDIR__}/outcome.nsh"

; The record's header into $LogFile. Touches no register.
Function WriteRunHeader
  FileWrite $LogFile "Brellan Flashwright setup ${VERSION}$\r$\n"
  ; The local date and time, and the offset Windows applies to it now (daylight saving included).
  Call StampLogLine
  StrCpy $LogDate $LogStamp
  System::Call '*(&i16) p .s'
  Pop $LogBuffer
  System::Call 'kernel32::GetLocalTime(p $LogBuffer)'
  System::Call '*$LogBuffer(&i2 .s, &i2 .s, &i2, &i2 .s)'
  System::Free $LogBuffer
  Pop $LogWord1
  Pop $LogWord2
  Pop $LogWord3
  IntFmt $LogWord2 "%02u" $LogWord2
  IntFmt $LogWord3 "%02u" $LogWord3
  StrCpy $LogDate "$LogWord1-$LogWord2-$LogWord3 $LogDate"
  System::Call '*(&i${TIME_ZONE_INFORMATION_BYTES}) p .s'
  Pop $LogBuffer
  System::Call 'kernel32::GetTimeZoneInformation(p $LogBuffer) i .s'
  Pop $LogWord4
  System::Call '*$LogBuffer(i .s)'
  Pop $LogWord1
  IntPtrOp $LogWord2 $LogBuffer + ${TIME_ZONE_STANDARD_BIAS_AT}
  ${If} $LogWord4 = ${TIME_ZONE_ID_DAYLIGHT}
    IntPtrOp $LogWord2 $LogBuffer + ${TIME_ZONE_DAYLIGHT_BIAS_AT}
  ${EndIf}
  System::Call '*$LogWord2(i .s)'
  Pop $LogWord2
  System::Free $LogBuffer
  ; Windows' bias is UTC less local time, in minutes.
  IntOp $LogWord1 $LogWord1 + $LogWord2
  IntOp $LogWord1 0 - $LogWord1
  StrCpy $LogWord4 "+"
  ${If} $LogWord1 < 0
    StrCpy $LogWord4 "-"
    IntOp $LogWord1 0 - $LogWord1
  ${EndIf}
  IntOp $LogWord2 $LogWord1 / 60
  IntOp $LogWord3 $LogWord1 % 60
  IntFmt $LogWord2 "%02u" $LogWord2
  IntFmt $LogWord3 "%02u" $LogWord3
  FileWrite $LogFile "started $LogDate local time (UTC$LogWord4$LogWord2:$LogWord3)$\r$\n"
  FileWrite $LogFile "command line: $CMDLINE$\r$\n"
  ; The account, and whether it is SYSTEM (a deployment service) and elevated.
  System::Call 'advapi32::GetUserNameW(w .s, *i ${NSIS_MAX_STRLEN})'
  Pop $LogWord1
  StrCpy $LogWord2 "unknown"
  StrCpy $LogWord3 "unknown"
  System::Call 'advapi32::OpenProcessToken(p -1, i ${TOKEN_QUERY}, *p .s)'
  Pop $LogBuffer
  ${If} $LogBuffer <> 0
    System::Call '*(&i256) p .s'
    Pop $LogWord4
    System::Call 'advapi32::GetTokenInformation(p $LogBuffer, i ${TOKEN_ELEVATION_CLASS}, p $LogWord4, i 256, *i 0) i .s'
    Pop $LogWord2
    ${If} $LogWord2 <> 0
      System::Call '*$LogWord4(i .s)'
      Pop $LogWord2
      ${If} $LogWord2 <> 0
        StrCpy $LogWord2 "yes"
      ${Else}
        StrCpy $LogWord2 "no"
      ${EndIf}
    ${Else}
      StrCpy $LogWord2 "unknown"
    ${EndIf}
    System::Call 'advapi32::GetTokenInformation(p $LogBuffer, i ${TOKEN_USER_CLASS}, p $LogWord4, i 256, *i 0) i .s'
    Pop $LogWord3
    ${If} $LogWord3 <> 0
      System::Call '*$LogWord4(p .s)'
      Pop $LogWord3
      System::Call 'advapi32::IsWellKnownSid(p $LogWord3, i ${WIN_LOCAL_SYSTEM_SID}) i .s'
      Pop $LogWord3
      ${If} $LogWord3 <> 0
        StrCpy $LogWord3 "yes"
      ${Else}
        StrCpy $LogWord3 "no"
      ${EndIf}
    ${Else}
      StrCpy $LogWord3 "unknown"
    ${EndIf}
    System::Free $LogWord4
    System::Call 'kernel32::CloseHandle(p $LogBuffer)'
  ${EndIf}
  FileWrite $LogFile "account: $LogWord1 (SYSTEM: $LogWord3; elevated: $LogWord2)$\r$\n"
  ; The machine, Windows' own version (RtlGetVersion, which no compatibility shim alters) and the
  ; processor architecture Windows runs on.
  System::Call 'kernel32::GetComputerNameW(w .s, *i ${NSIS_MAX_STRLEN})'
  Pop $LogWord1
  System::Call '*(i ${OSVERSIONINFOW_BYTES}, &i272) p .s'
  Pop $LogBuffer
  System::Call 'ntdll::RtlGetVersion(p $LogBuffer)'
  System::Call '*$LogBuffer(i, i .s, i .s, i .s)'
  System::Free $LogBuffer
  Pop $LogWord2
  Pop $LogWord3
  Pop $LogWord4
  StrCpy $LogWord2 "$LogWord2.$LogWord3 build $LogWord4"
  System::Call '*(&i64) p .s'
  Pop $LogBuffer
  System::Call 'kernel32::GetNativeSystemInfo(p $LogBuffer)'
  System::Call '*$LogBuffer(&i2 .s)'
  System::Free $LogBuffer
  Pop $LogWord3
  ${Select} $LogWord3
    ${Case} 0
      StrCpy $LogWord3 "x86"
    ${Case} 9
      StrCpy $LogWord3 "x64"
    ${Case} 12
      StrCpy $LogWord3 "ARM64"
    ${Case} 5
      StrCpy $LogWord3 "ARM"
    ${CaseElse}
      StrCpy $LogWord3 "architecture $LogWord3"
  ${EndSelect}
  FileWrite $LogFile "machine: $LogWord1; Windows $LogWord2, $LogWord3$\r$\n"
  FileWrite $LogFile "package: $EXEPATH$\r$\n"
FunctionEnd

; $LogWord1: the path `path` with `suffix` (".1", ".early") before its ".log", or after it when it
; has none.
!macro LogVariant path suffix
  StrCpy $LogWord1 "${path}" "" -4
  ${If} $LogWord1 == ".log"
    StrCpy $LogWord1 "${path}" -4
    StrCpy $LogWord1 "$LogWord1${suffix}.log"
  ${Else}
    StrCpy $LogWord1 "${path}${suffix}"
  ${EndIf}
!macroend

; Opens the log at $LogWord2 for this run's record, after the earlier runs' ones: a log past
; LOG_KEEP_BYTES becomes <name>.1.log first. Sets the error flag when it cannot be opened.
; Touches no register.
Function OpenLogForRecord
  ClearErrors
  FileOpen $LogFile $LogWord2 a
  ${If} ${Errors}
    Return
  ${EndIf}
  FileSeek $LogFile 0 END $LogWord3
  ${If} $LogWord3 > ${LOG_KEEP_BYTES}
    FileClose $LogFile
    !insertmacro LogVariant $LogWord2 ".1"
    Delete $LogWord1
    Rename $LogWord2 $LogWord1
    ClearErrors
    FileOpen $LogFile $LogWord2 a
    ${If} ${Errors}
      Return
    ${EndIf}
    FileSeek $LogFile 0 END $LogWord3
  ${EndIf}
  ${If} $LogWord3 > 0
    FileWrite $LogFile "$\r$\n"
  ${EndIf}
  Call WriteRunHeader
FunctionEnd

; The record's last line: the exit code and its meaning; and the run's one event, whose text is
; the outcome the line before said. What both say is decided with the finish page's words
; (outcome.nsh).
!macro LogExit code
  StrCpy $OutcomeCode ${code}
  Call DecideOutcome
  StrCpy $EventCode $OutcomeCode
  Call ReportRunEvent
  !insertmacro Log "exit code $OutcomeCode: $ExitMeaning"
!macroend

; $ResultMeaning: what $0, a helper's result, means for `exe` (a program run under the watch,
; or SetupRollback). Touches no register.
!macro ExplainResult exe
  StrCpy $ResultMeaning "unknown"
  ${If} $0 == "none"
    StrCpy $ResultMeaning "it could not be started"
  !if "${exe}" == "SetupRollback.exe"
  ${ElseIf} $0 == ${ROLLBACK_DONE}
    StrCpy $ResultMeaning "done"
  ${ElseIf} $0 == ${ROLLBACK_INCOMPLETE}
    StrCpy $ResultMeaning "not all of it could be done"
  ${ElseIf} $0 == ${ROLLBACK_IN_USE}
    StrCpy $ResultMeaning "a device uses a copy"
  ${ElseIf} $0 == ${ROLLBACK_SET_ASIDE}
    StrCpy $ResultMeaning "a kept state that did not verify was set aside"
  ${ElseIf} $0 == ${ROLLBACK_EARLIER_KEPT}
    StrCpy $ResultMeaning "done; an earlier run's kept state stays kept"
  ${ElseIf} $0 == ${ROLLBACK_DEVICE_RECORDED}
    StrCpy $ResultMeaning "a Brellan device is recorded"
  !else
  ${ElseIf} $0 == ${WATCH_ENDED}
    StrCpy $ResultMeaning "the watch ended it: it neither ended nor showed a box in time"
  ${ElseIf} $0 == ${WATCH_STAYED}
    StrCpy $ResultMeaning "the watch ended it, and it had still not gone"
  ${ElseIf} $0 == ${WATCH_NOT_STARTED}
    StrCpy $ResultMeaning "the watch could not start it"
  ${ElseIf} $0 == ${WATCH_NO_BOX}
    StrCpy $ResultMeaning "it ended with 0 without the box it shows first: it did not end by itself"
  ${ElseIf} $0 == ${WATCH_NO_VERDICT}
    StrCpy $ResultMeaning "its watch was ended from outside, and it was ended with it"
  ${Else}
    StrCpy $LogWord1 "$0"
    StrCpy $LogWord2 ""
    ${If} $LogWord1 >= ${WATCH_ANSWERED}
    ${AndIf} $LogWord1 <= ${WATCH_ANSWERED_WENT_ON}
      IntOp $LogWord1 $LogWord1 - ${WATCH_ANSWERED}
      StrCpy $LogWord2 ", after the watch answered one of its boxes"
    ${EndIf}
    !if "${exe}" == "DriverPrep.exe"
      StrCpy $ResultMeaning "no Brellan device is recorded and the store's stale copies were purged"
      ${If} $LogWord1 == 0
        StrCpy $ResultMeaning "a Brellan device is recorded"
      ${EndIf}
    !else
      StrCpy $ResultMeaning "the copy service staged both INF files"
      ${If} $LogWord1 == 0
        StrCpy $ResultMeaning "the copy service refused an INF"
      ${EndIf}
    !endif
    ${If} $LogWord1 > 1
      StrCpy $ResultMeaning "it ended with $LogWord1, which it never does"
    ${EndIf}
    StrCpy $ResultMeaning "$ResultMeaning$LogWord2"
  !endif
  ${EndIf}
!macroend

; A run that another holds the lock against: its record goes to the log's .early variant (where
; the log would be, in a folder that exists: it makes none), never into the running run's log.
Function WriteEarlyRecord
  StrCpy $LogWord2 "$TEMP\${LOG_NAME}"
  StrLen $LogWord3 "$WINDIR\"
  StrCpy $LogWord4 "$TEMP\" $LogWord3
  ${If} $LogWord4 == "$WINDIR\"
    StrCpy $LogWord2 "$WINDIR\Logs\${LOG_NAME}"
  ${EndIf}
  ${If} $SwitchLogGiven == 1
    Call ResolveLogPath
    ${If} $R1 == ""
      StrCpy $LogWord2 $R0
    ${EndIf}
  ${EndIf}
  !insertmacro LogVariant $LogWord2 ".early"
  StrCpy $LogWord2 $LogWord1
  StrCpy $EventLogPath $LogWord2
  ${GetParent} $LogWord2 $LogWord3
  ClearErrors
  ${IfNot} ${FileExists} "$LogWord3\*.*"
    SetErrors
  ${Else}
    Call OpenLogForRecord
  ${EndIf}
  ; Without a log the run's event is all it leaves.
  ${If} ${Errors}
    StrCpy $LogFile ""
    StrCpy $EventLogPath "none: its folder $LogWord3 is missing or the file cannot be written"
  ${EndIf}
  !insertmacro Log "another run of the package holds the lock ($VendorFolder\${LOCK_NAME}): nothing was done"
  !insertmacro LogExit ${EXIT_ANOTHER_RUNNING}
  ${If} $LogFile != ""
    FileClose $LogFile
  ${EndIf}
FunctionEnd
