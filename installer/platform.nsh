; The machines the package is for: the platforms its driver packages were built for, and the
; lowest Windows release the product supports. Elsewhere a run ends with 1633 before it changes
; anything.

; The driver packages install only on the platforms the vendor built them for (PACKAGE_PLATFORMS,
; from the build): elsewhere the run ends before it changes anything. The package itself is 32-bit
; and runs on all of them, an ARM64 machine's x86 emulation included.
Function CheckPlatform
  StrCpy $0 x86
  ${If} ${IsNativeARM64}
    StrCpy $0 arm64
  ${ElseIf} ${RunningX64}
    StrCpy $0 amd64
  ${EndIf}
  StrCpy $1 0
  !ifdef CARRIES_x86
    ${If} $0 == x86
      StrCpy $1 1
    ${EndIf}
  !endif
  !ifdef CARRIES_amd64
    ${If} $0 == amd64
      StrCpy $1 1
    ${EndIf}
  !endif
  ${If} $1 != 1
    StrCpy $OutcomeWhy $0
    !insertmacro Finish ${EXIT_WRONG_PLATFORM} "the driver packages are for ${PACKAGE_PLATFORMS}; this machine is $0: stopped"
  ${EndIf}
  !insertmacro LogOnly "the driver packages are for ${PACKAGE_PLATFORMS}; this machine is $0"
  Call CheckWindowsRelease
FunctionEnd

; The product supports Windows LOWEST_WINDOWS and later (the build's BRELLAN_LOWEST_WINDOWS, which
; its catalogs were checked for): on an older Windows the run ends before it changes anything.
; Windows' own version, from RtlGetVersion: no compatibility shim alters it.
!ifndef LOWEST_WINDOWS
  !define LOWEST_WINDOWS 10
!endif
!if "${LOWEST_WINDOWS}" == "7"
  !define LOWEST_NT_VERSION 601
!else if "${LOWEST_WINDOWS}" == "8"
  !define LOWEST_NT_VERSION 602
!else if "${LOWEST_WINDOWS}" == "8.1"
  !define LOWEST_NT_VERSION 603
!else if "${LOWEST_WINDOWS}" == "10"
  !define LOWEST_NT_VERSION 1000
!else if "${LOWEST_WINDOWS}" == "11"
  !define LOWEST_NT_VERSION 1000
  !define LOWEST_NT_BUILD 22000
!else
  !error "LOWEST_WINDOWS=${LOWEST_WINDOWS} (BRELLAN_LOWEST_WINDOWS): name 7, 8, 8.1, 10 or 11"
!endif
!ifndef LOWEST_NT_BUILD
  !define LOWEST_NT_BUILD 0
!endif
Function CheckWindowsRelease
  System::Call '*(i ${OSVERSIONINFOW_BYTES}, &i272) p .s'
  Pop $2
  System::Call 'ntdll::RtlGetVersion(p $2)'
  System::Call '*$2(i, i .r3, i .r4, i .r5)'
  System::Free $2
  IntOp $6 $3 * 100
  IntOp $6 $6 + $4
  StrCpy $7 0
  ${If} $6 < ${LOWEST_NT_VERSION}
    StrCpy $7 1
  ${EndIf}
  ${If} $6 == ${LOWEST_NT_VERSION}
  ${AndIf} $5 < ${LOWEST_NT_BUILD}
    StrCpy $7 1
  ${EndIf}
  ${If} $7 == 1
    StrCpy $OutcomeKind "release"
    StrCpy $OutcomeWhy "$3.$4 (build $5)"
    !insertmacro Finish ${EXIT_WRONG_PLATFORM} "the product supports Windows ${LOWEST_WINDOWS} and later; this machine runs Windows $3.$4 build $5: stopped"
  ${EndIf}
  !insertmacro LogOnly "the product supports Windows ${LOWEST_WINDOWS} and later; this machine runs Windows $3.$4 build $5"
FunctionEnd
