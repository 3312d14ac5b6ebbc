; The package's command line, read the way Windows splits one: white space ends a switch outside
; double quotes; a double quote opens or closes a quoted part, anywhere in a switch, and is
; dropped ("/LOG=C:\a b\x.log" and /LOG="C:\a b\x.log" are the same); an apostrophe is an ordinary
; character. Switch names take any case (/s is /S). Of a switch given twice the last counts; a
; switch the package does not know is logged and otherwise ignored. /D= (NSIS's own, unquoted, to
; the end of the line) ends the reading.
;
; After ReadSwitches: $SwitchLog (the /LOG= value, its quote left open when $SwitchLogOpen is 1),
; $SwitchLogGiven, $SwitchBoxTimeout and $SwitchBoxTimeoutGiven, $SwitchUninstall (1 for /UNINSTALL),
; $SwitchWhatIf (1 for /WHATIF), $SwitchesIgnored; /S makes the run silent.

Var SwitchLog
Var SwitchLogOpen
Var SwitchLogGiven
Var SwitchBoxTimeout
Var SwitchBoxTimeoutGiven
Var SwitchesIgnored
Var SwitchUninstall
Var SwitchWhatIf
Var StartFolder      ; the working folder the package was started in

; One switch, in $R3; $R4 is 1 when its quote was left open.
Function TakeSwitch
  StrCpy $R8 $R3 5
  StrCpy $R9 $R3 12
  ${If} $R3 == "/S"
    SetSilent silent
  ${ElseIf} $R8 == "/LOG="
    StrCpy $SwitchLog $R3 "" 5
    StrCpy $SwitchLogOpen $R4
    StrCpy $SwitchLogGiven 1
  ${ElseIf} $R9 == "/BOXTIMEOUT="
    StrCpy $SwitchBoxTimeout $R3 "" 12
    StrCpy $SwitchBoxTimeoutGiven 1
  ${ElseIf} $R3 == "/UNINSTALL"
    StrCpy $SwitchUninstall 1
  ${ElseIf} $R3 == "/WHATIF"
    StrCpy $SwitchWhatIf 1
  ${ElseIf} $R3 != "/NCRC"
    StrCpy $SwitchesIgnored "$SwitchesIgnored $R3"
  ${EndIf}
FunctionEnd

Function ReadSwitches
  System::Call 'kernel32::GetCurrentDirectoryW(i ${NSIS_MAX_STRLEN}, w .r0)'
  StrCpy $StartFolder $0
  ${GetParameters} $R0
  StrLen $R1 $R0
  StrCpy $R2 0     ; where in the line
  StrCpy $R3 ""    ; the switch so far
  StrCpy $R4 0     ; 1 inside quotes
  StrCpy $R5 0     ; 1 once the switch has begun (a lone "" is a switch too)
  ${DoWhile} $R2 <= $R1
    StrCpy $R6 $R0 1 $R2
    StrCpy $R7 0   ; 1 where the switch ends: the line's end, or white space outside quotes
    ${If} $R6 == ""
      StrCpy $R7 1
    ${ElseIf} $R4 == 0
      ${If} $R6 == " "
      ${OrIf} $R6 == "$\t"
        StrCpy $R7 1
      ${EndIf}
    ${EndIf}
    ${If} $R6 == '"'
      IntOp $R4 1 - $R4
      StrCpy $R5 1
    ${ElseIf} $R7 == 1
      ${If} $R5 == 1
        StrCpy $R7 $R3 3
        ${If} $R7 == "/D="
          ${ExitDo}
        ${EndIf}
        Call TakeSwitch
      ${EndIf}
      StrCpy $R3 ""
      StrCpy $R5 0
    ${Else}
      StrCpy $R3 "$R3$R6"
      StrCpy $R5 1
    ${EndIf}
    IntOp $R2 $R2 + 1
  ${Loop}
FunctionEnd

; The /LOG= value as a full path in $R0, or "" with why not in $R1: a quote left open, an empty
; name, a folder, a character no file name may hold, a drive without a folder, a device's name, or
; a path longer than Windows' paths (and the helpers' log option) hold. Forward slashes
; are backslashes; a relative path is taken from the folder the package was started in.
Function ResolveLogPath
  StrCpy $R1 ""
  ${WordReplace} $SwitchLog "/" "\" "+" $R0
  StrCpy $R2 $R0 1 -1
  StrCpy $R3 $R0 1 1
  StrCpy $R4 $R0 2
  ${If} $SwitchLogOpen == 1
    StrCpy $R1 "its quote is left open"
  ${ElseIf} $R0 == ""
    StrCpy $R1 "the name is empty"
  ${ElseIf} $R2 == "\"
    StrCpy $R1 "it names a folder, not a file"
  ${ElseIf} $R3 == ":"
    StrCpy $R5 $R0 1 2
    ${If} $R5 != "\"
      StrCpy $R1 "it names a drive without a folder"
    ${EndIf}
  ${ElseIf} $R4 != "\\"
    StrCpy $R5 $R0 1
    ${If} $R5 == "\"
      StrCpy $R5 $StartFolder 2
      StrCpy $R0 "$R5$R0"
    ${Else}
      StrCpy $R0 "$StartFolder\$R0"
    ${EndIf}
  ${EndIf}
  ${If} $R1 == ""
    ; No file name holds these; a colon only after the drive letter.
    StrLen $R5 $R0
    StrCpy $R6 2
    ${DoWhile} $R6 < $R5
      StrCpy $R7 $R0 1 $R6
      ${If} $R7 == ":"
      ${OrIf} $R7 == "*"
      ${OrIf} $R7 == "?"
      ${OrIf} $R7 == "<"
      ${OrIf} $R7 == ">"
      ${OrIf} $R7 == "|"
      ${OrIf} $R7 == '"'
        StrCpy $R1 "no file name may hold the character $R7"
        ${ExitDo}
      ${EndIf}
      IntOp $R6 $R6 + 1
    ${Loop}
  ${EndIf}
  ${If} $R1 == ""
  ${AndIf} ${FileExists} "$R0\*.*"
    StrCpy $R1 "it names a folder, not a file"
  ${EndIf}
  ${If} $R1 == ""
    Call CheckDeviceName
  ${EndIf}
  StrLen $R5 $R0
  ${If} $R1 == ""
  ${AndIf} $R5 > ${MAX_LOG_CHARS}
    StrCpy $R1 "its path is longer than ${MAX_LOG_CHARS} characters (MAX_PATH)"
  ${EndIf}
  ${If} $R1 != ""
    StrCpy $R0 ""
  ${EndIf}
FunctionEnd

; Sets $R1 when the file name of $R0 is a device's (NUL, CON, AUX, PRN, COM1 to COM9, LPT1 to LPT9),
; alone or with an extension, in any case: Windows opens the device there, and no log is written.
Function CheckDeviceName
  ${GetFileName} $R0 $R5
  StrCpy $R6 $R5   ; the name before its first dot
  StrLen $R9 $R5
  StrCpy $R7 0
  ${DoWhile} $R7 < $R9
    StrCpy $R8 $R5 1 $R7
    ${If} $R8 == "."
      StrCpy $R6 $R5 $R7
      ${ExitDo}
    ${EndIf}
    IntOp $R7 $R7 + 1
  ${Loop}
  StrCpy $R7 $R6 3
  StrCpy $R8 $R6 1 3
  StrLen $R9 $R6
  ${If} $R6 == "NUL"
  ${OrIf} $R6 == "CON"
  ${OrIf} $R6 == "AUX"
  ${OrIf} $R6 == "PRN"
    StrCpy $R1 "it names the device $R6, not a file"
  ${ElseIf} $R9 == 4
    ${If} $R7 == "COM"
    ${OrIf} $R7 == "LPT"
      ${If} $R8 >= 1
      ${AndIf} $R8 <= 9
        StrCpy $R1 "it names the device $R6, not a file"
      ${EndIf}
    ${EndIf}
  ${EndIf}
FunctionEnd
