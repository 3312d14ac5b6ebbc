; The run's outcome, decided in one place: from its exit code ($OutcomeCode), whether it uninstalls
; or previews, and what it could not put back ($NotPutBack), DecideOutcome sets what the log's last
; line and the run's event say (in English, for whoever collects them: $ExitMeaning, $EventId,
; $EventType) and what the finish page says to the person at the keyboard (in their language,
; lang/*.nsh: $PageTitle, $PageText, and a link to the next step, $PageLinkText and
; $PageLinkTarget). The three can never disagree: they are chosen together, here.
;
; What the page words name, set where the run learns it:
;   $OutcomeKind   "release" when the Windows release, not the platform, is older than supported;
;                  "room" when the driver files could not be written for want of room;
;                  "none" when an uninstall found nothing installed
;   $OutcomeWhy    the machine's platform or Windows release (1633), or the text of a refused
;                  switch (1639), or Windows' own words for a refusal (4), or the install folder
;                  that had no room (5, with $RoomNeeded)
;   $OutcomeVersion  the installed version (1638)
;   $CurrentStep   the step under way, in the user's words (set by Say)

Var OutcomeCode
Var OutcomeKind
Var OutcomeWhy
Var OutcomeVersion
Var CurrentStep
Var OutcomeStep    ; the step that was under way when the run ended
Var PageTitle
Var PageText
Var PageLinkText
Var PageLinkTarget
Var Ended          ; 1 once the run has ended: the wizard shows only its finish page

!define DEVICE_MANAGER "devmgmt.msc"

; Each page text's paragraphs.
!define PARAGRAPH "$\r$\n$\r$\n"

; The log's place on the finish page, with a link that opens it.
!macro PageShowsLog
  StrCpy $PageText "$PageText${PARAGRAPH}$(PageLogIsAt)$\r$\n$LogPath"
  StrCpy $PageLinkText "$(PageOpenLog)"
  StrCpy $PageLinkTarget "$LogPath"
!macroend

Function DecideOutcome
  StrCpy $EventType ${EVENTLOG_ERROR_TYPE}
  StrCpy $PageLinkText ""
  StrCpy $PageLinkTarget ""
  ${Select} $OutcomeCode
  ${Case} ${EXIT_INSTALLED}
    StrCpy $EventType ${EVENTLOG_INFORMATION_TYPE}
    ${If} $SwitchUninstall == 1
      StrCpy $ExitMeaning "removed, or nothing was installed"
      StrCpy $EventId ${EVENT_REMOVED}
      StrCpy $PageTitle "$(PageRemovedTitle)"
      StrCpy $PageText "$(PageRemovedText)"
      ${If} $OutcomeKind == "none"
        StrCpy $PageTitle "$(PageNothingTitle)"
        StrCpy $PageText "$(PageNothingText)"
      ${EndIf}
    ${Else}
      StrCpy $ExitMeaning "installed"
      StrCpy $EventId ${EVENT_INSTALLED}
      StrCpy $PageTitle "$(PageInstalledTitle)"
      StrCpy $PageText "$(PageInstalledText)"
    ${EndIf}
  ${Case} ${EXIT_CANCELLED}
    StrCpy $ExitMeaning "cancelled by the user; nothing changed"
    StrCpy $EventType ${EVENTLOG_WARNING_TYPE}
    StrCpy $EventId ${EVENT_CANCELLED}
  ${Case} ${EXIT_ABORTED}
    StrCpy $ExitMeaning "aborted (not run as an administrator); nothing changed"
    StrCpy $EventId ${EVENT_ABORTED}
    StrCpy $PageTitle "$(PageAdminTitle)"
    StrCpy $PageText "$(PageAdminText)"
  ${Case} ${EXIT_DEVICE_RECORDED}
    StrCpy $EventId ${EVENT_DEVICE_RECORDED}
    StrCpy $PageTitle "$(PageDeviceTitle)"
    ${If} $SwitchUninstall == 1
      StrCpy $ExitMeaning "a Brellan device uses the driver: uninstall the device first; nothing was removed"
      StrCpy $PageText "$(PageDeviceUninstallText)"
    ${Else}
      StrCpy $ExitMeaning "a Brellan device is still recorded: uninstall it first; nothing was placed"
      StrCpy $PageText "$(PageDeviceText)"
    ${EndIf}
    StrCpy $PageLinkText "$(PageOpenDeviceManager)"
    StrCpy $PageLinkTarget "${DEVICE_MANAGER}"
  ${Case} ${EXIT_COPY_REFUSED}
    StrCpy $ExitMeaning "Windows refused a driver package; the machine is as the run found it"
    StrCpy $EventId ${EVENT_COPY_REFUSED}
    StrCpy $PageTitle "$(PageRefusedTitle)"
    StrCpy $PageText "$(PageRefusedText)"
    !insertmacro PageShowsLog
  ${Case} ${EXIT_STEP_FAILED}
    StrCpy $EventId ${EVENT_STEP_FAILED}
    StrCpy $PageTitle "$(PageFailedTitle)"
    StrCpy $PageText "$(PageFailedText)"
    ${If} $OutcomeKind == "room"
      StrCpy $PageText "$PageText${PARAGRAPH}$(PageRoomText)"
    ${EndIf}
    ${If} $NotPutBack != ""
      StrCpy $ExitMeaning "a step could not run; $NotPutBack"
      StrCpy $PageText "$PageText${PARAGRAPH}$(PageNotPutBack)"
    ${Else}
      StrCpy $ExitMeaning "a step could not run; the machine is as the run found it"
      StrCpy $PageText "$PageText${PARAGRAPH}$(PageAsItWas)"
    ${EndIf}
    !insertmacro PageShowsLog
  ${Case} ${EXIT_ANOTHER_RUNNING}
    StrCpy $ExitMeaning "another run of the package is under way; try again later"
    StrCpy $EventType ${EVENTLOG_WARNING_TYPE}
    StrCpy $EventId ${EVENT_ANOTHER_RUNNING}
    StrCpy $PageTitle "$(PageBusyTitle)"
    StrCpy $PageText "$(PageBusyText)"
  ${Case} ${EXIT_WRONG_PLATFORM}
    StrCpy $ExitMeaning "the driver packages are not for this machine's platform or Windows version; nothing changed"
    StrCpy $EventId ${EVENT_WRONG_PLATFORM}
    StrCpy $PageTitle "$(PageNotForThisTitle)"
    StrCpy $PageText "$(PagePlatformText)"
    ${If} $OutcomeKind == "release"
      StrCpy $PageText "$(PageReleaseText)"
    ${EndIf}
  ${Case} ${EXIT_NEWER_INSTALLED}
    StrCpy $ExitMeaning "a newer version is installed; nothing changed"
    StrCpy $EventType ${EVENTLOG_WARNING_TYPE}
    StrCpy $EventId ${EVENT_NEWER_INSTALLED}
    StrCpy $PageTitle "$(PageNewerTitle)"
    StrCpy $PageText "$(PageNewerText)"
  ${Case} ${EXIT_BAD_COMMAND_LINE}
    StrCpy $ExitMeaning "a switch is not valid; nothing changed"
    StrCpy $EventId ${EVENT_BAD_COMMAND_LINE}
    StrCpy $OutcomeWhy $FinishText
    StrCpy $PageTitle "$(PageSwitchTitle)"
    StrCpy $PageText "$(PageSwitchText)"
  ${CaseElse}
    StrCpy $ExitMeaning "unknown"
    StrCpy $EventId ${EVENT_STEP_FAILED}
    StrCpy $PageTitle "$(PageFailedTitle)"
    StrCpy $PageText ""
  ${EndSelect}
  ${If} $SwitchWhatIf == 1
    Call DecidePreviewOutcome
  ${EndIf}
FunctionEnd

; A preview changed nothing, whatever it found: its event says so, and which code a real run would
; end with where that is known before any change (3, 1633, 1638), else 0. A switch it refused, and
; a run it could not make, keep their own words.
Function DecidePreviewOutcome
  ${If} $OutcomeCode == ${EXIT_BAD_COMMAND_LINE}
  ${OrIf} $OutcomeCode == ${EXIT_ANOTHER_RUNNING}
  ${OrIf} $OutcomeCode == ${EXIT_ABORTED}
    Return
  ${EndIf}
  ${If} $OutcomeCode == ${EXIT_INSTALLED}
    StrCpy $ExitMeaning "preview: a run would go on to stage the driver packages, and end with 0, 4 or 5 once Windows has staged them; nothing changed"
  ${ElseIf} $OutcomeCode == ${EXIT_STEP_FAILED}
    StrCpy $ExitMeaning "preview: what a run would do could not be decided; nothing changed"
  ${Else}
    StrCpy $ExitMeaning "preview: a run would end with this code ($ExitMeaning)"
  ${EndIf}
  StrCpy $EventType ${EVENTLOG_INFORMATION_TYPE}
  StrCpy $EventId ${EVENT_PREVIEWED}
  StrCpy $PageTitle "$(PagePreviewTitle)"
  StrCpy $PageText "$(PagePreviewText)"
  !insertmacro PageShowsLog
FunctionEnd

; The step under way, in the user's words: the progress page's line above its bar (the log and the
; details list keep the technical lines), and what the finish page names when it fails.
!macro Say words
  StrCpy $CurrentStep "${words}"
  SetDetailsPrint textonly
  DetailPrint "$CurrentStep"
  SetDetailsPrint listonly
!macroend

; Windows' own words for the copy service's refusal, in the user's language: the error code in
; PkgStage's box, as the watch logged it after $RefusalFrom, through FormatMessage. Without the
; code, or words for it, $OutcomeWhy says where the reason is.
!include TextFunc.nsh
!searchparse /file "${__FILEDIR__}/../pkgstage/stage_packages.cpp" `kCopyFailedFormat[] = L"` COPY_FAILED_FORMAT `";`
!searchreplace COPY_FAILED_PREFIX "${COPY_FAILED_FORMAT}" "%x" ""
!define FORMAT_MESSAGE_FROM_SYSTEM_ONLY 0x1200   ; FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS
!define SETUPAPI_ERROR_BITS 0xE0000000           ; APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR
!define SETUPAPI_HRESULT_BASE 0x800F0000         ; SEVERITY_ERROR, FACILITY_SETUPAPI (15)
Var RefusalFrom   ; where the log ended before PkgStage ran
Var RefusalLog
Var RefusalLine
Var RefusalCode

Function ReadRefusal
  StrCpy $OutcomeWhy "$(PageRefusalInLog)"
  StrCpy $RefusalCode ""
  FileClose $LogFile
  ClearErrors
  FileOpen $RefusalLog "$LogPath" r
  ${IfNot} ${Errors}
    FileSeek $RefusalLog $RefusalFrom SET
    ${Do}
      ClearErrors
      FileRead $RefusalLog $RefusalLine
      ${If} ${Errors}
        ${ExitDo}
      ${EndIf}
      ${WordFind} "$RefusalLine" "text: $\"${COPY_FAILED_PREFIX}" "E+1}" $0
      ${IfNot} ${Errors}
        ${WordFind} "$0" "$\"" "+1{" $RefusalCode
      ${EndIf}
    ${Loop}
    FileClose $RefusalLog
  ${EndIf}
  FileOpen $LogFile "$LogPath" a
  FileSeek $LogFile 0 END
  ${If} $RefusalCode == ""
    Return
  ${EndIf}
  IntOp $0 0x$RefusalCode + 0
  System::Call 'kernel32::FormatMessageW(i ${FORMAT_MESSAGE_FROM_SYSTEM_ONLY}, p 0, i r0, i 0, w .r1, i ${NSIS_MAX_STRLEN}, p 0) i .r2'
  ; SetupAPI's own codes (0xE000xxxx) have their words under their HRESULT, HRESULT_FROM_SETUPAPI.
  IntOp $3 $0 & ${SETUPAPI_ERROR_BITS}
  ${If} $2 = 0
  ${AndIf} $3 = ${SETUPAPI_ERROR_BITS}
    IntOp $0 $0 & 0xFFFF
    IntOp $0 $0 | ${SETUPAPI_HRESULT_BASE}
    System::Call 'kernel32::FormatMessageW(i ${FORMAT_MESSAGE_FROM_SYSTEM_ONLY}, p 0, i r0, i 0, w .r1, i ${NSIS_MAX_STRLEN}, p 0) i .r2'
  ${EndIf}
  StrCpy $OutcomeWhy "error 0x$RefusalCode."
  ${If} $2 > 0
    ; Windows ends its words with a line end.
    ${TrimNewLines} "$1" $1
    StrCpy $OutcomeWhy "$1 (error 0x$RefusalCode)"
  ${EndIf}
FunctionEnd
