; The version rules: a package older than the version the detection value records changes nothing
; and ends with 1638 (Windows Installer's "another version of this product is already
; installed"); the same version installs again (a repair); a newer one upgrades, and once it has
; committed removes the copies of the earlier version's INF files that it does not carry.
; Versions compare numerically, part by part (1.10.0 is newer than 1.9.2).

Var Upgrade   ; 1 when this run replaces an earlier version

Function CheckVersion
  StrCpy $Upgrade 0
  ClearErrors
  ReadRegStr $R0 HKLM "${DETECTION_KEY}" "${DETECTION_VALUE}"
  ${IfNot} ${Errors}
    ${VersionCompare} "${VERSION}" "$R0" $R1
    ${If} $R1 == 2
      StrCpy $OutcomeVersion $R0
      !insertmacro Finish ${EXIT_NEWER_INSTALLED} "Version $R0 of Brellan Flashwright is installed, newer than this package's ${VERSION}; nothing was changed."
    ${ElseIf} $R1 == 1
      StrCpy $Upgrade 1
      ${If} $SwitchWhatIf == 1
        !insertmacro Log "version $R0 is installed: a run would upgrade it to ${VERSION}"
      ${Else}
        !insertmacro Log "upgrading version $R0 to ${VERSION}"
      ${EndIf}
    ${ElseIf} $SwitchWhatIf == 1
      !insertmacro Log "version ${VERSION} is installed already: a run would install it again (a repair)"
    ${Else}
      !insertmacro Log "version ${VERSION} is installed already: installing it again (a repair)"
    ${EndIf}
  ${ElseIf} $SwitchWhatIf == 1
    !insertmacro Log "no version is installed: a run would install ${VERSION}"
  ${EndIf}
FunctionEnd

