; The wizard the person at the keyboard sees (Modern UI 2): a welcome page that says what the run
; will do, a progress page whose line above the bar says each step in plain words (the log and the
; details list behind "Show details" keep the technical lines), and a finish page that says what
; happened and what to do next (outcome.nsh decides its words with the log's and the event's). An
; uninstall, /UNINSTALL without /S from Apps & features, shows the same three pages in its own words.
; A run that ends before its work begins (another run holds the lock, no administrator, not for
; this machine, a switch not valid) shows only the finish page. With /S no page shows.
;
; The texts are in the user's Windows display language where the package carries it (NSIS picks
; it, else the first language inserted: English); the product's own sentences are in lang/, one
; file a language.

!include MUI2.nsh

Var WelcomeTitle
Var WelcomeText
Var ProgressTitle
Var ProgressSubtitle

!define MUI_ICON "${__FILEDIR__}/art/setup.ico"
!define MUI_WELCOMEFINISHPAGE_BITMAP "${__FILEDIR__}/art/wizard.bmp"
!define MUI_CUSTOMFUNCTION_ABORT WizardCancelled

!define MUI_PAGE_CUSTOMFUNCTION_PRE WelcomePre
!define MUI_PAGE_CUSTOMFUNCTION_SHOW WelcomeShow
!define MUI_WELCOMEPAGE_TITLE "$WelcomeTitle"
!define MUI_WELCOMEPAGE_TITLE_3LINES
!define MUI_WELCOMEPAGE_TEXT "$WelcomeText"
!insertmacro MUI_PAGE_WELCOME

!define MUI_PAGE_CUSTOMFUNCTION_PRE ProgressPre
!define MUI_PAGE_CUSTOMFUNCTION_SHOW ProgressShow
!define MUI_PAGE_HEADER_TEXT "$ProgressTitle"
!define MUI_PAGE_HEADER_SUBTEXT "$ProgressSubtitle"
; Shown only when a run that failed leaves the page open, so that its details can be read.
!define MUI_INSTFILESPAGE_FINISHHEADER_TEXT "$PageTitle"
!define MUI_INSTFILESPAGE_FINISHHEADER_SUBTEXT "$(ProgressEndedSubtitle)"
!insertmacro MUI_PAGE_INSTFILES

!define MUI_PAGE_CUSTOMFUNCTION_SHOW FinishShow
!define MUI_FINISHPAGE_TITLE "$PageTitle"
!define MUI_FINISHPAGE_TITLE_3LINES
!define MUI_FINISHPAGE_TEXT "$PageText"
!define MUI_FINISHPAGE_LINK "$PageLinkText"
!define MUI_FINISHPAGE_LINK_LOCATION "$PageLinkTarget"
; A file an uninstall leaves for the restart is said in its own words; the page asks no question.
!define MUI_FINISHPAGE_NOREBOOTSUPPORT
!insertmacro MUI_PAGE_FINISH

; NSIS's own translations of the uninstall's progress header, loaded without an uninstaller of
; NSIS's kind (the package uninstalls itself, with /UNINSTALL).
!define MUI_UNINSTFILESPAGE
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "German"
!insertmacro MUI_LANGUAGE "French"
!insertmacro MUI_LANGUAGE "Spanish"
!insertmacro MUI_LANGUAGE "Japanese"
!insertmacro MUI_LANGUAGE "SimpChinese"
!include "${__FILEDIR__}/lang/English.nsh"
!include "${__FILEDIR__}/lang/German.nsh"
!include "${__FILEDIR__}/lang/French.nsh"
!include "${__FILEDIR__}/lang/Spanish.nsh"
!include "${__FILEDIR__}/lang/Japanese.nsh"
!include "${__FILEDIR__}/lang/SimpChinese.nsh"

; On a window station nobody can see (a deployment service's, given no /S), nobody can press
; Install or Finish: the run goes on as under /S, and says so in its log. When the flags cannot be
; read, a person may be there, and the pages show.
!define UOI_FLAGS 1
!define WSF_VISIBLE 1
Var ScreenNote
Function SilenceUnseenScreen
  StrCpy $ScreenNote ""
  ${If} ${Silent}
    Return
  ${EndIf}
  System::Call 'user32::GetProcessWindowStation() p .r0'
  System::Call '*(i 0, i 0, i 0) p .r1'
  System::Call 'user32::GetUserObjectInformationW(p r0, i ${UOI_FLAGS}, p r1, i 12, *i .r2) i .r3'
  System::Call '*$1(i, i, i .r4)'
  System::Free $1
  ${If} $3 <> 0
    IntOp $4 $4 & ${WSF_VISIBLE}
    ${If} $4 = 0
      SetSilent silent
      StrCpy $ScreenNote "nobody can see this screen (its window station is not visible): the run goes on as with /S"
    ${EndIf}
  ${EndIf}
FunctionEnd

; An uninstall's window says so in its caption, which NSIS sets again on every page.
!macro NameWizard
  ${If} $SwitchUninstall == 1
    SendMessage $HWNDPARENT ${WM_SETTEXT} 0 "STR:$(^UninstallCaption)"
  ${EndIf}
!macroend

Function WelcomePre
  ${If} $Ended == 1
    Abort
  ${EndIf}
  StrCpy $WelcomeTitle "$(MUI_TEXT_WELCOME_INFO_TITLE)"
  StrCpy $WelcomeText "$(WelcomeText)"
  ${If} $SwitchUninstall == 1
    StrCpy $WelcomeTitle "$(^UninstallCaption)"
    StrCpy $WelcomeText "$(WelcomeUninstallText)"
  ${ElseIf} $SwitchWhatIf == 1
    StrCpy $WelcomeText "$(WelcomePreviewText)"
  ${EndIf}
FunctionEnd

; The welcome's button names what it starts.
Function WelcomeShow
  !insertmacro NameWizard
  GetDlgItem $0 $HWNDPARENT 1
  ${If} $SwitchUninstall == 1
    SendMessage $0 ${WM_SETTEXT} 0 "STR:$(^UninstallBtn)"
  ${ElseIf} $SwitchWhatIf != 1
    SendMessage $0 ${WM_SETTEXT} 0 "STR:$(^InstallBtn)"
  ${EndIf}
FunctionEnd

Function ProgressPre
  ${If} $Ended == 1
    Abort
  ${EndIf}
  StrCpy $ProgressTitle "$(MUI_TEXT_INSTALLING_TITLE)"
  StrCpy $ProgressSubtitle "$(MUI_TEXT_INSTALLING_SUBTITLE)"
  ${If} $SwitchUninstall == 1
    StrCpy $ProgressTitle "$(MUI_UNTEXT_UNINSTALLING_TITLE)"
    StrCpy $ProgressSubtitle "$(MUI_UNTEXT_UNINSTALLING_SUBTITLE)"
  ${EndIf}
FunctionEnd

Function ProgressShow
  !insertmacro NameWizard
FunctionEnd

Function FinishShow
  !insertmacro NameWizard
  ${If} $PageLinkText == ""
    ShowWindow $mui.FinishPage.Link ${SW_HIDE}
  ${EndIf}
FunctionEnd

; Cancel, on the welcome page: nothing has changed yet. The run's record and event say so.
Function WizardCancelled
  ${If} $Ended != 1
    StrCpy $FinishText "cancelled by the user before the run changed anything."
    StrCpy $OutcomeCode ${EXIT_CANCELLED}
    Call EndRun
  ${EndIf}
FunctionEnd
