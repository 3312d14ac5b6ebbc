; The uninstall: BrellanFlashwrightSetup.exe /UNINSTALL [/S], the package a deployment tool
; installed from or its copy in the install folder that the Apps & features entry runs. It runs in
; this process and ends only when the removal is over, with its exit code:
;   0 removed, or nothing was installed; 3 a device uses the driver (nothing was removed);
;   5 a step could not run (what was removed is put back); 1618 another package is running.
; It keeps what it removes first, as an install does, and finds every copy a device uses before it
; removes any; the entry and the detection value go before its commit, so that a removal cut off
; is put back whole by the next run.

; The Apps & features entry, for the version in $R5 (in the registry's 64-bit view, as the
; detection value).
Function WriteUninstallEntry
  ${GetSize} "${INSTALL_FOLDER}" "/S=0K" $R6 $R7 $R8
  ; GetSize says its count above the progress bar, and leaves the line and the list both on.
  !insertmacro Say "$CurrentStep"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${DISPLAY_NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "$R5"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "${INSTALL_FOLDER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"${INSTALL_FOLDER}\${PACKAGE_NAME}" /UNINSTALL'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"${INSTALL_FOLDER}\${PACKAGE_NAME}" /UNINSTALL /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $R6
FunctionEnd

; The copy of the package the entry runs, in the install folder (unless this run is that copy),
; written from the package's own file as it was opened when the run began ($SelfFile, held
; without write or delete sharing): a rename or a write in the folder it was started from cannot
; change what the entry will later run, elevated. The copy must hold every byte of it.
Function PlacePackageCopy
  ${If} $EXEPATH == "${INSTALL_FOLDER}\${PACKAGE_NAME}"
    Return
  ${EndIf}
  StrCpy $R6 0   ; bytes written
  System::Call 'kernel32::GetFileSize(p $SelfFile, p 0) i .R7'
  System::Call 'kernel32::SetFilePointer(p $SelfFile, i 0, p 0, i 0) i .r0'
  System::Call 'kernel32::CreateFileW(w "${INSTALL_FOLDER}\${PACKAGE_NAME}", i ${GENERIC_WRITE}, i 0, p 0, i ${CREATE_ALWAYS}, i ${FILE_ATTRIBUTE_NORMAL}, p 0) p .r1'
  ${If} $1 = -1
  ${OrIf} $SelfFile = -1
    !insertmacro Finish ${EXIT_STEP_FAILED} "The uninstaller could not be written to ${INSTALL_FOLDER}."
  ${EndIf}
  System::Alloc ${COPY_CHUNK_BYTES}
  Pop $2
  ${Do}
    System::Call 'kernel32::ReadFile(p $SelfFile, p r2, i ${COPY_CHUNK_BYTES}, *i .r3, p 0) i .r4'
    ${If} $4 = 0
    ${OrIf} $3 = 0
      ${ExitDo}
    ${EndIf}
    System::Call 'kernel32::WriteFile(p r1, p r2, i r3, *i .r5, p 0) i .r4'
    ${If} $4 = 0
    ${OrIf} $5 <> $3
      ${ExitDo}
    ${EndIf}
    IntOp $R6 $R6 + $5
  ${Loop}
  System::Free $2
  System::Call 'kernel32::FlushFileBuffers(p r1) i .r4'
  System::Call 'kernel32::CloseHandle(p r1)'
  ${If} $R6 <> $R7
  ${OrIf} $4 = 0
    Delete "${INSTALL_FOLDER}\${PACKAGE_NAME}"
    !insertmacro Finish ${EXIT_STEP_FAILED} "The uninstaller could not be written whole to ${INSTALL_FOLDER} ($R6 of $R7 bytes)."
  ${EndIf}
  !insertmacro Log "placed the uninstaller ${INSTALL_FOLDER}\${PACKAGE_NAME}"
FunctionEnd

Function Uninstall
  ; Installed means recorded: a detection value or an entry. A folder left for the restart to
  ; remove is not an installed product, and with nothing installed nothing changes.
  ClearErrors
  ReadRegStr $R0 HKLM "${DETECTION_KEY}" "${DETECTION_VALUE}"
  ${If} ${Errors}
    ClearErrors
    ReadRegStr $R1 HKLM "${UNINSTALL_KEY}" "UninstallString"
    ${If} ${Errors}
      StrCpy $OutcomeKind "none"
      !insertmacro Finish ${EXIT_INSTALLED} "Brellan Flashwright is not installed: there was nothing to remove."
    ${EndIf}
  ${EndIf}
  !insertmacro Log "uninstalling Brellan Flashwright $R0"
  ; The folder above the install folder goes too when an install made it.
  ReadRegStr $R2 HKLM "${DETECTION_KEY}" "${MADE_FOLDER_VALUE}"
  ${If} $R2 == $VendorFolder
    StrCpy $MadeVendorFolder 1
  ${EndIf}
  !insertmacro Say "$(StepKeep)"
  ; What the installed version placed, by its own list (this package's, where it left none).
  ${If} ${FileExists} "${INSTALL_FOLDER}\${WORK_LIST}"
    !insertmacro Step KeepInstalledState
  ${Else}
    !insertmacro Step KeepMachineState
  ${EndIf}

  ; Every copy of the product's driver packages in the INF store, and every copy naming the device.
  !insertmacro Say "$(StepRemoveDriver)"
  !insertmacro RunHelper SetupRollback.exe "/remove-copies"
  ${If} $0 == ${ROLLBACK_IN_USE}
    !insertmacro Finish ${EXIT_DEVICE_RECORDED} "A Brellan device uses the driver: uninstall the device (Device Manager), then run the uninstall again. Nothing was removed."
  ${ElseIf} $0 != ${ROLLBACK_DONE}
    !insertmacro ExplainResult SetupRollback.exe
    !insertmacro Finish ${EXIT_STEP_FAILED} "The driver's copies could not be removed from the INF store (result: $0: $ResultMeaning)."
  ${EndIf}

  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegValue HKLM "${DETECTION_KEY}" "${DETECTION_VALUE}"
  DeleteRegValue HKLM "${DETECTION_KEY}" "${MADE_FOLDER_VALUE}"
  DeleteRegKey /ifempty HKLM "${DETECTION_KEY}"
  !insertmacro Log "removed the Apps & features entry and the recorded version"
  ; The files the list names, their folders deepest first, and the install folder; the
  ; uninstaller running from there, and its folder, at the next restart.
  !insertmacro Say "$(StepRemoveFiles)"
  !insertmacro RunHelper SetupRollback.exe "/remove-files"
  ${If} $0 != ${ROLLBACK_DONE}
    !insertmacro ExplainResult SetupRollback.exe
    !insertmacro Finish ${EXIT_STEP_FAILED} "The install folder's files could not be removed (result: $0: $ResultMeaning)."
  ${EndIf}
  StrCpy $Uninstalled 1
  !insertmacro Commit ""
  !insertmacro Finish ${EXIT_INSTALLED} "Brellan Flashwright was removed."
FunctionEnd
