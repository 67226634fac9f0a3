; SPDX-License-Identifier: Zlib
; An example product's installer: it copies a file from the media beside
; the setup program with the overwrite guard, installs its own files,
; patches the install path into a text .ini (ANSI code page), a UTF-16LE
; .ini and a UTF-8 .xml and a byte sequence into a binary file, tries to
; patch a file held open elsewhere, installs a new version of its program
; (which may be running) and of a DLL held open elsewhere, the latter at
; the next restart, which it then asks for, and logs every result code to
; {app}\kiv-results.log. It may install into any folder, whatever its name.
;
;   ISCC example.iss                 (/DKivDllDir=... where the DLLs are)
;   example-setup.exe /VERYSILENT /SUPPRESSMSGBOXES /DIR=C:\Example

#include "..\kiv.iss"

[Setup]
AppName=Example product
AppVersion=1.0
DefaultDirName={localappdata}\Example product
PrivilegesRequired=lowest
DisableProgramGroupPage=yes
Uninstallable=no
OutputBaseFilename=example-setup

[Files]
Source: "..\..\example-product\app.ini"; DestDir: "{app}"
Source: "..\..\example-product\settings.ini"; DestDir: "{app}"
Source: "..\..\example-product\data.bin"; DestDir: "{app}"
Source: "..\..\example-product\config.xml"; DestDir: "{app}"
Source: "..\..\example-product\shared.ini"; DestDir: "{app}"
Source: "..\..\example-product\mapped.ini"; DestDir: "{app}"
Source: "..\..\example-product\text\*.txt"; DestDir: "{app}"

[Code]
function ExampleCreateFileW(FileName: String; DesiredAccess, ShareMode, SecurityAttributes,
  CreationDisposition, FlagsAndAttributes, TemplateFile: Cardinal): Cardinal;
  external 'CreateFileW@kernel32.dll stdcall';
function ExampleCloseHandle(Handle: Cardinal): Boolean;
  external 'CloseHandle@kernel32.dll stdcall';
function ExampleCreateFileMappingW(Handle, Security, Protection, SizeHigh, SizeLow,
  Name: Cardinal): Cardinal;
  external 'CreateFileMappingW@kernel32.dll stdcall';
function ExampleMapViewOfFile(Mapping, Access, OffsetHigh, OffsetLow, Bytes: Cardinal): Cardinal;
  external 'MapViewOfFile@kernel32.dll stdcall';
function ExampleUnmapViewOfFile(View: Cardinal): Boolean;
  external 'UnmapViewOfFile@kernel32.dll stdcall';

procedure LogResult(const What: String; Code: Integer);
begin
  SaveStringToFile(ExpandConstant('{app}\kiv-results.log'),
    What + ': ' + IntToStr(Code) + #13#10, True);
end;

procedure InstallWithKiv;
var
  App, Media: String;
  Holder: TFileStream;
  Handle, Mapping, View: Cardinal;
begin
  App := ExpandConstant('{app}');
  Media := ExpandConstant('{src}\media');

  // From the media: the first copy goes in, the second is kept off by the
  // guard (-5048), and replacing is asked for explicitly in the third.
  LogResult('KivCopyFile readme.txt', KivCopyFile(Media + '\readme.txt', App + '\readme.txt', 0));
  LogResult('KivCopyFile readme.txt again', KivCopyFile(Media + '\readme.txt', App + '\readme.txt', 0));
  LogResult('KivCopyFile readme.txt, replacing', KivCopyFile(Media + '\readme.txt', App + '\readme.txt', 1));
  LogResult('KivCopyFile missing.txt', KivCopyFile(Media + '\missing.txt', App + '\missing.txt', 0));

  LogResult('KivReplaceTextAnsi app.ini', KivReplaceTextAnsi(App + '\app.ini', '@INSTALLDIR@', App));
  LogResult('KivReplaceTextUtf16 settings.ini', KivReplaceTextUtf16(App + '\settings.ini', '@INSTALLDIR@', App));
  LogResult('KivReplaceTextUtf8 config.xml', KivReplaceTextUtf8(App + '\config.xml', '@INSTALLDIR@', App));
  LogResult('KivReplaceHex data.bin', KivReplaceHex(App + '\data.bin', '00 01 02 80 9f', 'ff fe 81'));
  LogResult('KivReplaceTextAnsi app.ini again', KivReplaceTextAnsi(App + '\app.ini', '@INSTALLDIR@', App));
  LogResult('KivReplaceHex with a bad pattern', KivReplaceHex(App + '\data.bin', '0g', ''));

  // A file that another program holds open without sharing writing cannot
  // be written back: 7, and no temporary file is left for a retry to pile up.
  Holder := TFileStream.Create(App + '\app.ini', fmOpenRead or fmShareDenyWrite);
  try
    LogResult('KivReplaceTextAnsi app.ini in use', KivReplaceTextAnsi(App + '\app.ini', 'InstallPath', 'Elsewhere'));
  finally
    Holder.Free;
  end;

  // A file that another program holds open for writing and deleting,
  // sharing all of it, is patched: the kit asks what the DLL will ask.
  Handle := ExampleCreateFileW(App + '\shared.ini', $40010000, 7, 0, 3, $80, 0);
  LogResult('KivReplaceTextAnsi shared.ini held by another', KivReplaceTextAnsi(App + '\shared.ini', 'old-old-old', 'n'));
  ExampleCloseHandle(Handle);

  // A file that another program maps cannot be cut shorter: 7, the file as
  // it was, the result kept in a KIVn file in TMP.
  Handle := ExampleCreateFileW(App + '\mapped.ini', $80000000, 7, 0, 3, $80, 0);
  Mapping := ExampleCreateFileMappingW(Handle, 0, 2, 0, 0, 0);
  View := ExampleMapViewOfFile(Mapping, 4, 0, 0, 0);
  LogResult('KivReplaceTextAnsi mapped.ini', KivReplaceTextAnsi(App + '\mapped.ini', 'old-old-old', 'n'));
  ExampleUnmapViewOfFile(View);
  ExampleCloseHandle(Mapping);
  ExampleCloseHandle(Handle);

end;

function NeedRestart(): Boolean;
begin
  Log('kiv: NeedRestart asked');
  Result := KivRestartNeeded;
end;

// The product's program and DLL, installed as the installation step
// begins: Setup asks NeedRestart at the end of that step, before
// ssPostInstall, so an install that may wait for the restart must come
// first (here, or in a [Files] entry's BeforeInstall or AfterInstall).
procedure InstallProgramFiles;
var
  App, Media: String;
  Handle: Cardinal;
begin
  App := ExpandConstant('{app}');
  Media := ExpandConstant('{src}\media');
  ForceDirectories(App);
  // The product's program, which may be running (an upgrade): a running
  // program is renamed aside and replaced at once (0), no restart needed.
  LogResult('KivInstallFile app.exe', KivInstallFile(Media + '\app.exe', App + '\app.exe',
    KivInstallReplace or KivInstallAtRestart));
  LogResult('restart needed', Ord(KivRestartNeeded));

  // A DLL that another program holds without sharing writing or deleting
  // (here Setup itself): not now (-5032, unchanged), else at the next
  // restart (1), which NeedRestart then asks for.
  Handle := ExampleCreateFileW(App + '\lib.dll', $80000000, 1, 0, 3, $80, 0);
  LogResult('KivInstallFile lib.dll in use, not at restart', KivInstallFile(Media + '\lib.dll',
    App + '\lib.dll', KivInstallReplace));
  LogResult('restart needed', Ord(KivRestartNeeded));
  LogResult('KivInstallFile lib.dll in use', KivInstallFile(Media + '\lib.dll', App + '\lib.dll',
    KivInstallReplace or KivInstallAtRestart));
  LogResult('restart needed', Ord(KivRestartNeeded));
  ExampleCloseHandle(Handle);
  Log('kiv: installs done');
end;

// Text in each file's own encoding, logged to {app}\kiv-text-results.log:
// the install path into a UTF-16LE, a UTF-16BE, a UTF-8-with-mark and a
// UTF-8 file, each by its mark, and a name and the path into an ANSI file
// (code page 1252), named; the path outside that code page gives 9 and
// leaves the file alone.
procedure LogText(const What: String; Code: Integer);
begin
  SaveStringToFile(ExpandConstant('{app}\kiv-text-results.log'),
    What + ': ' + IntToStr(Code) + #13#10, True);
end;

procedure PatchTextWithKiv;
var
  App: String;
begin
  App := ExpandConstant('{app}');
  LogText('KivReplaceText utf16le.txt', KivReplaceText(App + '\utf16le.txt', '@INSTALLDIR@', App));
  LogText('KivReplaceText utf16be.txt', KivReplaceText(App + '\utf16be.txt', '@INSTALLDIR@', App));
  LogText('KivReplaceText utf8bom.txt', KivReplaceText(App + '\utf8bom.txt', '@INSTALLDIR@', App));
  LogText('KivReplaceText utf8.txt', KivReplaceText(App + '\utf8.txt', '@INSTALLDIR@', App));
  LogText('KivReplaceText utf8.txt again', KivReplaceText(App + '\utf8.txt', '@INSTALLDIR@', App));
  LogText('KivReplaceTextAs ansi.txt name', KivReplaceTextAs(App + '\ansi.txt', '@NAME@', 'Kit', 4));
  LogText('KivReplaceTextAs ansi.txt path', KivReplaceTextAs(App + '\ansi.txt', '@INSTALLDIR@', App, 4));
  // An empty new text deletes the old one.
  LogText('KivReplaceText utf16le.txt, deleting', KivReplaceText(App + '\utf16le.txt', '@NAME@', ''));
  LogText('KivReplaceTextAs utf8.txt, deleting', KivReplaceTextAs(App + '\utf8.txt', '@NAME@', '', 1));
end;

procedure CurStepChanged(CurStep: TSetupStep);
begin
  if CurStep = ssInstall then
    InstallProgramFiles;
  if CurStep = ssPostInstall then begin
    InstallWithKiv;
    PatchTextWithKiv;
  end;
end;
