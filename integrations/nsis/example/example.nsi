; SPDX-License-Identifier: Zlib
; An example product's installer: it copies a file from the media beside
; setup.exe with the overwrite guard, installs its own files, patches the
; install path into a text .ini (ANSI code page), a UTF-16LE .ini and a
; UTF-8 .xml and a byte sequence into a binary file, tries to patch a file
; held open elsewhere, installs a new version of its program (which may be
; running) and of a DLL held open elsewhere, the latter at the next restart,
; and logs every result code, and the reboot flag, to
; $INSTDIR\kiv-results.log. Built as a Unicode installer it may install
; into any folder, whatever its name.
;
;   makensis [-DOUTFILE=example-setup.exe] [-DKIV_ANSI] example.nsi
;   example-setup.exe /S /D=C:\Example
;
; KIV_ANSI builds an ANSI installer instead of a Unicode one; kiv.nsh works
; the same in both.

!ifdef KIV_ANSI
  Unicode false
!else
  Unicode true
!endif

!ifndef OUTFILE
  !define OUTFILE "example-setup.exe"
!endif

!include "..\kiv.nsh"

Name "Example product"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Example product"
RequestExecutionLevel user

Var Result
Var Log
Var Holder
Var Mapping
Var View

; Writes one line "WHAT: RESULT" to the log.
!macro LogResult WHAT
  FileWrite $Log "${WHAT}: $Result$\r$\n"
!macroend

; Writes "reboot flag: 1" or "reboot flag: 0" to the log.
!macro LogRebootFlag
  StrCpy $Result 0
  IfRebootFlag 0 +2
  StrCpy $Result 1
  FileWrite $Log "reboot flag: $Result$\r$\n"
!macroend

Section "Example product"
  SetOutPath "$INSTDIR"
  File "..\..\example-product\app.ini"
  File "..\..\example-product\settings.ini"
  File "..\..\example-product\data.bin"
  File "..\..\example-product\config.xml"
  File "..\..\example-product\shared.ini"
  File "..\..\example-product\mapped.ini"
  FileOpen $Log "$INSTDIR\kiv-results.log" w

  ; From the media: the first copy goes in, the second is kept off by the
  ; guard (-5048), and replacing is asked for explicitly in the third.
  ${KivCopyFile} "$EXEDIR\media\readme.txt" "$INSTDIR\readme.txt" 0 $Result
  !insertmacro LogResult "KivCopyFile readme.txt"
  ${KivCopyFile} "$EXEDIR\media\readme.txt" "$INSTDIR\readme.txt" 0 $Result
  !insertmacro LogResult "KivCopyFile readme.txt again"
  ${KivCopyFile} "$EXEDIR\media\readme.txt" "$INSTDIR\readme.txt" 1 $Result
  !insertmacro LogResult "KivCopyFile readme.txt, replacing"
  ${KivCopyFile} "$EXEDIR\media\missing.txt" "$INSTDIR\missing.txt" 0 $Result
  !insertmacro LogResult "KivCopyFile missing.txt"

  ${KivReplaceString} "$INSTDIR\app.ini" "@INSTALLDIR@" "$INSTDIR" $Result
  !insertmacro LogResult "KivReplaceString app.ini"
  ${KivReplaceUtf16} "$INSTDIR\settings.ini" "@INSTALLDIR@" "$INSTDIR" $Result
  !insertmacro LogResult "KivReplaceUtf16 settings.ini"
  ${KivReplaceUtf8} "$INSTDIR\config.xml" "@INSTALLDIR@" "$INSTDIR" $Result
  !insertmacro LogResult "KivReplaceUtf8 config.xml"
  ${KivReplaceHex} "$INSTDIR\data.bin" "00 01 02 80 9f" "ff fe 81" $Result
  !insertmacro LogResult "KivReplaceHex data.bin"
  ${KivReplaceString} "$INSTDIR\app.ini" "@INSTALLDIR@" "$INSTDIR" $Result
  !insertmacro LogResult "KivReplaceString app.ini again"
  ${KivReplaceHex} "$INSTDIR\data.bin" "0g" "" $Result
  !insertmacro LogResult "KivReplaceHex with a bad pattern"

  ; A file that another program holds open without sharing writing (here
  ; the installer itself, through FileOpen) cannot be written back: 7, and
  ; no temporary file is left for a retry to pile up.
  FileOpen $Holder "$INSTDIR\app.ini" r
  ${KivReplaceString} "$INSTDIR\app.ini" "InstallPath" "Elsewhere" $Result
  !insertmacro LogResult "KivReplaceString app.ini in use"
  FileClose $Holder

  ; A file that another program holds open for writing and deleting, sharing
  ; all of it, is patched: the kit asks what the DLL will ask.
  Push "$INSTDIR\shared.ini"
  System::Call 'kernel32::CreateFileW(w s, i 0x40010000, i 7, p 0, i 3, i 0x80, p 0) p .s'
  Pop $Holder
  ${KivReplaceString} "$INSTDIR\shared.ini" "old-old-old" "n" $Result
  !insertmacro LogResult "KivReplaceString shared.ini held by another"
  System::Call 'kernel32::CloseHandle(p $Holder)'

  ; A file that another program maps cannot be cut shorter: 7, the file as
  ; it was, the result kept in a KIVn file in TMP.
  Push "$INSTDIR\mapped.ini"
  System::Call 'kernel32::CreateFileW(w s, i 0x80000000, i 7, p 0, i 3, i 0x80, p 0) p .s'
  Pop $Holder
  System::Call 'kernel32::CreateFileMappingW(p $Holder, p 0, i 2, i 0, i 0, p 0) p .s'
  Pop $Mapping
  System::Call 'kernel32::MapViewOfFile(p $Mapping, i 4, i 0, i 0, p 0) p .s'
  Pop $View
  ${KivReplaceString} "$INSTDIR\mapped.ini" "old-old-old" "n" $Result
  !insertmacro LogResult "KivReplaceString mapped.ini"
  System::Call 'kernel32::UnmapViewOfFile(p $View)'
  System::Call 'kernel32::CloseHandle(p $Mapping)'
  System::Call 'kernel32::CloseHandle(p $Holder)'

  ; The product's program, which may be running (an upgrade): a running
  ; program is renamed aside and replaced at once (0), no restart needed.
  ${KivInstallFile} "$EXEDIR\media\app.exe" "$INSTDIR\app.exe" $Result
  !insertmacro LogResult "KivInstallFile app.exe"
  !insertmacro LogRebootFlag

  ; A DLL that another program holds without sharing writing or deleting
  ; (here the installer itself): not now (-5032, unchanged), else at the
  ; next restart (1), which sets the reboot flag.
  Push "$INSTDIR\lib.dll"
  System::Call 'kernel32::CreateFileW(w s, i 0x80000000, i 1, p 0, i 3, i 0x80, p 0) p .s'
  Pop $Holder
  ${KivInstallFileNow} "$EXEDIR\media\lib.dll" "$INSTDIR\lib.dll" $Result
  !insertmacro LogResult "KivInstallFileNow lib.dll in use"
  !insertmacro LogRebootFlag
  ${KivInstallFile} "$EXEDIR\media\lib.dll" "$INSTDIR\lib.dll" $Result
  !insertmacro LogResult "KivInstallFile lib.dll in use"
  !insertmacro LogRebootFlag
  System::Call 'kernel32::CloseHandle(p $Holder)'

  FileClose $Log
SectionEnd

; Text in each file's own encoding: the install path into a UTF-16LE, a
; UTF-16BE, a UTF-8-with-mark and a UTF-8 file, each by its mark, and a
; name and the path into an ANSI file (code page 1252), named; the path
; outside that code page gives 9 and leaves the file alone. Logged to
; $INSTDIR\kiv-text-results.log.
Section "Text in each file's encoding"
  SetOutPath "$INSTDIR"
  File "..\..\example-product\text\utf16le.txt"
  File "..\..\example-product\text\utf16be.txt"
  File "..\..\example-product\text\utf8bom.txt"
  File "..\..\example-product\text\utf8.txt"
  File "..\..\example-product\text\ansi.txt"
  FileOpen $Log "$INSTDIR\kiv-text-results.log" w
  ${KivReplaceText} "$INSTDIR\utf16le.txt" "@INSTALLDIR@" "$INSTDIR" $Result
  !insertmacro LogResult "KivReplaceText utf16le.txt"
  ${KivReplaceText} "$INSTDIR\utf16be.txt" "@INSTALLDIR@" "$INSTDIR" $Result
  !insertmacro LogResult "KivReplaceText utf16be.txt"
  ${KivReplaceText} "$INSTDIR\utf8bom.txt" "@INSTALLDIR@" "$INSTDIR" $Result
  !insertmacro LogResult "KivReplaceText utf8bom.txt"
  ${KivReplaceText} "$INSTDIR\utf8.txt" "@INSTALLDIR@" "$INSTDIR" $Result
  !insertmacro LogResult "KivReplaceText utf8.txt"
  ${KivReplaceText} "$INSTDIR\utf8.txt" "@INSTALLDIR@" "$INSTDIR" $Result
  !insertmacro LogResult "KivReplaceText utf8.txt again"
  ${KivReplaceTextAs} "$INSTDIR\ansi.txt" "@NAME@" "Kit" 4 $Result
  !insertmacro LogResult "KivReplaceTextAs ansi.txt name"
  ${KivReplaceTextAs} "$INSTDIR\ansi.txt" "@INSTALLDIR@" "$INSTDIR" 4 $Result
  !insertmacro LogResult "KivReplaceTextAs ansi.txt path"
  ; An empty new text deletes the old one.
  ${KivReplaceText} "$INSTDIR\utf16le.txt" "@NAME@" "" $Result
  !insertmacro LogResult "KivReplaceText utf16le.txt, deleting"
  ${KivReplaceTextAs} "$INSTDIR\utf8.txt" "@NAME@" "" 1 $Result
  !insertmacro LogResult "KivReplaceTextAs utf8.txt, deleting"
  FileClose $Log
SectionEnd
