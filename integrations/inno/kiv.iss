; SPDX-License-Identifier: Zlib
; kiv.iss: kivcopy.dll and kivsubst.dll for Inno Setup 6 installers.
;
;   #define KivDllDir "path\to\the\32-bit\DLLs"   ; optional: default, beside this file
;   #include "kiv.iss"
;
; Then, in [Code]:
;   KivCopyFile(Source, Target, Overwrite)           0 copied, -5048 kept, ... (see the README)
;   KivReplaceText(FileName, OldText, NewText)       text in the ANSI code page
;   KivReplaceTextUtf16(FileName, OldText, NewText)  text stored as UTF-16LE
;   KivReplaceHex(FileName, PatternHex, ReplacementHex)  bytes as hex: '00 ff 1a'; 8 if not hex
;
; Each returns the DLL function's own result; the replace functions first
; open an existing FileName for writing with Setup's own TFileStream, and
; return 7 without calling the DLL when that fails (a file in use, read
; only, or a loaded program), so that no temporary file is left behind.
; The DLLs are dontcopy files:
; Setup extracts each to {tmp} and loads it on its first call, and removes
; {tmp} when it ends. Paths, and the text of KivReplaceText, reach the DLLs
; in the system's ANSI code page (Inno Setup converts them); characters
; outside that code page cannot be passed. The DLLs export stdcall.

#ifndef KivDllDir
  #define KivDllDir ExtractFilePath(__PATHFILENAME__)
#endif

[Files]
Source: "{#KivDllDir}\kivcopy.dll"; Flags: dontcopy
Source: "{#KivDllDir}\kivsubst.dll"; Flags: dontcopy

[Code]
function KivCopyFile(Source, Target: AnsiString; Overwrite: Integer): Integer;
  external 'KivCopyFile@files:kivcopy.dll stdcall delayload';

// replaceString, declared twice: an AnsiString is passed as a pointer to its
// bytes, NUL bytes included, and a String as a pointer to its UTF-16LE code
// units. The lengths say how many bytes count.
function KivReplaceStringA(Path, Pattern: AnsiString; PatternLength: Integer;
  Replacement: AnsiString; ReplacementLength: Integer): Integer;
  external 'replaceString@files:kivsubst.dll stdcall delayload';
function KivReplaceStringW(Path: AnsiString; Pattern: String; PatternLength: Integer;
  Replacement: String; ReplacementLength: Integer): Integer;
  external 'replaceString@files:kivsubst.dll stdcall delayload';

// Whether FileName can be opened for writing, as the DLL's write-back will
// need it. A missing file or a folder counts as writable: the DLL answers
// those with 3, leaving nothing behind. Opening for reading and writing
// changes nothing in the file.
function KivCanWrite(const FileName: String): Boolean;
var
  Stream: TFileStream;
begin
  Result := True;
  if not FileExists(FileName) then
    exit;
  try
    Stream := TFileStream.Create(FileName, fmOpenReadWrite or fmShareDenyNone);
    Stream.Free;
  except
    Result := False;
  end;
end;

// The result of a file that cannot be written back: 7, as the DLL would
// give after making its temporary file.
const
  KivCopyError = 7;

function KivReplaceText(const FileName, OldText, NewText: String): Integer;
var
  Pattern, Replacement: AnsiString;
begin
  Result := KivCopyError;
  if not KivCanWrite(FileName) then
    exit;
  Pattern := OldText;
  Replacement := NewText;
  Result := KivReplaceStringA(FileName, Pattern, Length(Pattern), Replacement, Length(Replacement));
end;

function KivReplaceTextUtf16(const FileName, OldText, NewText: String): Integer;
begin
  Result := KivCopyError;
  if not KivCanWrite(FileName) then
    exit;
  Result := KivReplaceStringW(FileName, OldText, 2 * Length(OldText), NewText, 2 * Length(NewText));
end;

// Raw bytes cannot be built in a Pascal string: Chr() goes through the ANSI
// code page for values of 128 and up. They are written into memory of
// their own instead, one byte at a time, and passed by address (Setup is a
// 32-bit program, so an address fits a Cardinal).
function KivLocalAlloc(Flags, Bytes: Cardinal): Cardinal;
  external 'LocalAlloc@kernel32.dll stdcall';
function KivLocalFree(Memory: Cardinal): Cardinal;
  external 'LocalFree@kernel32.dll stdcall';
procedure KivFillMemory(Destination, Count: Cardinal; Fill: Byte);
  external 'RtlFillMemory@kernel32.dll stdcall';
function KivReplaceStringP(Path: AnsiString; Pattern: Cardinal; PatternLength: Integer;
  Replacement: Cardinal; ReplacementLength: Integer): Integer;
  external 'replaceString@files:kivsubst.dll stdcall delayload';

function KivHexDigit(C: Char): Integer;
begin
  case C of
    '0'..'9': Result := Ord(C) - Ord('0');
    'a'..'f': Result := Ord(C) - Ord('a') + 10;
    'A'..'F': Result := Ord(C) - Ord('A') + 10;
  else
    Result := -1;
  end;
end;

// Decodes hex digits in pairs (spaces between the pairs allowed) into new
// memory, which the caller frees with KivLocalFree. False, with nothing
// allocated, when the text is not whole pairs of hex digits.
function KivHexToMemory(const Hex: String; var Memory: Cardinal; var Count: Integer): Boolean;
var
  I, High, Low: Integer;
begin
  Result := False;
  Count := 0;
  Memory := KivLocalAlloc(0, Length(Hex) div 2 + 1);
  if Memory = 0 then
    exit;
  I := 1;
  while I <= Length(Hex) do begin
    if Hex[I] = ' ' then begin
      I := I + 1;
      continue;
    end;
    High := KivHexDigit(Hex[I]);
    Low := -1;
    if I < Length(Hex) then
      Low := KivHexDigit(Hex[I + 1]);
    if (High < 0) or (Low < 0) then begin
      KivLocalFree(Memory);
      Memory := 0;
      exit;
    end;
    KivFillMemory(Memory + Count, 1, 16 * High + Low);
    Count := Count + 1;
    I := I + 2;
  end;
  Result := True;
end;

// The pattern and the replacement as hex: '00 ff 1a' or '00ff1a'. A pattern
// of no bytes, or text that is not hex, gives 8 (invalid argument) without
// calling the DLL.
function KivReplaceHex(const FileName, PatternHex, ReplacementHex: String): Integer;
var
  Pattern, Replacement: Cardinal;
  PatternLength, ReplacementLength: Integer;
begin
  Result := 8;
  if not KivHexToMemory(PatternHex, Pattern, PatternLength) then
    exit;
  if KivHexToMemory(ReplacementHex, Replacement, ReplacementLength) then begin
    if (PatternLength > 0) and not KivCanWrite(FileName) then
      Result := KivCopyError
    else if PatternLength > 0 then
      Result := KivReplaceStringP(FileName, Pattern, PatternLength, Replacement, ReplacementLength);
    KivLocalFree(Replacement);
  end;
  KivLocalFree(Pattern);
end;
