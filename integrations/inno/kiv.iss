; SPDX-License-Identifier: Zlib
; kiv.iss: kivcopy.dll and kivsubst.dll for Inno Setup 6 installers.
;
;   #define KivDllDir "path\to\the\32-bit\DLLs"   ; optional: default, beside this file
;   #include "kiv.iss"
;
; Then, in [Code]:
;   KivCopyFile(Source, Target, Overwrite)           0 copied, -5048 kept, ... (see the README)
;   KivInstallFile(Source, Target, Flags)            0 in place, 1 at the next restart, -5032 in use
;                                                    (Flags: KivInstallReplace, KivInstallAtRestart,
;                                                    KivInstallReadOnly, combined with "or")
;   KivRestartNeeded                                 True once a KivInstallFile gave 1
;   KivReplaceText(FileName, OldText, NewText)       text in the file's own encoding, by its mark
;   KivReplaceTextAs(FileName, OldText, NewText, Encoding)  1 UTF-8, 2 UTF-16LE, 3 UTF-16BE, 4 ANSI
;   KivReplaceTextAnsi(FileName, OldText, NewText)   text in the ANSI code page, as bytes
;   KivReplaceTextUtf8(FileName, OldText, NewText)   text stored as UTF-8
;   KivReplaceTextUtf16(FileName, OldText, NewText)  text stored as UTF-16LE
;   KivReplaceHex(FileName, PatternHex, ReplacementHex)  bytes as hex: '00 ff 1a'; 8 if not hex
;
; Each returns the DLL function's own result, or 8 without calling the DLL
; for an empty pattern or text that is not hex; the replace functions first
; open an existing FileName for writing as the DLL's write-back will
; (CreateFileW with GENERIC_WRITE, sharing reading, writing and deleting),
; and return 7 without calling the DLL when that fails (a file in use
; without such sharing, read only, or a loaded program), so that no
; temporary file is left behind. A file that another program maps may pass
; and still be refused by the DLL (7, the file unchanged, the result kept in
; its KIVn file) when the result is shorter.
; The DLLs are dontcopy files: Setup extracts each to {tmp} and loads it on
; its first call, and removes {tmp} when it ends. The DLLs export stdcall.
;
; KivInstallFile's Flags: KivInstallReplace (1) replaces an existing target,
; KivInstallAtRestart (2) lets a target in use be replaced at the next
; restart, KivInstallReadOnly (4) lets a read-only target be replaced too,
; as [Files]' overwritereadonly does, the new file keeping the read-only
; attribute (without it a read-only target gives -5010 and stays). Return
; KivRestartNeeded from the script's NeedRestart, so that Setup offers the
; restart exactly when an install waits for it:
;   function NeedRestart(): Boolean; begin Result := KivRestartNeeded; end;
; Setup asks NeedRestart at the end of its installation step, before
; CurStepChanged(ssPostInstall): call KivInstallFile from
; CurStepChanged(ssInstall) (ForceDirectories the folder first) or from a
; [Files] entry's BeforeInstall or AfterInstall, not later.
;
; Paths are passed as Setup's own Unicode strings to the DLLs' wide exports
; (KivCopyFileW, KivInstallFileW, replaceStringW), so any folder a user can have is reached;
; no path is ever converted to the ANSI code page, where a name outside it
; would become a best-fit look-alike ("Łódź" becomes "Lódz", another
; folder). KivReplaceText and KivReplaceTextAs hand their text to
; replaceTextW, which writes it in the file's encoding and matches whole
; characters only (9: the encoding cannot be told, or the text cannot be
; written in it). The text of KivReplaceTextAnsi is converted to the ANSI
; code page without best fit: a character it cannot write becomes '?'.

#ifndef KivDllDir
  #define KivDllDir ExtractFilePath(__PATHFILENAME__)
#endif

[Files]
Source: "{#KivDllDir}\kivcopy.dll"; Flags: dontcopy
Source: "{#KivDllDir}\kivsubst.dll"; Flags: dontcopy

[Code]
function KivCopyFile(Source, Target: String; Overwrite: Integer): Integer;
  external 'KivCopyFileW@files:kivcopy.dll stdcall delayload';
function KivInstallFileW(Source, Target: String; Flags: Integer): Integer;
  external 'KivInstallFileW@files:kivcopy.dll stdcall delayload';

const
  KivInstallReplace = 1;
  KivInstallAtRestart = 2;
  KivInstallReadOnly = 4;
  KivInstallRestartNeeded = 1;  // the result of an install that waits for the restart

var
  KivRestartWanted: Boolean;

// KivInstallFileW, which remembers a result of 1 for KivRestartNeeded.
function KivInstallFile(Source, Target: String; Flags: Integer): Integer;
begin
  Result := KivInstallFileW(Source, Target, Flags);
  if Result = KivInstallRestartNeeded then
    KivRestartWanted := True;
end;

// Whether an install of this run waits for the next restart.
function KivRestartNeeded: Boolean;
begin
  Result := KivRestartWanted;
end;

// replaceStringW, declared twice: a String is passed as a pointer to its
// UTF-16LE code units, and memory of our own by its address (Setup is a
// 32-bit program, so an address fits a Cardinal). The lengths say how many
// bytes count.
function KivReplaceStringW(Path: String; Pattern: String; PatternLength: Integer;
  Replacement: String; ReplacementLength: Integer): Integer;
  external 'replaceStringW@files:kivsubst.dll stdcall delayload';
function KivReplaceStringP(Path: String; Pattern: Cardinal; PatternLength: Integer;
  Replacement: Cardinal; ReplacementLength: Integer): Integer;
  external 'replaceStringW@files:kivsubst.dll stdcall delayload';

function KivLocalAlloc(Flags, Bytes: Cardinal): Cardinal;
  external 'LocalAlloc@kernel32.dll stdcall';
function KivLocalFree(Memory: Cardinal): Cardinal;
  external 'LocalFree@kernel32.dll stdcall';
procedure KivFillMemory(Destination, Count: Cardinal; Fill: Byte);
  external 'RtlFillMemory@kernel32.dll stdcall';
function KivCreateFileW(FileName: String; DesiredAccess, ShareMode, SecurityAttributes,
  CreationDisposition, FlagsAndAttributes, TemplateFile: Cardinal): Cardinal;
  external 'CreateFileW@kernel32.dll stdcall';
function KivCloseHandle(Handle: Cardinal): Boolean;
  external 'CloseHandle@kernel32.dll stdcall';
function KivWideCharToMultiByte(CodePage, Flags: Cardinal; Text: String; TextLength: Integer;
  Buffer: Cardinal; BufferSize: Integer; DefaultChar, UsedDefault: Cardinal): Integer;
  external 'WideCharToMultiByte@kernel32.dll stdcall';

const
  // The result of a file that cannot be written back, and of a bad argument.
  KivNoMemory = 6;
  KivCopyError = 7;
  KivInvalidArgument = 8;
  KivZeroInit = $40;  // LMEM_ZEROINIT
  KivAnsiCodePage = 0;
  KivUtf8 = 65001;
  KivGenericWrite = $40000000;
  KivShareAll = 7;  // reading, writing and deleting
  KivOpenExisting = 3;
  KivInvalidHandle = $FFFFFFFF;

// Whether FileName can be opened for writing as the DLL's write-back opens
// it: GENERIC_WRITE, sharing reading, writing and deleting with every other
// holder. A missing file or a folder counts as writable: the DLL answers
// those with 3, leaving nothing behind. Opening for writing changes nothing
// in the file; the handle is closed at once.
function KivCanWrite(const FileName: String): Boolean;
var
  Handle: Cardinal;
begin
  Result := True;
  if not FileExists(FileName) then
    exit;
  Handle := KivCreateFileW(FileName, KivGenericWrite, KivShareAll, 0, KivOpenExisting, 0, 0);
  if Handle = KivInvalidHandle then
    Result := False
  else
    KivCloseHandle(Handle);
end;

// Calls replaceStringW on FileName with the bytes in memory of our own,
// which it then frees: 8 without a call for an empty pattern, 7 without a
// call when the file cannot be written.
function KivReplaceMemory(const FileName: String; Pattern: Cardinal; PatternLength: Integer;
  Replacement: Cardinal; ReplacementLength: Integer): Integer;
begin
  if PatternLength <= 0 then
    Result := KivInvalidArgument
  else if not KivCanWrite(FileName) then
    Result := KivCopyError
  else
    Result := KivReplaceStringP(FileName, Pattern, PatternLength, Replacement, ReplacementLength);
  KivLocalFree(Pattern);
  KivLocalFree(Replacement);
end;

// Encodes Text in a code page (the ANSI one, or UTF-8) into new memory. A
// character that the ANSI code page cannot write becomes '?', never a
// look-alike (no best fit). False, with nothing allocated, if it fails.
function KivEncode(CodePage: Cardinal; const Text: String; var Memory: Cardinal;
  var Count: Integer): Boolean;
var
  Flags: Cardinal;
  Room: Integer;
begin
  Result := False;
  Count := 0;
  Flags := $400;  // WC_NO_BEST_FIT_CHARS
  if CodePage = KivUtf8 then
    Flags := 0;
  Room := 4 * Length(Text) + 1;
  Memory := KivLocalAlloc(0, Room);
  if Memory = 0 then
    exit;
  if Length(Text) > 0 then begin
    Count := KivWideCharToMultiByte(CodePage, Flags, Text, Length(Text), Memory, Room, 0, 0);
    if Count = 0 then begin
      KivLocalFree(Memory);
      Memory := 0;
      exit;
    end;
  end;
  Result := True;
end;

function KivReplaceEncoded(CodePage: Cardinal; const FileName, OldText, NewText: String): Integer;
var
  Pattern, Replacement: Cardinal;
  PatternLength, ReplacementLength: Integer;
begin
  Result := KivInvalidArgument;
  if not KivEncode(CodePage, OldText, Pattern, PatternLength) then
    exit;
  if not KivEncode(CodePage, NewText, Replacement, ReplacementLength) then begin
    KivLocalFree(Pattern);
    exit;
  end;
  Result := KivReplaceMemory(FileName, Pattern, PatternLength, Replacement, ReplacementLength);
end;

function KivReplaceTextAnsi(const FileName, OldText, NewText: String): Integer;
begin
  Result := KivReplaceEncoded(KivAnsiCodePage, FileName, OldText, NewText);
end;

function KivReplaceTextUtf8(const FileName, OldText, NewText: String): Integer;
begin
  Result := KivReplaceEncoded(KivUtf8, FileName, OldText, NewText);
end;

function KivReplaceTextUtf16(const FileName, OldText, NewText: String): Integer;
begin
  Result := KivCopyError;
  if not KivCanWrite(FileName) then
    exit;
  Result := KivReplaceStringW(FileName, OldText, 2 * Length(OldText), NewText, 2 * Length(NewText));
end;

// Text in the file's own encoding: replaceTextW takes Setup's strings as
// they are (UTF-16) and writes them in the encoding the file's byte-order
// mark names (Encoding 0), or in the one named: 1 UTF-8, 2 UTF-16LE,
// 3 UTF-16BE, 4 the ANSI code page. 7 without a call when the file cannot be
// written, as for the other forms. An empty NewText deletes OldText, as the
// DLL's and the NSIS forms do.
function KivReplaceTextW(Path, Pattern, Replacement: String; Encoding: Integer): Integer;
  external 'replaceTextW@files:kivsubst.dll stdcall delayload';
// replaceTextW again, the replacement by its address: Setup hands an empty
// String to a DLL as a null pointer, which replaceTextW refuses (8), so an
// empty NewText, which deletes OldText, goes as memory of our own that
// holds one NUL code unit.
function KivReplaceTextP(Path, Pattern: String; Replacement: Cardinal; Encoding: Integer): Integer;
  external 'replaceTextW@files:kivsubst.dll stdcall delayload';

function KivReplaceTextAs(const FileName, OldText, NewText: String; Encoding: Integer): Integer;
var
  Nothing: Cardinal;
begin
  Result := KivCopyError;
  if not KivCanWrite(FileName) then
    exit;
  if NewText <> '' then begin
    Result := KivReplaceTextW(FileName, OldText, NewText, Encoding);
    exit;
  end;
  Result := KivNoMemory;
  Nothing := KivLocalAlloc(KivZeroInit, 2);
  if Nothing = 0 then
    exit;
  Result := KivReplaceTextP(FileName, OldText, Nothing, Encoding);
  KivLocalFree(Nothing);
end;

function KivReplaceText(const FileName, OldText, NewText: String): Integer;
begin
  Result := KivReplaceTextAs(FileName, OldText, NewText, 0);
end;

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
// memory: raw bytes cannot be built in a Pascal string, since Chr() goes
// through the ANSI code page for values of 128 and up. False, with nothing
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
  Result := KivInvalidArgument;
  if not KivHexToMemory(PatternHex, Pattern, PatternLength) then
    exit;
  if not KivHexToMemory(ReplacementHex, Replacement, ReplacementLength) then begin
    KivLocalFree(Pattern);
    exit;
  end;
  Result := KivReplaceMemory(FileName, Pattern, PatternLength, Replacement, ReplacementLength);
end;
