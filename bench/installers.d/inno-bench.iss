; SPDX-License-Identifier: Zlib
; The Inno Setup side of bench/installers: patches copies of one input file
; in the folder given with /WORK=, with kivsubst and the two ways installer
; authors write by hand (the whole file through LoadStringFromFile,
; StringChangeEx and SaveStringToFile; and line by line through
; LoadStringsFromFile and SaveStringsToFile), logs each way's milliseconds
; and ends without installing anything.
#include "..\..\integrations\inno\kiv.iss"

[Setup]
AppName=kiv bench
AppVersion=1
DefaultDirName={localappdata}\kiv bench
PrivilegesRequired=lowest
Uninstallable=no
OutputBaseFilename=inno-bench

[Code]
function GetTickCount: Cardinal;
  external 'GetTickCount@kernel32.dll stdcall';

var
  Work: String;
  Started: Cardinal;

procedure LogTime(const Way: String; Code: Integer);
begin
  SaveStringToFile(Work + '\times.log', Way + ' ' + IntToStr(GetTickCount - Started) + ' ' +
    IntToStr(Code) + #13#10, True);
end;

procedure WholeFile(const FileName: String);
var
  Bytes: AnsiString;
  Text: String;
begin
  LoadStringFromFile(FileName, Bytes);
  Text := String(Bytes);
  StringChangeEx(Text, '{#BenchPattern}', '{#BenchReplacement}', True);
  SaveStringToFile(FileName, AnsiString(Text), False);
end;

procedure LineByLine(const FileName: String);
var
  Lines: TArrayOfString;
  I: Integer;
begin
  LoadStringsFromFile(FileName, Lines);
  for I := 0 to GetArrayLength(Lines) - 1 do
    StringChangeEx(Lines[I], '{#BenchPattern}', '{#BenchReplacement}', True);
  SaveStringsToFile(FileName, Lines, False);
end;

function InitializeSetup: Boolean;
var
  Code: Integer;
begin
  Work := ExpandConstant('{param:WORK|}');
  // Warm up: load the DLL once, so that its loading is not timed.
  KivReplaceTextAnsi(Work + '\warm.txt', 'x', 'y');
  Started := GetTickCount;
  Code := KivReplaceTextAnsi(Work + '\ours.txt', '{#BenchPattern}', '{#BenchReplacement}');
  LogTime('ours', Code);
  Started := GetTickCount;
  WholeFile(Work + '\whole.txt');
  LogTime('whole', 0);
  Started := GetTickCount;
  LineByLine(Work + '\lines.txt');
  LogTime('lines', 0);
  Result := False;
end;
