; The Brellan Flashwright driver steps as a setup package. It runs DriverPrep, places the product's
; two driver packages (each INF with its catalogs and source files) in the folder PkgStage reads,
; runs PkgStage, records the installed version, and ends with an exit code that says how far it got:
;   0 installed; 3 a Brellan device is still recorded; 4 the copy service refused an INF;
;   5 a step could not run (a program not started, ended by the watch or ending with another
;   code, a file not written); 1618 another package is running; 1633 the driver packages are
;   not for this machine's platform; 1638 a newer version is installed; 1639 a switch is not
;   valid. With /UNINSTALL it removes the product instead
;   (uninstall.nsh); with /WHATIF it says what a run would do, and changes nothing (preview.nsh);
;   the version rules are in versions.nsh, the machines it is for in platform.nsh.
;   1 cancelled on the welcome page; 2 not run as an administrator (NSIS's own code for aborted).
; Without /S a person sees a wizard (pages.nsh): what it will do, each step, and what it did, in
; words chosen with the log's and the event's (outcome.nsh), in the display language (lang/).
; Each program runs under SetupWatch (watch/, watched.nsh), which under /S answers a box left open
; and ends a program that hangs, so an unattended install always ends by itself; every program it
; starts is in the package's job and ends with it. Before DriverPrep runs, SetupRollback (rollback/) keeps
; what the run may change (transaction.nsh); a run that does not end with 0 puts it all back, and
; a run cut off is put back by the next one. The log goes to the user's temporary folder, or where
; /LOG= says.
;
; Built by CMake (installer/CMakeLists.txt) as
;   makensis -NOCD -DTARGET=x86-unicode|amd64-unicode -DVERSION=1.0.0 -DPROGRAM_DIR=<SetupWatch.exe,
;            SetupRollback.exe, DriverPrep.exe, PkgStage.exe> -DDRIVER_FILES=<driver-files.nsh>
;            -DOUTFILE=<setup.exe> this.nsi
; where `installer/driver_package files` writes driver-files.nsh (and the work list beside it) from
; the driver-package folder: the two INFs and every file they need.

Unicode true
Target ${TARGET}
; The build stops on any warning (-WX) but LogicLib's own: a branch that ends the run with Return
; leaves the label after it unused.
!pragma warning disable 6012
!include LogicLib.nsh
!include FileFunc.nsh
!include WordFunc.nsh
!include x64.nsh

; The install folder, from the header PkgStage is built with; the files of the driver packages,
; read from their INFs at build time (installer/driver_package takes the INF names from the same header).
!define LAYOUT "${__FILEDIR__}/../common/install_layout.h"
!searchparse /file "${LAYOUT}" `kInstallFolder[] = L"` INSTALL_FOLDER_ESCAPED `";`
!searchreplace INSTALL_FOLDER "${INSTALL_FOLDER_ESCAPED}" "\\" "\"
!include "${DRIVER_FILES}"
; The watch's exit codes and bounds, from its header; the caption of DriverPrep's notice, which
; closes by itself, from DriverPrep's source.
!define WATCH "${__FILEDIR__}/watch/setup_watch.h"
!searchparse /file "${WATCH}" `kWatchAnsweredBox = ` WATCH_ANSWERED `;`
!searchparse /file "${WATCH}" `kWatchEndedProgram = ` WATCH_ENDED `;`
!searchparse /file "${WATCH}" `kWatchNotStarted = ` WATCH_NOT_STARTED `;`
!searchparse /file "${WATCH}" `kWatchProgramStayed = ` WATCH_STAYED `;`
!searchparse /file "${WATCH}" `kWatchNoBoxBefore = ` WATCH_NO_BOX `;`
!searchparse /file "${WATCH}" `kWatchNoVerdict = ` WATCH_NO_VERDICT `;`
!searchparse /file "${WATCH}" `kEndWaitSeconds = ` WATCH_END_WAIT_SECONDS `;`
!searchparse /file "${WATCH}" `kMaxWatchSeconds = ` MAX_BOX_TIMEOUT `;`
!define /math WATCH_ANSWERED_WENT_ON ${WATCH_ANSWERED} + 1
; The programs' folder is SYSTEM's and the Administrators' alone, from its header.
!searchparse /file "${__FILEDIR__}/admin_only.h" `kAdminOnlySddl[] = L"` ADMIN_ONLY_SDDL `";`
!searchparse /file "${__FILEDIR__}/../driverprep/notice.cpp" `kNoticeTitle[] = L"` NOTICE_TITLE `";`
; Where and how SetupRollback keeps what a run may change, from its header.
!define ROLLBACK "${__FILEDIR__}/rollback/setup_rollback.h"
!searchparse /file "${ROLLBACK}" `kRollbackDone = ` ROLLBACK_DONE `;`
!searchparse /file "${ROLLBACK}" `kRollbackIncomplete = ` ROLLBACK_INCOMPLETE `;`
!searchparse /file "${ROLLBACK}" `kRollbackInUse = ` ROLLBACK_IN_USE `;`
!searchparse /file "${ROLLBACK}" `kRollbackSetAside = ` ROLLBACK_SET_ASIDE `;`
!searchparse /file "${ROLLBACK}" `kRollbackDeviceRecorded = ` ROLLBACK_DEVICE_RECORDED `;`
!searchparse /file "${ROLLBACK}" `kRollbackEarlierKept = ` ROLLBACK_EARLIER_KEPT `;`
!searchparse /file "${ROLLBACK}" `kRollbackFolder[] = L"` ROLLBACK_FOLDER_ESCAPED `";`
!searchparse /file "${ROLLBACK}" `kArmedName[] = L"` ARMED_NAME `";`
!searchreplace ROLLBACK_FOLDER "${ROLLBACK_FOLDER_ESCAPED}" "\\" "\"
; Where a deployment tool's detection rule finds the installed version (the 64-bit view), and the
; name of the package's copy in the install folder that the entry's uninstall runs, from the same
; header as the install folder.
!searchparse /file "${LAYOUT}" `kDetectionKey[] = L"` DETECTION_KEY_ESCAPED `";`
!searchreplace DETECTION_KEY "${DETECTION_KEY_ESCAPED}" "\\" "\"
!searchparse /file "${LAYOUT}" `kDetectionValueName[] = L"` DETECTION_VALUE `";`
!searchparse /file "${LAYOUT}" `kPackageCopyName[] = L"` PACKAGE_NAME `";`
!searchparse /file "${LAYOUT}" `kFileListName[] = L"` WORK_LIST `";`
!searchparse /file "${LAYOUT}" `kMadeFolderValueName[] = L"` MADE_FOLDER_VALUE `";`

!define EXIT_INSTALLED 0
!define EXIT_CANCELLED 1
!define EXIT_ABORTED 2
!define EXIT_DEVICE_RECORDED 3
!define EXIT_COPY_REFUSED 4
!define EXIT_STEP_FAILED 5
!define EXIT_WRONG_PLATFORM 1633   ; Windows Installer's "not supported by this processor type": also an older Windows
!define EXIT_ANOTHER_RUNNING 1618   ; Windows Installer's "another installation is in progress"
!define EXIT_NEWER_INSTALLED 1638   ; Windows Installer's "another version of this product is already installed"
!define EXIT_BAD_COMMAND_LINE 1639  ; Windows Installer's "invalid command line"
!define LOG_NAME "BrellanFlashwrightSetup.log"
; Under /S: a box left open is answered after this many seconds (/BOXTIMEOUT=), 2 where nobody
; can see the screen; a program that neither ends nor shows a box for PROGRAM_LIMIT seconds is
; ended.
!define DEFAULT_BOX_TIMEOUT 60
!define PROGRAM_LIMIT 300
; One package at a time on the machine, across sessions: a file beside the install folder, where
; only administrators can create one, held open without sharing while the package runs. The
; programs run from a folder beside it, made anew by each run.
!define LOCK_NAME "Brellan Flashwright Setup.lock"
!define PROGRAMS_NAME "Brellan Flashwright Setup Programs"
!define ERROR_SHARING_VIOLATION 32
!define GENERIC_WRITE_AND_DELETE 0x40010000
!define OPEN_ALWAYS 4
!define DELETE_ON_CLOSE 0x04000080   ; FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_NORMAL
!define GENERIC_READ 0x80000000
!define GENERIC_WRITE 0x40000000
!define FILE_SHARE_READ 1
!define OPEN_EXISTING 3
!define CREATE_ALWAYS 2
!define FILE_ATTRIBUTE_NORMAL 0x80
!define COPY_CHUNK_BYTES 65536
; Every program the package starts runs in a job that ends them all when the package's handle to
; it closes, however the package ends: JOBOBJECT_EXTENDED_LIMIT_INFORMATION, its LimitFlags at
; offset 16 on both bitnesses.
!define JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE 0x2000
!define JOB_OBJECT_EXTENDED_LIMIT_INFORMATION_CLASS 9
!if ${NSIS_PTR_SIZE} > 4
  !define JOB_LIMITS_BYTES 144
!else
  !define JOB_LIMITS_BYTES 112
!endif
; NSIS strings hold NSIS_MAX_STRLEN characters, and a longer one is cut at run time without a word.
; The longest command line the package builds, to a helper, holds two paths in the programs'
; folder (at most PROGRAMS_DIR_MAX_CHARS, from the build), the log's path (at most MAX_LOG_CHARS,
; checked when /LOG= is read) and at most HELPER_SWITCHES_MAX_CHARS more: the helper's and the
; program's names, quotes, spaces, the watch's options and their numbers, SetupRollback's mode and
; the run's ID (a GUID, 38 characters).
!define MAX_LOG_CHARS 259
!define HELPER_SWITCHES_MAX_CHARS 200
!define /math HELPER_LINE_PATHS ${PROGRAMS_DIR_MAX_CHARS} * 2
!define /math HELPER_LINE_LOG ${HELPER_LINE_PATHS} + ${MAX_LOG_CHARS}
!define /math HELPER_LINE_MAX_CHARS ${HELPER_LINE_LOG} + ${HELPER_SWITCHES_MAX_CHARS}
!if ${HELPER_LINE_MAX_CHARS} >= ${NSIS_MAX_STRLEN}
  !error "A helper's command line can reach ${HELPER_LINE_MAX_CHARS} characters, and NSIS strings hold ${NSIS_MAX_STRLEN} (NSIS_MAX_STRLEN): shorten the install folder's path or the programs' folder's name"
!endif
; Where Apps & features, winget and inventory tools find the product (the 64-bit view too); the
; release's winget manifest reads these lines.
!define UNINSTALL_KEY "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\QuillmereBrellanFlashwright"
!define DISPLAY_NAME "Brellan Flashwright"
!define PUBLISHER "Quillmere"

Name "Brellan Flashwright"
BrandingText "${PUBLISHER} ${DISPLAY_NAME} ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
; Sharp at every scaling: Windows 10 1703 and later scale the wizard per monitor, earlier ones at
; the system's scaling.
ManifestDPIAware true
ManifestDPIAwareness "PerMonitorV2,System"
SetCompressor /SOLID lzma
; No build time in the package: the same sources give the same bytes.
SetDateSave off
SetOverwrite on
ShowInstDetails hide

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=0 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=0 "ProductName" "Brellan Flashwright Installer"
VIAddVersionKey /LANG=0 "FileDescription" "Brellan Flashwright setup"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "LegalCopyright" "${PUBLISHER}"

!include "${__FILEDIR__}/switches.nsh"

Var LogFile
Var LogPath
Var Lock           ; the lock file's handle, 0 when not held
Var VendorFolder   ; the install folder's parent, where the lock and the programs' folder live
Var MadeVendorFolder
Var ProgramsDir
Var WatchOptions   ; what SetupWatch answers and bounds: nothing without /S
Var JobNote        ; why the run's programs are not in a job of their own, "" when they are
Var SelfFile       ; the package's own file, held from the start without write or delete sharing
Var Uninstalled    ; 1 once an uninstall has removed the product's files
Var RunId          ; this run's own ID, which its kept state's record names
Var WritingFile    ; the file the package is writing into the install folder
Var WriteFailed    ; the first of them it could not write, "" while none
Var RoomNeeded     ; KB the install needs on the install folder's disk
Var RoomFree       ; KB free there when the run began
!define CLUSTER_BYTES 4096   ; as installer/driver_package counts DRIVER_PACKAGE_KB
!define CLUSTER_BYTES_LESS_ONE 4095
!define CLUSTER_KB 4
Var FinishText     ; the run's last step, for its log: read before a rollback takes its place
Var PutBackWhole   ; 1 once a rollback is done and its state no longer armed: the machine as it was
Var NotPutBack     ; why this run's rollback is not known whole: the run then ends with 5, saying so
Var Kept           ; 1 while this run's state is armed (transaction.nsh)
!include "${__FILEDIR__}/run_log.nsh"
!include "${__FILEDIR__}/pages.nsh"


; Runs a helper from the programs' folder with `args` and leaves its exit code in $0, or "none"
; when it could not be started. The helper appends its lines to the log meanwhile, so the
; installer closes the log for that time. A start that fails ran nothing: a file just unpacked
; can be held for a moment (a virus scanner reading it), so the start is tried again, a bounded
; number of times.
!define HELPER_START_TRIES 5
!define HELPER_START_PAUSE_MS 200
Var StartTries
!macro RunHelper exe args
  FileClose $LogFile
  StrCpy $StartTries 0
  ${Do}
    IntOp $StartTries $StartTries + 1
    ClearErrors
    ExecWait `"$ProgramsDir\${exe}" "/log=$LogPath" ${args}` $0
    ${IfNot} ${Errors}
      ${Break}
    ${EndIf}
    StrCpy $0 "none"
    ${If} $StartTries >= ${HELPER_START_TRIES}
      ${Break}
    ${EndIf}
    Sleep ${HELPER_START_PAUSE_MS}
  ${Loop}
  FileOpen $LogFile "$LogPath" a
  FileSeek $LogFile 0 END
  ${If} $StartTries > 1
  ${AndIf} $0 != "none"
    !insertmacro Log "${exe} started at try $StartTries: Windows could not start it before"
  ${EndIf}
!macroend

; After each file the package writes into the install folder: the first that could not be
; written is kept in $WriteFailed (checking clears the error flag).
!macro CheckWritten
  ${If} ${Errors}
  ${AndIf} $WriteFailed == ""
    StrCpy $WriteFailed $WritingFile
  ${EndIf}
!macroend

; Ends the run with `code`: a failed run puts back what it changed (a rollback not known whole
; ends it with 5, never with a code that says the machine is as it was), then its log, its event
; and the finish page say the outcome; the run leaves the machine, and the function or section the
; macro is in returns (under /S the package quits). Every caller of a function that can end the
; run goes no further once it has: see Step.
!macro Finish code text
  StrCpy $FinishText "${text}"
  StrCpy $OutcomeCode ${code}
  Call EndRun
  Return
!macroend

; Calls `function`, and returns at once when it ended the run.
!macro Step function
  Call ${function}
  ${If} $Ended == 1
    Return
  ${EndIf}
!macroend

Function EndRun
  ; A run that ends before its first step (the lock not taken) was preparing.
  StrCpy $OutcomeStep $CurrentStep
  ${If} $OutcomeStep == ""
    StrCpy $OutcomeStep "$(StepPrepare)"
  ${EndIf}
  ${If} $OutcomeCode != ${EXIT_INSTALLED}
  ${AndIf} $Kept == 1
    !insertmacro Say "$(StepPutBack)"
    Call RollBackThisRun
    ${If} $NotPutBack != ""
      StrCpy $FinishText "$FinishText Afterwards $NotPutBack"
      StrCpy $FinishText "$FinishText."
      StrCpy $OutcomeCode ${EXIT_STEP_FAILED}
    ${EndIf}
  ${EndIf}
  !insertmacro Log "$FinishText (exit code $OutcomeCode)"
  !insertmacro LogExit $OutcomeCode
  FileClose $LogFile
  ${If} $OutcomeCode == ${EXIT_INSTALLED}
  ${AndIf} $SwitchUninstall == 1
    Call RemoveEventSource
  ${EndIf}
  Call LeaveMachine
  SetErrorLevel $OutcomeCode
  StrCpy $Ended 1
  ${If} ${Silent}
    Quit
  ${EndIf}
  ; A failed run's progress page stays, with its details, until the person goes on.
  ${If} $OutcomeCode != ${EXIT_INSTALLED}
    SetAutoClose false
  ${EndIf}
FunctionEnd

!include "${__FILEDIR__}/watched.nsh"

; Puts the package into a job that ends every process in it when the package's handle closes: the
; programs it starts (and theirs) are in it too, so none outlives the run, however it ends. Windows 7
; cannot put a process that is already in a job (a deployment tool's) into another; $JobNote then
; says so, and the lock is what keeps a second run away.
Function PutRunInJob
  StrCpy $JobNote ""
  System::Call 'kernel32::CreateJobObjectW(p 0, p 0) p .r1 ?e'
  Pop $2
  ${If} $1 = 0
    StrCpy $JobNote "no job could be made (error $2)"
    Return
  ${EndIf}
  System::Alloc ${JOB_LIMITS_BYTES}
  Pop $3
  System::Call '*$3(l 0, l 0, i ${JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE})'
  System::Call 'kernel32::SetInformationJobObject(p r1, i ${JOB_OBJECT_EXTENDED_LIMIT_INFORMATION_CLASS}, p r3, i ${JOB_LIMITS_BYTES}) i .r4 ?e'
  Pop $2
  System::Free $3
  ${If} $4 = 0
    StrCpy $JobNote "the job's limits could not be set (error $2)"
    Return
  ${EndIf}
  System::Call 'kernel32::AssignProcessToJobObject(p r1, p -1) i .r4 ?e'
  Pop $2
  ${If} $4 = 0
    StrCpy $JobNote "the package could not enter a job of its own (error $2; on Windows 7 it is in a job already)"
  ${EndIf}
  ; The handle stays open: the job, and every program in it, ends with the package.
FunctionEnd

; Takes the lock; $0 is 1 when another package holds it. A lock that cannot be made at all (no
; administrator: the folder is theirs alone) is left to the rights check that follows.
Function TakeLock
  StrCpy $0 0
  StrCpy $Lock 0
  ${GetParent} "${INSTALL_FOLDER}" $VendorFolder
  ${IfNot} ${FileExists} "$VendorFolder\*.*"
    ClearErrors
    CreateDirectory "$VendorFolder"
    ${IfNot} ${Errors}
      StrCpy $MadeVendorFolder 1
    ${EndIf}
  ${EndIf}
  System::Call 'kernel32::CreateFileW(w "$VendorFolder\${LOCK_NAME}", i ${GENERIC_WRITE_AND_DELETE}, i 0, p 0, i ${OPEN_ALWAYS}, i ${DELETE_ON_CLOSE}, p 0) p .r1 ?e'
  Pop $2
  ${If} $1 != -1
    StrCpy $Lock $1
  ${ElseIf} $2 = ${ERROR_SHARING_VIOLATION}
    StrCpy $0 1
  ${EndIf}
FunctionEnd

; What every way out does last: the programs' folder goes, the lock is let go (its file with it),
; and the folder above the install folder goes when this run made it and it is empty again.
Function LeaveMachine
  SetOutPath "$TEMP"   ; out of the folders that go
  ${If} $ProgramsDir != ""
    RMDir /r "$ProgramsDir"
  ${EndIf}
  ${If} $Lock != 0
    System::Call 'kernel32::CloseHandle(p $Lock)'
    StrCpy $Lock 0
  ${EndIf}
  ${If} $SelfFile != ""
  ${AndIf} $SelfFile <> -1
    System::Call 'kernel32::CloseHandle(p $SelfFile)'
    StrCpy $SelfFile -1
  ${EndIf}
  ${If} $MadeVendorFolder == 1
    RMDir "$VendorFolder"
    ; After an uninstall whose install folder goes at the restart, the folder goes after it.
    ${If} $Uninstalled == 1
    ${AndIf} ${FileExists} "$VendorFolder\*.*"
      RMDir /REBOOTOK "$VendorFolder"
    ${EndIf}
  ${EndIf}
FunctionEnd

; The log: where /LOG= says, else %TEMP%, except where %TEMP% is the machine's own (as for SYSTEM,
; whose %TEMP% other users may write to): there %WINDIR%\Logs. A /LOG= value that is no usable
; file ends the run with 1639 and a line in the default log that says why.
Var LogFolderMade   ; the topmost folder MakeLogFolder made, "" when it made none

; Makes the folder $3 with every folder above it that is missing, and remembers the topmost it made.
Function MakeLogFolder
  StrCpy $LogFolderMade ""
  StrCpy $4 $3
  ${DoUntil} ${FileExists} "$4\*.*"
    StrCpy $LogFolderMade $4
    ${GetParent} $4 $4
    ${If} $4 == ""
      ${ExitDo}
    ${EndIf}
  ${Loop}
  CreateDirectory $3
FunctionEnd

; Removes the folders MakeLogFolder made for $3, deepest first, while they are empty.
Function RemoveLogFolder
  ${If} $LogFolderMade == ""
    Return
  ${EndIf}
  StrCpy $4 $3
  ${Do}
    RMDir $4
    ${If} $4 == $LogFolderMade
      ${ExitDo}
    ${EndIf}
    ${GetParent} $4 $4
  ${LoopUntil} $4 == ""
FunctionEnd

Function OpenLog
  StrCpy $LogPath "$TEMP\${LOG_NAME}"
  StrLen $0 "$WINDIR\"
  StrCpy $1 "$TEMP\" $0
  ${If} $1 == "$WINDIR\"
    StrCpy $LogPath "$WINDIR\Logs\${LOG_NAME}"
  ${EndIf}
  StrCpy $2 ""
  ${If} $SwitchLogGiven == 1
    Call ResolveLogPath
    StrCpy $2 $R1
    ${If} $R1 == ""
      ; Its folders are made only now that the rest of the value is known good, and go again
      ; when the file cannot be made in them.
      ${GetParent} $R0 $3
      Call MakeLogFolder
      StrCpy $LogWord2 $R0
      Call OpenLogForRecord
      ${If} ${Errors}
        StrCpy $2 "it cannot be written"
        Call RemoveLogFolder
      ${Else}
        StrCpy $LogPath $R0
      ${EndIf}
    ${EndIf}
  ${EndIf}
  ${If} $SwitchLogGiven != 1
  ${OrIf} $2 != ""
    ${GetParent} $LogPath $3
    CreateDirectory $3
    StrCpy $LogWord2 $LogPath
    Call OpenLogForRecord
  ${EndIf}
  StrCpy $EventLogPath $LogPath
  ${If} $2 != ""
    !insertmacro Finish ${EXIT_BAD_COMMAND_LINE} "/LOG=$SwitchLog is not a log file the package can use: $2; stopped"
  ${EndIf}
FunctionEnd

Function .onInit
  System::Call 'kernel32::GetTickCount() i .s'
  Pop $StartTicks
  Call SilenceUnseenScreen
  ; A second package while one runs changes nothing, not even the first one's log, and tells the
  ; deployer to try again later.
  Call TakeLock
  ${If} $0 == 1
    Call ReadSwitches
    Call WriteEarlyRecord
    SetErrorLevel ${EXIT_ANOTHER_RUNNING}
    StrCpy $Ended 1
    ${If} ${Silent}
      Quit
    ${EndIf}
    Return
  ${EndIf}

  Call PutRunInJob
  ; This run's ID, for its kept state: another run's state is never taken for its own.
  System::Call 'ole32::CoCreateGuid(g .s)'
  Pop $RunId
  ${If} $RunId == ""
  ${OrIf} $RunId == "error"
    System::Call 'kernel32::GetCurrentProcessId() i .s'
    Pop $RunId
    StrCpy $RunId "$RunId-$StartTicks"
  ${EndIf}
  ; The package's file as it was started: nobody can rename, replace or write it while it runs.
  System::Call 'kernel32::CreateFileW(w "$EXEPATH", i ${GENERIC_READ}, i ${FILE_SHARE_READ}, p 0, i ${OPEN_EXISTING}, i 0, p 0) p .s'
  Pop $SelfFile
  Call ReadSwitches
  !insertmacro Step OpenLog
  ${If} $JobNote != ""
    !insertmacro LogOnly "the run's programs are not in a job of their own: $JobNote"
  ${EndIf}
  ${If} $ScreenNote != ""
    !insertmacro LogOnly "$ScreenNote"
  ${EndIf}

  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    !insertmacro Finish ${EXIT_ABORTED} "not run as an administrator: stopped"
  ${EndIf}
  ${If} $Lock == 0
    !insertmacro Finish ${EXIT_STEP_FAILED} "the lock $VendorFolder\${LOCK_NAME} could not be taken: stopped"
  ${EndIf}
  ; An install's event, and every later run's, can be read in Event Viewer from now on. A preview
  ; registers nothing, and neither does an uninstall: it removes the registration when it ends
  ; with 0.
  !insertmacro EventSourceMadeFolder
  ${If} $SwitchWhatIf != 1
  ${AndIf} $SwitchUninstall != 1
    Call RegisterEventSource
  ${EndIf}
  ${If} $SwitchesIgnored != ""
    !insertmacro LogOnly "ignored what is no switch of this package:$SwitchesIgnored"
  ${EndIf}

  ; Whole seconds, written plainly: "", "abc", "-1", "07" or more than a day are refused.
  ; Given with no value (an unset variable in a deployment script), it is refused too.
  StrCpy $R3 $SwitchBoxTimeout
  ${If} $SwitchBoxTimeoutGiven != 1
    StrCpy $R3 ${DEFAULT_BOX_TIMEOUT}
  ${EndIf}
  IntOp $R4 $R3 + 0
  ${If} "$R4" != "$R3"
  ${OrIf} $R4 < 0
  ${OrIf} $R4 > ${MAX_BOX_TIMEOUT}
    !insertmacro Finish ${EXIT_BAD_COMMAND_LINE} "/BOXTIMEOUT=$R3 is not a number of seconds from 0 to ${MAX_BOX_TIMEOUT}: stopped"
  ${EndIf}
  ${If} ${Silent}
    StrCpy $WatchOptions "/answer-after=$R4 /limit=${PROGRAM_LIMIT}"
    !insertmacro LogOnly "silent: a box left open is answered after $R4 s (2 s where nobody can see the screen); a program that neither ends nor shows a box for ${PROGRAM_LIMIT} s is ended"
  ${EndIf}

  ${If} $SwitchUninstall == 1
  ${AndIf} $SwitchWhatIf == 1
    !insertmacro Finish ${EXIT_BAD_COMMAND_LINE} "/WHATIF previews an install and cannot be given with /UNINSTALL: stopped"
  ${EndIf}
  ${If} $SwitchUninstall != 1
    !insertmacro Step CheckPlatform
  ${EndIf}

  ; The detection value lives in the 64-bit view on 64-bit Windows, whichever package writes it;
  ; 32-bit Windows ignores the view.
  SetRegView 64
FunctionEnd

!include "${__FILEDIR__}/platform.nsh"

; Makes the programs' folder anew, SYSTEM's and the Administrators' alone, before any program is
; written into it: a folder that inherited %TEMP%'s rights could be written by its other users.
Function MakeProgramsFolder
  ; Runs cut off leave theirs behind; only administrators can have made one here.
  FindFirst $0 $1 "$VendorFolder\${PROGRAMS_NAME} *"
  ${DoWhile} $1 != ""
    RMDir /r "$VendorFolder\$1"
    FindNext $0 $1
  ${Loop}
  FindClose $0
  ; A name of this run's own: Wine may still hold the programs of a run that just ended.
  System::Call 'kernel32::GetCurrentProcessId() i .r0'
  StrCpy $ProgramsDir "$VendorFolder\${PROGRAMS_NAME} $0"
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${ADMIN_ONLY_SDDL}", i 1, *p .r1, p 0) i .r0'
  ${If} $0 = 0
    StrCpy $ProgramsDir ""
    !insertmacro Finish ${EXIT_STEP_FAILED} "The security of the programs' folder could not be made."
  ${EndIf}
  System::Call '*(&l4, p r1, i 0) p .r2'
  System::Call 'kernel32::CreateDirectoryW(w "$ProgramsDir", p r2) i .r3 ?e'
  Pop $4
  System::Free $2
  System::Call 'kernel32::LocalFree(p r1)'
  ${If} $3 = 0
    StrCpy $ProgramsDir ""
    !insertmacro Finish ${EXIT_STEP_FAILED} "The programs' folder $VendorFolder\${PROGRAMS_NAME} could not be made (error $4)."
  ${EndIf}
FunctionEnd

!include "${__FILEDIR__}/transaction.nsh"
!include "${__FILEDIR__}/versions.nsh"
!include "${__FILEDIR__}/uninstall.nsh"
!include "${__FILEDIR__}/preview.nsh"

; The room the install needs on its folder's disk: the driver packages' files and their list, in
; whole clusters (DRIVER_PACKAGE_KB), and the package's own copy. A disk without it ends the run
; here, before anything has changed, saying how much it needs; one that fills while the files are
; written still ends with 5, everything put back.
Function CheckRoom
  StrCpy $0 "${INSTALL_FOLDER}"
  ${IfNot} ${FileExists} "$0\*.*"
    StrCpy $0 $VendorFolder
  ${EndIf}
  StrCpy $RoomNeeded ${DRIVER_PACKAGE_KB}
  ClearErrors
  FileOpen $1 "$EXEPATH" r
  ${IfNot} ${Errors}
    FileSeek $1 0 END $2
    FileClose $1
    IntOp $2 $2 + ${CLUSTER_BYTES_LESS_ONE}
    IntOp $2 $2 / ${CLUSTER_BYTES}
    IntOp $2 $2 * ${CLUSTER_KB}
    IntOp $RoomNeeded $RoomNeeded + $2
  ${EndIf}
  System::Call 'kernel32::GetDiskFreeSpaceExW(w r0, *l .r3, *l .r4, *l .r5) i .r6'
  ${If} $6 = 0
    !insertmacro Log "the free room in $0 could not be read; the install needs $RoomNeeded KB there"
    Return
  ${EndIf}
  System::Int64Op $3 / 1024
  Pop $RoomFree
  System::Int64Op $RoomFree < $RoomNeeded
  Pop $7
  ${If} $7 = 1
    StrCpy $OutcomeKind "room"
    StrCpy $OutcomeWhy "${INSTALL_FOLDER}"
    !insertmacro Finish ${EXIT_STEP_FAILED} "There is not enough room for the driver packages in ${INSTALL_FOLDER}: the install needs $RoomNeeded KB there, and $RoomFree KB are free."
  ${EndIf}
  !insertmacro Log "room in ${INSTALL_FOLDER}: $RoomFree KB free, $RoomNeeded KB needed"
FunctionEnd

Section "Driver steps"
  ; The progress page's line says each step in plain words; the technical lines go to the list.
  SetDetailsPrint listonly
  !insertmacro Say "$(StepPrepare)"
  ; The programs run from a folder of the package's own, never from where it was started.
  !insertmacro Step MakeProgramsFolder
  SetOutPath "$ProgramsDir"
  ClearErrors
  File "${PROGRAM_DIR}/SetupWatch.exe"
  File "${PROGRAM_DIR}/SetupRollback.exe"
  File "${PROGRAM_DIR}/DriverPrep.exe"
  File "${PROGRAM_DIR}/PkgStage.exe"
  !insertmacro PlaceWorkList "$ProgramsDir"
  ${If} ${Errors}
    !insertmacro Finish ${EXIT_STEP_FAILED} "The setup programs could not be unpacked to $ProgramsDir."
  ${EndIf}
  !insertmacro Log "unpacked the setup programs to $ProgramsDir"

  ${If} $SwitchWhatIf == 1
    !insertmacro Step Preview
  ${EndIf}
  Call RepairCutOffRun
  ${If} $SwitchUninstall == 1
    !insertmacro Step Uninstall
  ${EndIf}
  !insertmacro Say "$(StepCheckVersion)"
  !insertmacro Step CheckVersion
  !insertmacro Say "$(StepPlace)"
  !insertmacro Step CheckRoom
  !insertmacro Say "$(StepKeep)"
  !insertmacro Step KeepMachineState

  !insertmacro Say "$(StepDriverPrep)"
  ; DriverPrep and PkgStage end with 0 only after a box that says why: a 0 without one is a
  ; program that was ended from outside, whatever its code says.
  !insertmacro RunProgram "DriverPrep.exe" '"/closes-itself=${NOTICE_TITLE}" /box-before=0'
  ${If} $0 == 0
  ${OrIf} $0 == ${WATCH_ANSWERED}
    !insertmacro Finish ${EXIT_DEVICE_RECORDED} "A Brellan device is still recorded; nothing was installed."
  ${EndIf}
  ${If} $0 == ${WATCH_ANSWERED_WENT_ON}
    !insertmacro Log "DriverPrep could not read an entry of the INF store and went on: a stale copy of the driver may have stayed."
  ${ElseIf} $0 == ${WATCH_ENDED}
  ${OrIf} $0 == ${WATCH_STAYED}
    !insertmacro Finish ${EXIT_STEP_FAILED} "DriverPrep did not end by itself and was ended."
  ${ElseIf} $0 != 1
    !insertmacro Finish ${EXIT_STEP_FAILED} "DriverPrep could not run (result: $0: $ResultMeaning)."
  ${EndIf}

  ; PkgStage reads exactly this folder. It is written out in full: a 32-bit installer's
  ; $PROGRAMFILES is "Program Files (x86)" on 64-bit Windows, and /D= moves only $INSTDIR. The
  ; copy service takes each INF's catalog and source files from beside it. A file that cannot
  ; even be begun ends the run here; one cut short (a full disk) ends it in .onInstFailed.
  !insertmacro Say "$(StepPlace)"
  ClearErrors
  StrCpy $WriteFailed ""
  ; A file that cannot be begun is skipped with the error flag, never asked about: NSIS's own
  ; Abort/Retry/Ignore box could let the run go on without it. CheckWritten notes it.
  SetOverwrite try
  !insertmacro PlaceDriverPackageFiles
  SetOverwrite on
  StrCpy $WritingFile ""
  ${If} $WriteFailed != ""
    StrCpy $OutcomeKind "room"
    StrCpy $OutcomeWhy "${INSTALL_FOLDER}"
    !insertmacro Finish ${EXIT_STEP_FAILED} "The driver packages could not be written to ${INSTALL_FOLDER}: $WriteFailed could not be written (is the disk full? the install needs $RoomNeeded KB there)."
  ${EndIf}
  !insertmacro LogDriverPackageFiles
  !insertmacro Log "placed the ${DRIVER_PACKAGE_COUNT} files of the driver packages in ${INSTALL_FOLDER}"

  ; A box the watch answered leaves the outcome to PkgStage's own exit code: on Windows a driver
  ; publisher's prompt inside PkgStage's process is such a box.
  !insertmacro Say "$(StepStage)"
  FileSeek $LogFile 0 END $RefusalFrom
  !insertmacro RunProgram "PkgStage.exe" "/box-before=0"
  ${If} $0 == ${WATCH_ANSWERED_WENT_ON}
    !insertmacro Log "PkgStage went on after the watch answered its box: both driver packages were staged."
  ${ElseIf} $0 == 0
  ${OrIf} $0 == ${WATCH_ANSWERED}
    Call ReadRefusal
    !insertmacro Finish ${EXIT_COPY_REFUSED} "Windows refused to stage a driver package."
  ${ElseIf} $0 == ${WATCH_ENDED}
  ${OrIf} $0 == ${WATCH_STAYED}
    !insertmacro Finish ${EXIT_STEP_FAILED} "PkgStage did not end by itself and was ended."
  ${ElseIf} $0 != 1
    !insertmacro Finish ${EXIT_STEP_FAILED} "PkgStage could not run (result: $0: $ResultMeaning)."
  ${EndIf}
  ; What PkgStage's success leaves: a copy of each INF file in the store.
  !insertmacro RunHelper SetupRollback.exe `/staged "/work=$ProgramsDir\${WORK_LIST}"`
  ${If} $0 != ${ROLLBACK_DONE}
    !insertmacro ExplainResult SetupRollback.exe
    !insertmacro Finish ${EXIT_STEP_FAILED} "PkgStage said it staged both driver packages, but the INF store lacks one (result: $0: $ResultMeaning; see above): it did not end by itself."
  ${EndIf}

  !insertmacro Say "$(StepRecord)"
  !insertmacro Step PlacePackageCopy

  ; Only a run that ends with 0 records the version: it is what a detection rule trusts. The
  ; value and the entry are written before the commit, so that a run cut off before it puts both
  ; back with the rest.
  ClearErrors
  WriteRegStr HKLM "${DETECTION_KEY}" "${DETECTION_VALUE}" "${VERSION}"
  ${If} ${Errors}
    !insertmacro Finish ${EXIT_STEP_FAILED} "The installed version could not be recorded in HKLM\${DETECTION_KEY}."
  ${EndIf}
  StrCpy $R5 "${VERSION}"
  Call WriteUninstallEntry
  !insertmacro Log "recorded version ${VERSION} in HKLM\${DETECTION_KEY}, and the Apps & features entry"
  ${If} $MadeVendorFolder == 1
    WriteRegStr HKLM "${DETECTION_KEY}" "${MADE_FOLDER_VALUE}" "$VendorFolder"
  ${EndIf}
  ${If} $Upgrade == 1
    !insertmacro Commit "/installed /remove-replaced"
  ${Else}
    !insertmacro Commit "/installed"
  ${EndIf}
  !insertmacro Log "installed (exit code ${EXIT_INSTALLED})"
  !insertmacro LogExit ${EXIT_INSTALLED}
  FileClose $LogFile
  Call LeaveMachine
SectionEnd

; NSIS ends the run by itself only when it cannot write a file it has begun (a full disk): the run
; is rolled back and ends with 5, as any step that could not run, and its log names the file.
Function .onInstFailed
  !insertmacro Log "$WritingFile could not be written whole (is the disk full?)"
  Call RollBackThisRun
  !insertmacro Log "The driver packages could not be written to ${INSTALL_FOLDER}. (exit code ${EXIT_STEP_FAILED})"
  !insertmacro LogExit ${EXIT_STEP_FAILED}
  FileClose $LogFile
  Call LeaveMachine
  SetErrorLevel ${EXIT_STEP_FAILED}
FunctionEnd
