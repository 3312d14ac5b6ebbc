; The Brellan Flashwright driver steps as a setup package. It runs DriverPrep, places the product's
; two INF files in the folder PkgStage reads, runs PkgStage, and ends with an exit code that says
; how far it got:
;   0 installed; 3 a Brellan device is still recorded; 4 the copy service refused an INF;
;   5 a step could not run (a program not started or ending with another code, a file not written).
;   1 and 2 stay NSIS's own: cancelled by the user, aborted (also: not run as an administrator).
; It keeps a short log of its steps in the user's temporary folder.
;
; Built by CMake (installer/CMakeLists.txt) as
;   makensis -DTARGET=x86-unicode|amd64-unicode -DVERSION=1.0.0 -DPROGRAM_DIR=<DriverPrep.exe,
;            PkgStage.exe> -DINF_DIR=<flashwright.inf, brellan.inf> -DOUTFILE=<setup.exe> this.nsi

Unicode true
Target ${TARGET}
!include LogicLib.nsh

; The install folder and the INF names, from the header PkgStage is built with.
!define LAYOUT "${__FILEDIR__}/../common/install_layout.h"
!searchparse /file "${LAYOUT}" `kInstallFolder[] = L"` INSTALL_FOLDER_ESCAPED `";`
!searchreplace INSTALL_FOLDER "${INSTALL_FOLDER_ESCAPED}" "\\" "\"
!searchparse /file "${LAYOUT}" `kToolInfName[] = L"` TOOL_INF `";`
!searchparse /file "${LAYOUT}" `kDeviceInfName[] = L"` DEVICE_INF `";`

!define EXIT_INSTALLED 0
!define EXIT_ABORTED 2
!define EXIT_DEVICE_RECORDED 3
!define EXIT_COPY_REFUSED 4
!define EXIT_STEP_FAILED 5
!define LOG_NAME "BrellanFlashwrightSetup.log"

Name "Brellan Flashwright"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
; No build time in the package: the same sources give the same bytes.
SetDateSave off
SetOverwrite on
ShowInstDetails show
AutoCloseWindow true

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=0 "CompanyName" "Quillmere"
VIAddVersionKey /LANG=0 "ProductName" "Brellan Flashwright Installer"
VIAddVersionKey /LANG=0 "FileDescription" "Brellan Flashwright setup"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "LegalCopyright" "Quillmere"

Page instfiles

Var LogFile

!macro Log text
  DetailPrint "${text}"
  FileWrite $LogFile "${text}$\r$\n"
!macroend

; Logs the outcome, tells the user when no program has, and ends the installer with `code`.
!macro Finish code text
  !insertmacro Log "${text} (exit code ${code})"
  FileClose $LogFile
  SetOutPath "$TEMP"   ; out of $PLUGINSDIR, which NSIS removes on the way out
  !if ${code} == ${EXIT_STEP_FAILED}
    MessageBox MB_OK|MB_ICONSTOP "${text}" /SD IDOK
  !endif
  SetErrorLevel ${code}
  Quit
!macroend

; Runs one of the programs from the installer's own temporary folder and leaves its exit code in
; $0, or "none" when it could not be started (ExecWait then sets the error flag, and $0 holds
; nothing that means anything: read as a number it would be 0).
!macro RunProgram exe
  SetOutPath "$PLUGINSDIR"
  ClearErrors
  ExecWait '"$PLUGINSDIR\${exe}"' $0
  ${If} ${Errors}
    StrCpy $0 "none"
  ${EndIf}
  !insertmacro Log "${exe} ended with $0"
!macroend

Function .onInit
  ClearErrors
  FileOpen $LogFile "$TEMP\${LOG_NAME}" w
  FileWrite $LogFile "Brellan Flashwright setup ${VERSION}$\r$\n"
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    FileWrite $LogFile "not run as an administrator: stopped (exit code ${EXIT_ABORTED})$\r$\n"
    FileClose $LogFile
    MessageBox MB_OK|MB_ICONSTOP "Brellan Flashwright setup needs administrator rights." /SD IDOK
    SetErrorLevel ${EXIT_ABORTED}
    Quit
  ${EndIf}
FunctionEnd

Section "Driver steps"
  ; The programs run from a folder of the installer's own, never from where it was started.
  InitPluginsDir
  SetOutPath "$PLUGINSDIR"
  ClearErrors
  File "${PROGRAM_DIR}/DriverPrep.exe"
  File "${PROGRAM_DIR}/PkgStage.exe"
  ${If} ${Errors}
    !insertmacro Finish ${EXIT_STEP_FAILED} "The setup programs could not be unpacked to $PLUGINSDIR."
  ${EndIf}

  !insertmacro RunProgram "DriverPrep.exe"
  ${If} $0 == "0"
    !insertmacro Finish ${EXIT_DEVICE_RECORDED} "A Brellan device is still recorded; nothing was installed."
  ${ElseIf} $0 != "1"
    !insertmacro Finish ${EXIT_STEP_FAILED} "DriverPrep could not run (result: $0)."
  ${EndIf}

  ; PkgStage reads exactly this folder. It is written out in full: a 32-bit installer's
  ; $PROGRAMFILES is "Program Files (x86)" on 64-bit Windows, and /D= moves only $INSTDIR.
  ClearErrors
  SetOutPath "${INSTALL_FOLDER}"
  File "/oname=${TOOL_INF}" "${INF_DIR}/${TOOL_INF}"
  File "/oname=${DEVICE_INF}" "${INF_DIR}/${DEVICE_INF}"
  ${If} ${Errors}
    !insertmacro Finish ${EXIT_STEP_FAILED} "The INF files could not be written to ${INSTALL_FOLDER}."
  ${EndIf}
  !insertmacro Log "placed ${TOOL_INF} and ${DEVICE_INF} in ${INSTALL_FOLDER}"

  !insertmacro RunProgram "PkgStage.exe"
  ${If} $0 == "0"
    !insertmacro Finish ${EXIT_COPY_REFUSED} "Windows refused to stage a driver package."
  ${ElseIf} $0 != "1"
    !insertmacro Finish ${EXIT_STEP_FAILED} "PkgStage could not run (result: $0)."
  ${EndIf}

  !insertmacro Log "installed (exit code ${EXIT_INSTALLED})"
  FileClose $LogFile
  SetOutPath "$TEMP"
SectionEnd
