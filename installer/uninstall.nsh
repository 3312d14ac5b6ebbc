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

; The copy of the package the entry runs, in the install folder (unless this run is that copy).
Function PlacePackageCopy
  ${If} $EXEPATH != "${INSTALL_FOLDER}\${PACKAGE_NAME}"
    ClearErrors
    CopyFiles /SILENT "$EXEPATH" "${INSTALL_FOLDER}\${PACKAGE_NAME}"
    ${If} ${Errors}
      !insertmacro Finish ${EXIT_STEP_FAILED} "The uninstaller could not be written to ${INSTALL_FOLDER}."
    ${EndIf}
  ${EndIf}
FunctionEnd

; Deletes `path`; a file in use (the uninstaller running from the install folder) goes at the
; next restart, and the log says so.
!macro RemoveOrScheduleFile path
  Delete "${path}"
  ${If} ${FileExists} "${path}"
    Delete /REBOOTOK "${path}"
    !insertmacro Log "${path} is in use: it will be removed at the next restart"
  ${EndIf}
!macroend

Function Uninstall
  ClearErrors
  ReadRegStr $R0 HKLM "${DETECTION_KEY}" "${DETECTION_VALUE}"
  ${If} ${Errors}
    ClearErrors
    ReadRegStr $R1 HKLM "${UNINSTALL_KEY}" "UninstallString"
    ${If} ${Errors}
    ${AndIfNot} ${FileExists} "${INSTALL_FOLDER}\*.*"
      !insertmacro Finish ${EXIT_INSTALLED} "Brellan Flashwright is not installed: there was nothing to remove."
    ${EndIf}
  ${EndIf}
  !insertmacro Log "uninstalling Brellan Flashwright $R0"
  Call KeepMachineState

  ; Every copy of the product's driver packages in the INF store, and every copy naming the device.
  !insertmacro RunHelper SetupRollback.exe "/remove-copies"
  ${If} $0 == ${ROLLBACK_IN_USE}
    !insertmacro Finish ${EXIT_DEVICE_RECORDED} "A Brellan device uses the driver: uninstall the device (Device Manager), then run the uninstall again. Nothing was removed."
  ${ElseIf} $0 != ${ROLLBACK_DONE}
    !insertmacro Finish ${EXIT_STEP_FAILED} "The driver's copies could not be removed from the INF store (result: $0)."
  ${EndIf}

  !insertmacro RemoveDriverPackageFiles
  !insertmacro RemoveOrScheduleFile "${INSTALL_FOLDER}\${PACKAGE_NAME}"
  RMDir "${INSTALL_FOLDER}"
  ${If} ${FileExists} "${INSTALL_FOLDER}\*.*"
    RMDir /REBOOTOK "${INSTALL_FOLDER}"
    !insertmacro Log "${INSTALL_FOLDER} will be removed at the next restart"
  ${EndIf}
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegValue HKLM "${DETECTION_KEY}" "${DETECTION_VALUE}"
  DeleteRegKey /ifempty HKLM "${DETECTION_KEY}"
  !insertmacro Log "removed the Apps & features entry and the recorded version"
  !insertmacro Commit ""
  !insertmacro Finish ${EXIT_INSTALLED} "Brellan Flashwright was removed."
FunctionEnd
