; SPDX-License-Identifier: Zlib
; An example product's files installed over what a machine already has:
; each file of MEDIA goes into the install folder either as the kit
; decides by versions, bytes and the product's manifest
; (${KivInstallByVersion}, the manifest in $INSTDIR\.kiv-manifest), or,
; with /WAY=ifnewer, as NSIS's own File does with SetOverwrite ifnewer, by
; the files' times. Each result goes to $INSTDIR\versions.log, a line a
; file: "NAME: RESULT" and, for a kept target, the reason in words.
;
;   makensis -DMEDIA=new-files [-DOUTFILE=versions-setup.exe] [-DKIV_AMD64] [-DKIV_ANSI] versions.nsi
;   versions-setup.exe /S [/WAY=ifnewer] [/LIST=C:\list.txt] /D=C:\Example
;
; The kit installs the files that LIST names (default: versions.txt beside
; the installer), a line each, "NAME FLAGS", with those flags
; (8 KIVINSTALL_BY_VERSION, 16 KIVINSTALL_ALLOW_DOWNGRADE, 32
; KIVINSTALL_REPLACE_SAME_VERSION, added up; 0 installs only where the
; name is free); a third word, "bare", installs that file without the
; manifest. File with ifnewer installs every file of MEDIA. KIV_AMD64
; builds a 64-bit installer (KIV_DLL_DIR then holds the 64-bit DLLs);
; KIV_ANSI an ANSI one.

!ifdef KIV_AMD64
  Target amd64-unicode
!else ifdef KIV_ANSI
  Unicode false
!else
  Unicode true
!endif

!ifndef OUTFILE
  !define OUTFILE "versions-setup.exe"
!endif

!include "FileFunc.nsh"
!include "TextFunc.nsh"
!include "WordFunc.nsh"
!include "..\kiv.nsh"

Name "Example product, installs that know versions"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Example product"
RequestExecutionLevel user

Var Result
Var Reason
Var Log
Var List
Var Line
Var File
Var Flags
Var Words
Var Manifest
Var Way

Section "Install"
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/WAY=" $Way
  ClearErrors
  ${GetOptions} $R0 "/LIST=" $List
  IfErrors 0 +2
  StrCpy $List "$EXEDIR\versions.txt"
  CreateDirectory "$INSTDIR"
  FileOpen $Log "$INSTDIR\versions.log" w
  StrCmp $Way ifnewer 0 kit
    SetOutPath "$INSTDIR"
    SetOverwrite ifnewer
    File /r "${MEDIA}\*.*"
    SetOverwrite on
    FileWrite $Log "ifnewer: done$\r$\n"
    Goto done
  kit:
    ; The new files go to the installer's own folder first; each is
    ; installed from there.
    InitPluginsDir
    SetOutPath "$PLUGINSDIR\media"
    File /r "${MEDIA}\*.*"
    SetOutPath "$INSTDIR"
    FileOpen $List $List r
    next:
      ClearErrors
      FileRead $List $Line
      IfErrors listed
      ${TrimNewLines} $Line $Line
      StrCmp $Line "" next
      ${WordFind} $Line " " "+1" $File
      ${WordFind} $Line " " "+2" $Flags
      ${WordFind} $Line " " "#" $Words
      StrCpy $Manifest "$INSTDIR\.kiv-manifest"
      StrCmp $Words 3 0 +2
      StrCpy $Manifest ""
      ${KivInstallByVersion} "$PLUGINSDIR\media\$File" "$INSTDIR\$File" $Manifest $Flags $Result
      ${KivInstallReason} $Result $Reason
      StrCmp $Reason "" +3
      FileWrite $Log "$File: $Result $Reason$\r$\n"
      Goto next
      FileWrite $Log "$File: $Result$\r$\n"
      Goto next
    listed:
    FileClose $List
  done:
  FileClose $Log
SectionEnd
