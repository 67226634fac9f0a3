; SPDX-License-Identifier: Zlib
; An example product's upgrade: five files of its own, its program among
; them (which may be running), a new folder "plugins" with a file in it,
; and its settings file, whose version line is patched, as one transaction
; (kiv.nsh), so that whatever stops the installer leaves the product all
; old or all new: the new folder there only with its file, once all is new. With /WAY=engine it
; writes the same files with NSIS's own File instead, one after another.
; /STOP=K ends the installer at once, as a crash or a kill would, after its
; K-th step (a member staged, or a file written; K one more than the steps:
; right after the commit). /RECOVER only recovers, as every start does in
; .onInit first, and quits. Each result goes to $INSTDIR\upgrade.log.
;
;   makensis -DMEDIA=new-files [-DOUTFILE=upgrade-setup.exe] [-DKIV_AMD64] upgrade.nsi
;   upgrade-setup.exe /S [/WAY=engine] [/STOP=K] [/RECOVER] /D=C:\Example
;
; MEDIA holds the new app.exe, core.dll, plugin.dll, data.bin and
; readme.txt, and extra.dll, which goes into the new folder. KIV_AMD64 builds a 64-bit installer (KIV_DLL_DIR then holds
; the 64-bit DLLs).

!ifdef KIV_AMD64
  Target amd64-unicode
!else
  Unicode true
!endif

!ifndef OUTFILE
  !define OUTFILE "upgrade-setup.exe"
!endif

!include "FileFunc.nsh"
!include "..\kiv.nsh"

Name "Example product upgrade"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Example product"
RequestExecutionLevel user

Var Result
Var Log
Var Handle
Var Way
Var Stop
Var Steps
Var Recovered

!macro LogResult WHAT
  FileWrite $Log "${WHAT}: $Result$\r$\n"
!macroend

; Ends the installer at once after the step that /STOP names: no cleanup,
; no unloading, as a kill ends it.
!macro Step WHAT
  !insertmacro LogResult `${WHAT}`
  IntOp $Steps $Steps + 1
  StrCmp $Steps $Stop 0 +2
  System::Call `kernel32::TerminateProcess(p -1, i 137)`
!macroend

!macro Member NAME
  ${KivTransactionInstall} $Handle "$PLUGINSDIR\media\${NAME}" "$INSTDIR\${NAME}" $Result
  !insertmacro Step "install ${NAME}"
!macroend

!macro EngineFile NAME
  File "${MEDIA}\${NAME}"
  StrCpy $Result 0
  !insertmacro Step "file ${NAME}"
!macroend

Function .onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/WAY=" $Way
  ${GetOptions} $R0 "/STOP=" $Stop
  ; An upgrade that was stopped in its transaction is finished or undone
  ; before anything else.
  ${KivRecover} "$INSTDIR\.kiv-journal" $Recovered
  ClearErrors
  ${GetOptions} $R0 "/RECOVER" $R1
  IfErrors 0 recover_only
  Return
  recover_only:
  FileOpen $Log "$INSTDIR\upgrade.log" a
  FileSeek $Log 0 END
  StrCpy $Result $Recovered
  !insertmacro LogResult "recover"
  FileClose $Log
  Quit
FunctionEnd

Section "Upgrade"
  FileOpen $Log "$INSTDIR\upgrade.log" a
  FileSeek $Log 0 END
  StrCpy $Result $Recovered
  !insertmacro LogResult "recover"
  StrCpy $Steps 0
  SetOutPath "$INSTDIR"
  StrCmp $Way engine 0 transaction
    !insertmacro EngineFile app.exe
    !insertmacro EngineFile core.dll
    !insertmacro EngineFile plugin.dll
    !insertmacro EngineFile data.bin
    !insertmacro EngineFile readme.txt
    SetOutPath "$INSTDIR\plugins"
    !insertmacro EngineFile extra.dll
    SetOutPath "$INSTDIR"
    ${KivReplaceText} "$INSTDIR\settings.ini" "version=1" "version=2" $Result
    !insertmacro Step "patch settings.ini"
    Goto done
  transaction:
    ; The new files go to the installer's own folder first: each member is
    ; staged from there beside its target.
    SetOutPath "$PLUGINSDIR\media"
    File "${MEDIA}\app.exe"
    File "${MEDIA}\core.dll"
    File "${MEDIA}\plugin.dll"
    File "${MEDIA}\data.bin"
    File "${MEDIA}\readme.txt"
    File "${MEDIA}\extra.dll"
    SetOutPath "$INSTDIR"
    ${KivTransactionBegin} "$INSTDIR\.kiv-journal" $Handle $Result
    !insertmacro LogResult "begin"
    !insertmacro Member app.exe
    !insertmacro Member core.dll
    !insertmacro Member plugin.dll
    !insertmacro Member data.bin
    !insertmacro Member readme.txt
    ; The new folder stays hidden until the commit; its file is staged
    ; inside it.
    ${KivTransactionMakeFolder} $Handle "$INSTDIR\plugins" $Result
    !insertmacro Step "make folder plugins"
    ${KivTransactionInstall} $Handle "$PLUGINSDIR\media\extra.dll" "$INSTDIR\plugins\extra.dll" $Result
    !insertmacro Step "install plugins\extra.dll"
    ${KivTransactionReplaceText} $Handle "$INSTDIR\settings.ini" "version=1" "version=2" $Result
    !insertmacro Step "patch settings.ini"
    ${KivTransactionCommit} $Handle $Result
    !insertmacro Step "commit"
  done:
  FileClose $Log
SectionEnd
