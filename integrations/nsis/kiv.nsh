; SPDX-License-Identifier: Zlib
; kiv.nsh: kivcopy.dll, kivsubst.dll and kivtransaction.dll for NSIS installers,
; Unicode or ANSI.
;
;   !define KIV_DLL_DIR "path\to\the\32-bit\DLLs"   ; optional: default, beside this file
;   !include "kiv.nsh"
;
;   ${KivCopyFile}         SOURCE TARGET OVERWRITE $result
;   ${KivInstallFile}      SOURCE TARGET $result   ; replaces, now or at the next restart
;   ${KivInstallFileNow}   SOURCE TARGET $result   ; replaces now, or gives -5032
;   ${KivInstallFileReadOnly}     SOURCE TARGET $result   ; as ${KivInstallFile}, read-only targets too
;   ${KivInstallFileNowReadOnly}  SOURCE TARGET $result   ; as ${KivInstallFileNow}, read-only targets too
;   ${KivInstallByVersion} SOURCE TARGET MANIFEST_FOLDER FLAGS $result   ; replaces as versions say
;   ${KivInstallReason}    RESULT $words   ; why ${KivInstallByVersion} kept a target, for the log
;   ${KivReplaceString}    FILE PATTERN REPLACEMENT $result   ; text in the ANSI code page
;   ${KivReplaceUtf8}      FILE PATTERN REPLACEMENT $result   ; text stored as UTF-8
;   ${KivReplaceUtf16}     FILE PATTERN REPLACEMENT $result   ; text stored as UTF-16LE
;   ${KivReplaceHex}       FILE PATTERN_HEX REPLACEMENT_HEX $result   ; "00 ff 1a" or "00ff1a"
;   ${KivReplaceText}      FILE OLD NEW $result   ; text in the file's own encoding, by its mark
;   ${KivReplaceTextAs}    FILE OLD NEW ENCODING $result   ; 1 UTF-8, 2 UTF-16LE, 3 UTF-16BE, 4 ANSI
;
; Several files as one change (kivtransaction.dll): all old or all new after
; a cancel, a crash or a power cut.
;
;   ${KivRecover}                 JOURNAL_FOLDER $result   ; in .onInit: finishes or undoes an interrupted one
;   ${KivTransactionBegin}        JOURNAL_FOLDER $handle $result
;   ${KivTransactionInstall}      HANDLE SOURCE TARGET $result   ; replaces; waits for the restart if it must
;   ${KivTransactionInstallNow}   HANDLE SOURCE TARGET $result   ; replaces; a target in use fails the commit
;   ${KivTransactionMakeFolder}   HANDLE PATH $result   ; a new folder, there from the commit on
;   ${KivTransactionReplaceText}  HANDLE FILE OLD NEW $result    ; text in the file's own encoding
;   ${KivTransactionCommit}       HANDLE $result   ; 0 all new, 1 all new at the restart, else all old
;   ${KivTransactionAbort}        HANDLE $result   ; all old
;
; Each form extracts its DLL to $PLUGINSDIR on first use and calls it there
; by full path, with the stdcall convention the DLLs export. The result is
; the function's own: 0 and 10 and the negative codes of KivCopyFile, 0 to 8
; of replaceString (see the README), and 8 when a pattern is empty or a hex
; string is not whole pairs of hex digits (the DLL is then not called).
; The replace forms first open an existing FILE for writing as the DLL's
; write-back will (CreateFileW with GENERIC_WRITE, sharing reading, writing
; and deleting), and give 7 without calling the DLL when that fails (a file
; in use without such sharing, read only, or a loaded program), so that no
; temporary file is left behind. A file that another program maps may pass
; and still be refused by the DLL (7, the file unchanged, the result kept
; in its KIVn file) when the result is shorter.
;
;
; ${KivInstallFile} calls KivInstallFile with KIVINSTALL_REPLACE and
; KIVINSTALL_AT_RESTART (3): 0 when the target holds the new file, 1 when
; the new file takes its place at the next restart, and then it sets the
; installer's reboot flag (SetRebootFlag true), so that the finish page
; offers the restart and IfRebootFlag tells it. ${KivInstallFileNow} gives
; only KIVINSTALL_REPLACE (1): a target that is in use and cannot be renamed
; aside gives -5032 and is left as it was, the reboot flag untouched.
; ${KivInstallFileReadOnly} (7) and ${KivInstallFileNowReadOnly} (5) add
; KIVINSTALL_READ_ONLY (4): a read-only target is replaced too, as the
; engine's own File replaces one, and the new file keeps the read-only
; attribute; without it a read-only target gives -5010 and stays as it was.
;
; ${KivInstallByVersion} calls KivInstallFileEx with FLAGS as they are given
; (8 KIVINSTALL_BY_VERSION, with 16 KIVINSTALL_ALLOW_DOWNGRADE and 32
; KIVINSTALL_REPLACE_SAME_VERSION as the product needs, and 2 to allow the
; restart; any of them may be a variable) and MANIFEST_FOLDER, a folder the
; installer alone writes (under $INSTDIR: the form creates it), where the
; product's manifest lives from run to run; "" for none. It gives 0 when the
; target holds the new file, 1 at the next restart (the reboot flag is then
; set, as ${KivInstallFile} sets it), 2 to 5 when the target was kept as it
; is (the same bytes, a higher version or none in the new file, the same
; version of another's, a file the user changed), or a negative code.
; ${KivInstallReason} gives the words for a kept target's result, from the
; README's table ("kept: the installed version is higher, or the new file
; has none"), and "" for any other result.
;
; The transaction forms keep kivtransaction.dll loaded from the first call
; to the installer's end (it holds the open transactions). JOURNAL_FOLDER is
; a folder on the targets' volume that the installer alone writes (under
; $INSTDIR: the forms create it). A member that fails gives its own code and
; leaves only ${KivTransactionAbort}; ${KivTransactionCommit} gives 0 with
; every target new, 1 with every target new at the next restart (it then
; sets the reboot flag, as ${KivInstallFile} does), 4 when recovery must
; finish it, and a negative code with every target old. ${KivRecover} gives
; 0 (nothing to do), 2 (finished), 3 (undone), 4 (waits for the restart) or
; a negative code; call it in .onInit, so that an installer stopped in a
; transaction is finished or undone before anything else.
; ${KivTransactionMakeFolder} makes PATH under a hidden name beside where it
; goes; members whose targets are in PATH (spelled as here, either case)
; are staged inside it, and it takes its name at the commit, after them;
; an abort or an undo removes it. It gives 0, 5 where a folder is there
; already (members go into it as it is), -5048 where anything else is,
; -5010 where the folder that holds it cannot be written, and -6001 for an
; empty PATH.
;
; Paths: a Unicode installer hands them to the DLLs' wide exports
; (KivCopyFileW, KivInstallFileW, KivInstallFileExW, replaceStringW) as UTF-16, so any folder a user can have is
; reached; an ANSI installer, whose strings are in the ANSI code page
; already, calls the narrow ones. No path is ever converted to the code
; page, where a name outside it would become a best-fit look-alike ("Łódź"
; becomes "Lódz", another folder). Text for ${KivReplaceString} is converted
; to the ANSI code page without best fit: a character it cannot write
; becomes '?'; use ${KivReplaceUtf8} or ${KivReplaceUtf16} for other text.
; Registers $0-$9 and $R0-$R9 are left alone; the result may go to any of
; them.

!ifndef KIV_NSH_INCLUDED
!define KIV_NSH_INCLUDED

!ifndef KIV_DLL_DIR
  !define KIV_DLL_DIR "${__FILEDIR__}"
!endif

; How paths reach the DLLs: the System plug-in's type for them, and the
; suffix of the export that takes that type.
!ifdef NSIS_UNICODE
  !define _KIV_PATH w
  !define _KIV_W W
!else
  !define _KIV_PATH m
  !define _KIV_W ""
!endif

; Declares a scratch variable of the macros below on its first use, so that
; the caller's registers stay as they were and an installer that uses only
; some of the forms declares only what they use.
!macro _KivVariable NAME
  !ifndef _KIV_VARIABLE_${NAME}
    !define _KIV_VARIABLE_${NAME}
    Var /GLOBAL ${NAME}
  !endif
!macroend

; Puts NAME.dll into $PLUGINSDIR unless it is there already.
!macro _KivExtract NAME
  !define /redef _KIV_ID ${__COUNTER__}
  InitPluginsDir
  IfFileExists "$PLUGINSDIR\${NAME}.dll" _kiv_${_KIV_ID}_present
  File "/oname=$PLUGINSDIR\${NAME}.dll" "${KIV_DLL_DIR}\${NAME}.dll"
  _kiv_${_KIV_ID}_present:
!macroend

; Sets $_KivWritable to 0 when FILE exists as a file but cannot be opened
; for writing as the DLL's write-back opens it (GENERIC_WRITE, sharing
; reading, writing and deleting with every other holder); else to 1 (a
; missing file or a folder is left to the DLL, which answers 3). Opening
; for writing changes nothing in the file; the handle is closed at once.
!macro _KivCheckWritable FILE
  !define /redef _KIV_ID ${__COUNTER__}
  !insertmacro _KivVariable _KivWritable
  !insertmacro _KivVariable _KivHandle
  StrCpy $_KivWritable 1
  IfFileExists `${FILE}\*.*` _kiv_${_KIV_ID}_done
  IfFileExists `${FILE}` 0 _kiv_${_KIV_ID}_done
  Push `${FILE}`
  System::Call `kernel32::CreateFileW(w s, i 0x40000000, i 7, p 0, i 3, i 0x80, p 0) p .s`
  Pop $_KivHandle
  StrCmp $_KivHandle -1 0 _kiv_${_KIV_ID}_opened
  StrCpy $_KivWritable 0
  Goto _kiv_${_KIV_ID}_done
  _kiv_${_KIV_ID}_opened:
  System::Call `kernel32::CloseHandle(p $_KivHandle)`
  _kiv_${_KIV_ID}_done:
!macroend

!macro _KivCopyFile SOURCE TARGET OVERWRITE RESULT
  !insertmacro _KivExtract kivcopy
  Push `${OVERWRITE}`
  Push `${TARGET}`
  Push `${SOURCE}`
  System::Call `"$PLUGINSDIR\kivcopy.dll"::KivCopyFile${_KIV_W}(${_KIV_PATH} s, ${_KIV_PATH} s, i s) i .s ?u`
  Pop ${RESULT}
!macroend
!define KivCopyFile "!insertmacro _KivCopyFile"

!macro _KivInstallFile FLAGS SOURCE TARGET RESULT
  !define /redef _KIV_ID ${__COUNTER__}
  !insertmacro _KivExtract kivcopy
  Push `${FLAGS}`
  Push `${TARGET}`
  Push `${SOURCE}`
  System::Call `"$PLUGINSDIR\kivcopy.dll"::KivInstallFile${_KIV_W}(${_KIV_PATH} s, ${_KIV_PATH} s, i s) i .s ?u`
  !if ${FLAGS} & 2
    Exch $0
    StrCmp $0 1 0 _kiv_${_KIV_ID}_now
    SetRebootFlag true
    _kiv_${_KIV_ID}_now:
    Exch $0
  !endif
  Pop ${RESULT}
!macroend
!define KivInstallFile "!insertmacro _KivInstallFile 3"
!define KivInstallFileNow "!insertmacro _KivInstallFile 1"
!define KivInstallFileReadOnly "!insertmacro _KivInstallFile 7"
!define KivInstallFileNowReadOnly "!insertmacro _KivInstallFile 5"

; An empty MANIFEST_FOLDER goes to the DLL as a null pointer (no manifest),
; never as "", which names the installer's current folder.
!macro _KivInstallByVersion SOURCE TARGET MANIFEST FLAGS RESULT
  !define /redef _KIV_ID ${__COUNTER__}
  !insertmacro _KivExtract kivcopy
  StrCmp `${MANIFEST}` "" _kiv_${_KIV_ID}_bare
  CreateDirectory `${MANIFEST}`
  Push `${MANIFEST}`
  Push `${FLAGS}`
  Push `${TARGET}`
  Push `${SOURCE}`
  System::Call `"$PLUGINSDIR\kivcopy.dll"::KivInstallFileEx${_KIV_W}(${_KIV_PATH} s, ${_KIV_PATH} s, i s, ${_KIV_PATH} s) i .s ?u`
  Goto _kiv_${_KIV_ID}_called
  _kiv_${_KIV_ID}_bare:
  Push `${FLAGS}`
  Push `${TARGET}`
  Push `${SOURCE}`
  System::Call `"$PLUGINSDIR\kivcopy.dll"::KivInstallFileEx${_KIV_W}(${_KIV_PATH} s, ${_KIV_PATH} s, i s, p 0) i .s ?u`
  _kiv_${_KIV_ID}_called:
  Exch $0
  StrCmp $0 1 0 _kiv_${_KIV_ID}_now
  SetRebootFlag true
  _kiv_${_KIV_ID}_now:
  Exch $0
  Pop ${RESULT}
!macroend
!define KivInstallByVersion "!insertmacro _KivInstallByVersion"

; The words of the README's table for each kept result, one per result.
!macro _KivInstallReason RESULT WORDS
  !insertmacro _KivVariable _KivReason
  StrCpy $_KivReason ""
  StrCmp `${RESULT}` 2 0 +2
  StrCpy $_KivReason "kept: the same bytes are installed"
  StrCmp `${RESULT}` 3 0 +2
  StrCpy $_KivReason "kept: the installed version is higher, or the new file has none"
  StrCmp `${RESULT}` 4 0 +2
  StrCpy $_KivReason "kept: the same version, other bytes, and the installed file is not ours"
  StrCmp `${RESULT}` 5 0 +2
  StrCpy $_KivReason "kept: neither has a version, and the installed file is not what was installed there last"
  StrCpy ${WORDS} $_KivReason
!macroend
!define KivInstallReason "!insertmacro _KivInstallReason"

; Encodes TEXT, an engine string, in code page CODEPAGE (0: the ANSI code
; page, 65001: UTF-8) into new memory: $_KivBuffer holds its address and
; $_KivLength the bytes, without the terminating NUL. A character that the
; ANSI code page cannot write becomes '?', never a look-alike.
!macro _KivEncode CODEPAGE TEXT
  !insertmacro _KivVariable _KivBuffer
  !insertmacro _KivVariable _KivLength
  !insertmacro _KivVariable _KivFlags
  !if ${CODEPAGE} == 65001
    StrCpy $_KivFlags 0
  !else
    StrCpy $_KivFlags 0x400 ; WC_NO_BEST_FIT_CHARS
  !endif
  Push `${TEXT}`
  System::Call `kernel32::WideCharToMultiByte(i ${CODEPAGE}, i $_KivFlags, w s, i -1, p 0, i 0, p 0, p 0) i .s`
  Pop $_KivLength
  IntOp $_KivLength $_KivLength + 1
  System::Alloc $_KivLength
  Pop $_KivBuffer
  Push `${TEXT}`
  System::Call `kernel32::WideCharToMultiByte(i ${CODEPAGE}, i $_KivFlags, w s, i -1, p $_KivBuffer, i $_KivLength, p 0, p 0) i .s`
  Pop $_KivLength
  IntOp $_KivLength $_KivLength - 1
!macroend

; The variables that hold the two sides of a replacement in memory.
!macro _KivSides
  !insertmacro _KivVariable _KivPattern
  !insertmacro _KivVariable _KivPatternLength
  !insertmacro _KivVariable _KivReplacement
  !insertmacro _KivVariable _KivReplacementLength
!macroend

; Calls replaceString on FILE with the bytes in $_KivPattern and
; $_KivReplacement ($_KivPatternLength and $_KivReplacementLength of them),
; frees both buffers and pops the result into RESULT: 8 without a call when
; the pattern is empty or either side invalid (a length below 0), 7 without
; a call when FILE cannot be written.
!macro _KivCallReplace FILE RESULT
  !define /redef _KIV_ID_CALL ${__COUNTER__}
  !insertmacro _KivExtract kivsubst
  IntCmp $_KivPatternLength 0 _kiv_${_KIV_ID_CALL}_invalid _kiv_${_KIV_ID_CALL}_invalid
  IntCmp $_KivReplacementLength 0 0 _kiv_${_KIV_ID_CALL}_invalid
  !insertmacro _KivCheckWritable `${FILE}`
  StrCmp $_KivWritable 0 _kiv_${_KIV_ID_CALL}_in_use
  Push $_KivReplacementLength
  Push $_KivReplacement
  Push $_KivPatternLength
  Push $_KivPattern
  Push `${FILE}`
  System::Call `"$PLUGINSDIR\kivsubst.dll"::replaceString${_KIV_W}(${_KIV_PATH} s, p s, i s, p s, i s) i .s ?u`
  Goto _kiv_${_KIV_ID_CALL}_called
  _kiv_${_KIV_ID_CALL}_invalid:
    Push 8
    Goto _kiv_${_KIV_ID_CALL}_called
  _kiv_${_KIV_ID_CALL}_in_use:
    Push 7
  _kiv_${_KIV_ID_CALL}_called:
  System::Free $_KivPattern
  System::Free $_KivReplacement
  Pop ${RESULT}
!macroend

; Text in the ANSI code page, or in UTF-8: each side encoded into memory of
; its own and passed with its length in bytes.
!macro _KivReplaceEncoded CODEPAGE FILE PATTERN REPLACEMENT RESULT
  !insertmacro _KivSides
  !insertmacro _KivEncode ${CODEPAGE} `${PATTERN}`
  StrCpy $_KivPattern $_KivBuffer
  StrCpy $_KivPatternLength $_KivLength
  !insertmacro _KivEncode ${CODEPAGE} `${REPLACEMENT}`
  StrCpy $_KivReplacement $_KivBuffer
  StrCpy $_KivReplacementLength $_KivLength
  !insertmacro _KivCallReplace `${FILE}` ${RESULT}
!macroend
!define KivReplaceString "!insertmacro _KivReplaceEncoded 0"
!define KivReplaceUtf8 "!insertmacro _KivReplaceEncoded 65001"

; UTF-16LE: the System plug-in hands a "w" string over as UTF-16LE in memory,
; two bytes a code unit, without its terminating NUL in the length.
!macro _KivReplaceUtf16 FILE PATTERN REPLACEMENT RESULT
  !define /redef _KIV_ID_CALL ${__COUNTER__}
  !insertmacro _KivVariable _KivLength
  !insertmacro _KivVariable _KivPatternLength
  !insertmacro _KivVariable _KivReplacementLength
  !insertmacro _KivExtract kivsubst
  !insertmacro _KivCheckWritable `${FILE}`
  StrCmp $_KivWritable 0 _kiv_${_KIV_ID_CALL}_in_use
  Push `${REPLACEMENT}`
  System::Call `kernel32::lstrlenW(w s) i .s`
  Pop $_KivLength
  IntOp $_KivReplacementLength $_KivLength * 2
  Push `${PATTERN}`
  System::Call `kernel32::lstrlenW(w s) i .s`
  Pop $_KivLength
  IntOp $_KivPatternLength $_KivLength * 2
  Push $_KivReplacementLength
  Push `${REPLACEMENT}`
  Push $_KivPatternLength
  Push `${PATTERN}`
  Push `${FILE}`
  System::Call `"$PLUGINSDIR\kivsubst.dll"::replaceString${_KIV_W}(${_KIV_PATH} s, w s, i s, w s, i s) i .s ?u`
  Goto _kiv_${_KIV_ID_CALL}_called
  _kiv_${_KIV_ID_CALL}_in_use:
    Push 7
  _kiv_${_KIV_ID_CALL}_called:
  Pop ${RESULT}
!macroend
!define KivReplaceUtf16 "!insertmacro _KivReplaceUtf16"

; Decodes the hex digits in $_KivHex (pairs, spaces between them allowed)
; into a new buffer: $_KivBuffer holds its address and $_KivLength the bytes
; in it, or $_KivLength is -1 when the text is not whole pairs of digits.
!macro _KivDecodeHex
  !define /redef _KIV_ID ${__COUNTER__}
  !insertmacro _KivVariable _KivIndex
  !insertmacro _KivVariable _KivPair
  !insertmacro _KivVariable _KivByte
  !insertmacro _KivVariable _KivCheck
  !insertmacro _KivVariable _KivBuffer
  !insertmacro _KivVariable _KivLength
  !insertmacro _KivVariable _KivAt
  StrLen $_KivLength $_KivHex
  IntOp $_KivLength $_KivLength / 2
  IntOp $_KivLength $_KivLength + 1
  System::Alloc $_KivLength
  Pop $_KivBuffer
  StrCpy $_KivIndex 0
  StrCpy $_KivLength 0
  _kiv_${_KIV_ID}_next:
    StrCpy $_KivPair $_KivHex 1 $_KivIndex
    StrCmp $_KivPair "" _kiv_${_KIV_ID}_done
    StrCmp $_KivPair " " 0 _kiv_${_KIV_ID}_pair
    IntOp $_KivIndex $_KivIndex + 1
    Goto _kiv_${_KIV_ID}_next
  _kiv_${_KIV_ID}_pair:
    StrCpy $_KivPair $_KivHex 2 $_KivIndex
    ; A pair is valid when it reads back the same: IntOp takes what it can
    ; of "0x" and the pair, and StrCmp ignores case.
    IntOp $_KivByte 0x$_KivPair + 0
    IntFmt $_KivCheck "%02x" $_KivByte
    StrCmp $_KivCheck $_KivPair 0 _kiv_${_KIV_ID}_invalid
    IntOp $_KivAt $_KivBuffer + $_KivLength
    System::Call `*$_KivAt(&i1 $_KivByte)`
    IntOp $_KivLength $_KivLength + 1
    IntOp $_KivIndex $_KivIndex + 2
    Goto _kiv_${_KIV_ID}_next
  _kiv_${_KIV_ID}_invalid:
    StrCpy $_KivLength -1
  _kiv_${_KIV_ID}_done:
!macroend

!macro _KivReplaceHex FILE PATTERN_HEX REPLACEMENT_HEX RESULT
  !insertmacro _KivSides
  !insertmacro _KivVariable _KivHex
  StrCpy $_KivHex `${PATTERN_HEX}`
  !insertmacro _KivDecodeHex
  StrCpy $_KivPattern $_KivBuffer
  StrCpy $_KivPatternLength $_KivLength
  StrCpy $_KivHex `${REPLACEMENT_HEX}`
  !insertmacro _KivDecodeHex
  StrCpy $_KivReplacement $_KivBuffer
  StrCpy $_KivReplacementLength $_KivLength
  !insertmacro _KivCallReplace `${FILE}` ${RESULT}
!macroend
!define KivReplaceHex "!insertmacro _KivReplaceHex"

; Text in the file's own encoding: replaceTextW writes OLD and NEW in the
; encoding the file's byte-order mark names (ENCODING 0: UTF-8 without a
; mark when all of the file is, else 9), or in the one named, and matches
; whole characters only. The System plug-in hands "w" strings over as
; UTF-16 from Unicode and ANSI installers alike, so both call the wide
; export. 7 without a call when FILE cannot be written, as for the others.
!macro _KivReplaceText ENCODING FILE PATTERN REPLACEMENT RESULT
  !define /redef _KIV_ID_CALL ${__COUNTER__}
  !insertmacro _KivExtract kivsubst
  !insertmacro _KivCheckWritable `${FILE}`
  StrCmp $_KivWritable 0 _kiv_${_KIV_ID_CALL}_in_use
  Push `${ENCODING}`
  Push `${REPLACEMENT}`
  Push `${PATTERN}`
  Push `${FILE}`
  System::Call `"$PLUGINSDIR\kivsubst.dll"::replaceTextW(w s, w s, w s, i s) i .s ?u`
  Goto _kiv_${_KIV_ID_CALL}_called
  _kiv_${_KIV_ID_CALL}_in_use:
    Push 7
  _kiv_${_KIV_ID_CALL}_called:
  Pop ${RESULT}
!macroend
!define KivReplaceText "!insertmacro _KivReplaceText 0"

!macro _KivReplaceTextAs FILE PATTERN REPLACEMENT ENCODING RESULT
  !insertmacro _KivReplaceText `${ENCODING}` `${FILE}` `${PATTERN}` `${REPLACEMENT}` ${RESULT}
!macroend
!define KivReplaceTextAs "!insertmacro _KivReplaceTextAs"

; Puts kivtransaction.dll into $PLUGINSDIR and loads it there for good: a
; transaction lives in the DLL from its begin to its commit or abort.
!macro _KivLoadTransactions
  !insertmacro _KivExtract kivtransaction
  !insertmacro _KivVariable _KivTransactions
  StrCmp $_KivTransactions "" 0 +3
  System::Call `kernel32::LoadLibrary(t "$PLUGINSDIR\kivtransaction.dll") p .s`
  Pop $_KivTransactions
!macroend

!macro _KivRecover FOLDER RESULT
  !insertmacro _KivLoadTransactions
  CreateDirectory `${FOLDER}`
  Push `${FOLDER}`
  System::Call `"$PLUGINSDIR\kivtransaction.dll"::KivRecover${_KIV_W}(${_KIV_PATH} s) i .s`
  Pop ${RESULT}
!macroend
!define KivRecover "!insertmacro _KivRecover"

; The handle comes back through memory of the macro's own, so that the
; stack holds one result at a time.
!macro _KivTransactionBegin FOLDER HANDLE RESULT
  !insertmacro _KivLoadTransactions
  !insertmacro _KivVariable _KivBuffer
  CreateDirectory `${FOLDER}`
  System::Alloc 4
  Pop $_KivBuffer
  Push `${FOLDER}`
  System::Call `"$PLUGINSDIR\kivtransaction.dll"::KivTransactionBegin${_KIV_W}(${_KIV_PATH} s, p $_KivBuffer) i .s`
  System::Call `*$_KivBuffer(i .s)`
  Pop ${HANDLE}
  System::Free $_KivBuffer
  Pop ${RESULT}
!macroend
!define KivTransactionBegin "!insertmacro _KivTransactionBegin"

!macro _KivTransactionInstall FLAGS HANDLE SOURCE TARGET RESULT
  !insertmacro _KivLoadTransactions
  Push `${FLAGS}`
  Push `${TARGET}`
  Push `${SOURCE}`
  Push `${HANDLE}`
  System::Call `"$PLUGINSDIR\kivtransaction.dll"::KivTransactionInstall${_KIV_W}(i s, ${_KIV_PATH} s, ${_KIV_PATH} s, i s) i .s`
  Pop ${RESULT}
!macroend
!define KivTransactionInstall "!insertmacro _KivTransactionInstall 3"
!define KivTransactionInstallNow "!insertmacro _KivTransactionInstall 1"

!macro _KivTransactionMakeFolder HANDLE PATH RESULT
  !insertmacro _KivLoadTransactions
  Push `${PATH}`
  Push `${HANDLE}`
  System::Call `"$PLUGINSDIR\kivtransaction.dll"::KivTransactionMakeFolder${_KIV_W}(i s, ${_KIV_PATH} s) i .s`
  Pop ${RESULT}
!macroend
!define KivTransactionMakeFolder "!insertmacro _KivTransactionMakeFolder"

; The text goes to the wide export from Unicode and ANSI installers alike,
; as ${KivReplaceText}'s does, in the file's own encoding.
!macro _KivTransactionReplaceText HANDLE FILE PATTERN REPLACEMENT RESULT
  !insertmacro _KivLoadTransactions
  Push 0
  Push `${REPLACEMENT}`
  Push `${PATTERN}`
  Push `${FILE}`
  Push `${HANDLE}`
  System::Call `"$PLUGINSDIR\kivtransaction.dll"::KivTransactionReplaceTextW(i s, w s, w s, w s, i s) i .s`
  Pop ${RESULT}
!macroend
!define KivTransactionReplaceText "!insertmacro _KivTransactionReplaceText"

!macro _KivTransactionCommit HANDLE RESULT
  !define /redef _KIV_ID ${__COUNTER__}
  !insertmacro _KivLoadTransactions
  Push `${HANDLE}`
  System::Call `"$PLUGINSDIR\kivtransaction.dll"::KivTransactionCommit(i s) i .s`
  Exch $0
  StrCmp $0 1 0 _kiv_${_KIV_ID}_now
  SetRebootFlag true
  _kiv_${_KIV_ID}_now:
  Exch $0
  Pop ${RESULT}
!macroend
!define KivTransactionCommit "!insertmacro _KivTransactionCommit"

!macro _KivTransactionAbort HANDLE RESULT
  !insertmacro _KivLoadTransactions
  Push `${HANDLE}`
  System::Call `"$PLUGINSDIR\kivtransaction.dll"::KivTransactionAbort(i s) i .s`
  Pop ${RESULT}
!macroend
!define KivTransactionAbort "!insertmacro _KivTransactionAbort"

!endif
