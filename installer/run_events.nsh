; The run's event in Windows' Application log: one per run, from the product's own source, its ID
; fixed by the outcome (setup_events.mc, compiled into SetupRollback, whose table docs/deploying.md
; lists), its type Information for success, Warning for 1618 and 1638, Error for the rest. The
; source's message file is a copy of SetupRollback in the folder above the install folder, beside
; the lock, placed by each install: it outlives every run, a failed first install's included, so
; that Event Viewer can show each event's text. An uninstall that ends with 0 (the product removed,
; or none installed) removes it and the source's registration last, after its own event. A
; preview, an uninstall, a run that another holds the lock against, or one without administrator
; rights reports its event through whatever registration stands, and changes none.

!define EVENT_SOURCE "Brellan Flashwright Setup"
!define EVENT_SOURCE_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\${EVENT_SOURCE}"
!define EVENT_MESSAGE_FILE "Brellan Flashwright Setup Events.exe"
; Beside the message file's path: the folder above the install folder, when placing the message
; file made it (an uninstall removes it, empty, with the source).
!define EVENT_MADE_FOLDER_VALUE "MadeFolder"
!define EVENTLOG_ERROR_TYPE 1
!define EVENTLOG_WARNING_TYPE 2
!define EVENTLOG_INFORMATION_TYPE 4
!define EVENT_TYPES_SUPPORTED 7
!define EVENT_STRING_COUNT 5
; The event IDs, as the message compiler numbered them for SetupRollback's message table: the
; build writes the header beside SetupRollback.
!ifndef EVENTS_H
  !error "EVENTS_H is not given: name the event IDs' header the build writes beside SetupRollback, -DEVENTS_H=build/release/installer/rollback/setup_events/setup_events.h after cmake --build --preset release"
!endif
!macro EventId name define
  !searchparse /file "${EVENTS_H}" `#define ${name} (DWORD) ` ${define}_HEX
  !define /math ${define} ${${define}_HEX} + 0
!macroend
!insertmacro EventId kEventInstalled EVENT_INSTALLED
!insertmacro EventId kEventRemoved EVENT_REMOVED
!insertmacro EventId kEventPreviewed EVENT_PREVIEWED
!insertmacro EventId kEventAnotherRunning EVENT_ANOTHER_RUNNING
!insertmacro EventId kEventNewerInstalled EVENT_NEWER_INSTALLED
!insertmacro EventId kEventCancelled EVENT_CANCELLED
!insertmacro EventId kEventAborted EVENT_ABORTED
!insertmacro EventId kEventDeviceRecorded EVENT_DEVICE_RECORDED
!insertmacro EventId kEventCopyRefused EVENT_COPY_REFUSED
!insertmacro EventId kEventStepFailed EVENT_STEP_FAILED
!insertmacro EventId kEventWrongPlatform EVENT_WRONG_PLATFORM
!insertmacro EventId kEventBadCommandLine EVENT_BAD_COMMAND_LINE

Var EventId
Var EventType
Var EventCode
Var EventText      ; the run's last step, as its log line says it
Var EventLogPath   ; the log the record went to
Var EventWord1
Var EventWord2
Var EventWord3
Var EventWord4
Var EventWord5
Var EventArray
Var EventSource

; Places the message file and registers the source, for a run that holds the lock as an
; administrator. A message file that cannot be replaced (Event Viewer may hold it open) stays as it
; is, and the run goes on: its event is reported all the same.
Function RegisterEventSource
  StrCpy $EventWord1 "$VendorFolder\${EVENT_MESSAGE_FILE}"
  ClearErrors
  SetOverwrite try
  File "/oname=$EventWord1.new" "${PROGRAM_DIR}/SetupRollback.exe"
  SetOverwrite on
  ${If} ${Errors}
    !insertmacro LogOnly "the event log's message file could not be written to $EventWord1.new: the events are reported with the one that stands, if any"
    Delete "$EventWord1.new"
  ${Else}
    System::Call 'kernel32::MoveFileExW(w "$EventWord1.new", w "$EventWord1", i 1) i .s ?e'
    Pop $EventWord2
    Pop $EventWord3
    ${If} $EventWord3 = 0
      !insertmacro LogOnly "the event log's message file $EventWord1 could not be replaced (error $EventWord2): it stays as it was"
      Delete "$EventWord1.new"
    ${EndIf}
  ${EndIf}
  ClearErrors
  WriteRegExpandStr HKLM "${EVENT_SOURCE_KEY}" "EventMessageFile" "$EventWord1"
  WriteRegDWORD HKLM "${EVENT_SOURCE_KEY}" "TypesSupported" ${EVENT_TYPES_SUPPORTED}
  ${If} $MadeVendorFolder == 1
    WriteRegStr HKLM "${EVENT_SOURCE_KEY}" "${EVENT_MADE_FOLDER_VALUE}" "$VendorFolder"
  ${EndIf}
  ${If} ${Errors}
    !insertmacro LogOnly "the event source ${EVENT_SOURCE} could not be registered in HKLM\${EVENT_SOURCE_KEY}"
  ${EndIf}
FunctionEnd

; Whether placing the message file made the folder above the install folder: an install then
; records that it made it, as it would have had the folder been absent.
!macro EventSourceMadeFolder
  ClearErrors
  ReadRegStr $EventWord1 HKLM "${EVENT_SOURCE_KEY}" "${EVENT_MADE_FOLDER_VALUE}"
  ${IfNot} ${Errors}
  ${AndIf} $EventWord1 == $VendorFolder
    StrCpy $MadeVendorFolder 1
  ${EndIf}
!macroend

; An uninstall's last change: the message file (at the next restart while Event Viewer holds it)
; and the source's registration.
Function RemoveEventSource
  Delete /REBOOTOK "$VendorFolder\${EVENT_MESSAGE_FILE}"
  Delete "$VendorFolder\${EVENT_MESSAGE_FILE}.new"
  DeleteRegKey HKLM "${EVENT_SOURCE_KEY}"
FunctionEnd

; `word`: a copy of `text` in memory of the plugin's own, for ReportEventW's strings. The text
; goes by the stack: quotes in it (a path, a command line) stay text.
!macro EventString word text
  StrLen ${word} "${text}"
  IntOp ${word} ${word} + 1
  Push "${text}"
  System::Call '*(&w${word} s) p .s'
  Pop ${word}
!macroend

; Reports the run's event: $EventId, $EventType, $EventCode (with $ExitMeaning), $EventText,
; $EventLogPath. Windows keeps it in the Application log; Wine prints its strings to the eventlog
; debug channel and keeps nothing.
Function ReportRunEvent
  System::Call 'advapi32::RegisterEventSourceW(p 0, w "${EVENT_SOURCE}") p .s'
  Pop $EventSource
  ${If} $EventSource = 0
    Return
  ${EndIf}
  !insertmacro EventString $EventWord1 "${VERSION}"
  !insertmacro EventString $EventWord2 "$EventCode"
  !insertmacro EventString $EventWord3 "$ExitMeaning"
  !insertmacro EventString $EventWord4 "$EventLogPath"
  !insertmacro EventString $EventWord5 "$EventText"
  System::Call '*(p $EventWord1, p $EventWord2, p $EventWord3, p $EventWord4, p $EventWord5) p .s'
  Pop $EventArray
  System::Call 'advapi32::ReportEventW(p $EventSource, i $EventType, i 0, i $EventId, p 0, i ${EVENT_STRING_COUNT}, i 0, p $EventArray, p 0)'
  System::Call 'advapi32::DeregisterEventSource(p $EventSource)'
  System::Free $EventArray
  System::Free $EventWord1
  System::Free $EventWord2
  System::Free $EventWord3
  System::Free $EventWord4
  System::Free $EventWord5
FunctionEnd
