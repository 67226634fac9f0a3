; SPDX-License-Identifier: Zlib
; The NSIS side of bench/installers: patches copies of one input file in the
; folder given with /D=, once with kivsubst and once the way installer
; authors write it by hand (FileRead line by line, StrRep on each line, a
; temporary file, Delete and Rename), and logs each way's milliseconds.
Unicode true
!include "StrFunc.nsh"
${StrRep}
!include "..\..\integrations\nsis\kiv.nsh"

Name "kiv bench"
OutFile "${OUTFILE}"
RequestExecutionLevel user
SilentInstall silent

!define PATTERN "${BENCH_PATTERN}"
!define REPLACEMENT "${BENCH_REPLACEMENT}"

Var Started
Var Log
Var Result

!macro Time WAY
  System::Call "kernel32::GetTickCount() i .s"
  Pop $0
  IntOp $0 $0 - $Started
  FileWrite $Log "${WAY} $0 $Result$\r$\n"
!macroend

!macro Start
  System::Call "kernel32::GetTickCount() i .s"
  Pop $Started
!macroend

Function HandWritten
  FileOpen $R0 "$INSTDIR\hand.txt" r
  FileOpen $R1 "$INSTDIR\hand.tmp" w
  loop:
    ClearErrors
    FileRead $R0 $R2
    IfErrors done
    ${StrRep} $R2 $R2 "${PATTERN}" "${REPLACEMENT}"
    FileWrite $R1 $R2
    Goto loop
  done:
  FileClose $R0
  FileClose $R1
  Delete "$INSTDIR\hand.txt"
  Rename "$INSTDIR\hand.tmp" "$INSTDIR\hand.txt"
FunctionEnd

Section
  FileOpen $Log "$INSTDIR\times.log" w
  ; Warm up: load the DLL once, so that its loading is not timed.
  ${KivReplaceString} "$INSTDIR\warm.txt" "x" "y" $Result
  !insertmacro Start
  ${KivReplaceString} "$INSTDIR\ours.txt" "${PATTERN}" "${REPLACEMENT}" $Result
  !insertmacro Time "ours"
  !insertmacro Start
  Call HandWritten
  StrCpy $Result ""
  !insertmacro Time "hand"
  FileClose $Log
SectionEnd
