/* SPDX-License-Identifier: Zlib */
/* kivsubst: replace a byte string, or text in the file's own encoding,
 * throughout a file, in place.
 *
 * The library exports replaceString and replaceText (and on Windows their
 * wide twins, replaceStringW and replaceTextW) under their plain,
 * undecorated names, so that an installer can load the library and find
 * each function by name.
 */
#ifndef KIVSUBST_H
#define KIVSUBST_H

#include <stdint.h>
#if defined(_WIN32)
#include <wchar.h>
#endif

#if defined(_WIN32)
#  if defined(KIVSUBST_BUILDING)
#    define KIVSUBST_API __declspec(dllexport)
#  else
#    define KIVSUBST_API __declspec(dllimport)
#  endif
/* The calling convention of the export: __stdcall, the default of
   installer engines, unless the library was built for __cdecl (CMake
   option KIV_CDECL, which then defines KIV_CDECL here or for its users).
   64-bit Windows has a single calling convention: the compiler ignores
   both keywords there, so the switch changes nothing in a 64-bit DLL. */
#  if defined(KIV_CDECL)
#    define KIVSUBST_CALL __cdecl
#  else
#    define KIVSUBST_CALL __stdcall
#  endif
#else
#  define KIVSUBST_API __attribute__((visibility("default")))
#  define KIVSUBST_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results of replaceString, with the line each failure prints. */
#define KIVSUBST_REPLACED          0 /* at least one occurrence replaced */
#define KIVSUBST_NOT_FOUND         1 /* no occurrence; the file is as it was */
#define KIVSUBST_NO_TEMP_NAME      2 /* "Cannot create temporary file; rc=2" */
#define KIVSUBST_CANNOT_OPEN       3 /* "Cannot open <path>; rc=3" */
#define KIVSUBST_NO_TEMP_FILE      4 /* "Cannot open temporary file <name>; rc=4" */
#define KIVSUBST_NO_MEMORY         6 /* "Memory allocation error; rc=6" */
#define KIVSUBST_COPY_ERROR        7 /* "File copy error" */
#define KIVSUBST_INVALID_ARGUMENT  8 /* "Invalid argument; rc=8" */
#define KIVSUBST_BAD_ENCODING      9 /* "Cannot match the encoding of <path>; rc=9" */

/* The encodings of replaceText's text, its `encoding` argument. */
#define KIVSUBST_ENCODING_FROM_MARK 0 /* the file's byte-order mark; none: UTF-8 */
#define KIVSUBST_ENCODING_UTF8      1
#define KIVSUBST_ENCODING_UTF16LE   2
#define KIVSUBST_ENCODING_UTF16BE   3
#define KIVSUBST_ENCODING_ANSI      4 /* the ANSI code page (Windows only) */

KIVSUBST_API int32_t KIVSUBST_CALL replaceString(const char *path, const void *pattern,
                                                 int32_t patternLength, const void *replacement,
                                                 int32_t replacementLength);
/*
   Replaces every occurrence of the `patternLength` bytes at `pattern` in the
   file at `path` with the `replacementLength` bytes at `replacement`. Bytes
   are compared raw (NUL bytes and UTF-16 text included). Occurrences are
   found from left to right and never overlap; a replacement is never searched
   again. The file keeps its identity (inode, owner, mode, hard links) and,
   where the caller may set them (its owner, or root), the access and
   modification times it had before the call; otherwise the times show the
   write. On POSIX it also keeps its set-user-ID and set-group-ID bits where
   the caller may set them (its owner, or root) and its file capabilities
   where the caller may set those (root). A file patched to the same length
   therefore keeps its size and both times: tools that compare size and time
   (rsync -a, make) do not see the change.

   The file written back is the very file that was read: if its name stands
   for another file by then, nothing is written (result 7, the result kept in
   the temporary file). Like cp and sed, the call follows symbolic links in
   the directories of `path` and of TMP: a privileged caller must not pass
   paths through directories that others may write. A hard link that another
   user made is the same file (Linux's fs.protected_hardlinks, on by default,
   is what stops that).

   The result is built in a temporary file named "KIV" and a number, in the
   directory named by the environment variable TMP (quotes around it are
   allowed), else in the file's own directory, else in the root directory,
   else in the current one. That directory is opened once, not through a link
   at its own name (a TMP that is itself a symbolic link gives 4); the
   temporary file is created, synced and deleted through it, and the file is
   opened through it when it is the file's own directory. The temporary file
   is created exclusively with
   owner-only access and made durable before the file is overwritten, and the
   file is made durable before the temporary file is deleted, so that a crash
   at any moment leaves the old or the new content whole on disk. The file is
   rewritten even when nothing is found.

   On POSIX the temporary file is locked (flock) while its call lives, and
   each call first reads the temporary file's directory once and removes
   what calls killed before their end left there: "KIV" files that are
   regular files of the caller's with mode 0600 and one name, that no call
   holds locked (and the other leftovers that KivInstallFile settles). A
   temporary file kept with the result (7) is given the sticky bit (mode
   1600) and stays; so does a "KIV" file of another mode, or another user's.
   The temporary file carries the same mark from just before it is made
   durable until the file written back is durable and the temporary file
   is deleted: a call killed, or cut off by a power cut, while it writes the
   result over the file leaves the complete result marked, where no later
   call takes it. On Windows nothing is removed.

   `path` is a NUL-terminated path in the system's narrow encoding (on
   Windows the ANSI code page; text that is not valid there names no file
   and gives 3).
   `patternLength` must be at least 1 and `replacementLength` at least 0;
   `replacement` may be NULL when `replacementLength` is 0.

   Each failure prints one line on standard output, as shown above, ending in
   a line feed. Results, and what is left on disk after each:

     KIVSUBST_REPLACED (0), KIVSUBST_NOT_FOUND (1)
         The file holds the result (for 1: its old bytes) with its old times.
         No temporary file is left.
     KIVSUBST_NO_TEMP_NAME (2), KIVSUBST_CANNOT_OPEN (3),
     KIVSUBST_NO_TEMP_FILE (4), KIVSUBST_NO_MEMORY (6),
     KIVSUBST_INVALID_ARGUMENT (8)
         Nothing is changed and no temporary file is left. Only a regular
         file can be opened as the file: a directory, a FIFO or a device
         gives 3 at once.
     KIVSUBST_COPY_ERROR (7)
         The result could not be written. If the temporary file could not be
         written in full (a full disk, an I/O error), it is removed and the
         file is unchanged. If the file could not be overwritten, the temporary
         file is kept with the complete result (on POSIX with mode 1600,
         which later calls leave alone); where the file system can reserve
         space, a full disk is found before the file is touched, and the
         file is unchanged.

   Calls may be made from several threads at once on different files: each
   has buffers of its own, and the temporary names come from one sequence
   in the process that gives each number once per turn of its cycle.
*/

#if defined(_WIN32)
KIVSUBST_API int32_t KIVSUBST_CALL replaceStringW(const wchar_t *path, const void *pattern,
                                                  int32_t patternLength, const void *replacement,
                                                  int32_t replacementLength);
/*
   Windows only: replaceString with its path as UTF-16, as the system's own
   "W" functions take it; same calling convention, results and failure lines
   (a path in a line is written in the ANSI code page, '?' for a character
   that has no equivalent there). Use it from Unicode programs and
   installers: the narrow replaceString takes its path in the ANSI code
   page, which cannot name a folder whose name holds characters outside that
   code page. Both forms reach paths longer than MAX_PATH (260 characters),
   plain or in \\?\ form, and read TMP as UTF-16, so a TMP outside the code
   page works for both.
*/
#endif

KIVSUBST_API int32_t KIVSUBST_CALL replaceText(const char *path, const char *pattern,
                                               const char *replacement, int32_t encoding);
/*
   Replaces every occurrence of the text `pattern` in the file at `path`
   with the text `replacement`, both written in the file's own encoding
   first, so that an installer hands over text, not bytes. `pattern` (at
   least one character) and `replacement` (may be empty) are NUL-terminated
   UTF-8 text; `path` is as for replaceString.

   `encoding` is one of:
     KIVSUBST_ENCODING_FROM_MARK (0)  the file's byte-order mark says: EF BB BF
         UTF-8, FF FE UTF-16LE, FE FF UTF-16BE. A file without a mark is
         UTF-8 when all of it is valid UTF-8; otherwise its encoding cannot
         be told (9).
     KIVSUBST_ENCODING_UTF8 (1), KIVSUBST_ENCODING_UTF16LE (2),
     KIVSUBST_ENCODING_UTF16BE (3)  that encoding, with its own mark or
         none; a file that begins with another encoding's mark (FE FF named
         UTF-16LE, FF FE named UTF-16BE, either named UTF-8, any named
         ANSI) gives 9. Under a
         UTF-16 name the bytes EF BB BF count as text, not as a mark.
     KIVSUBST_ENCODING_ANSI (4)  the ANSI code page, on Windows only
         (elsewhere 8). A character the code page has no bytes for is never
         written as a look-alike: the call gives 9. In a double-byte code
         page (932, 936, 949, 950) an occurrence counts only where a
         character starts, never on a character's second byte.

   In UTF-16 an occurrence counts only on whole code units, at even offsets
   from the file's start, so that a surrogate pair is matched whole and a
   pattern never matches across two characters. A byte-order mark is never
   matched, changed, added or removed, and every byte outside a replaced
   occurrence stays as it was, line ends included.

   Everything else is as for replaceString: the temporary file, the
   write-back, the file's identity and times, durability, the results 0 to
   8 and their lines, and what each leaves on disk. Beyond those:

     KIVSUBST_BAD_ENCODING (9)  "Cannot match the encoding of <path>; rc=9":
         the file's encoding cannot be told (no mark under 0, and not UTF-8
         throughout), its mark names another encoding than the one named,
         or the text cannot be written in it (a character
         outside the ANSI code page, invalid UTF-8 text, or for
         replaceTextW a surrogate without its other half). Nothing is
         changed and no temporary file is left.
     KIVSUBST_INVALID_ARGUMENT (8) also for a NULL path, pattern or
         replacement, an empty pattern, or an encoding not listed above.
*/

#if defined(_WIN32)
KIVSUBST_API int32_t KIVSUBST_CALL replaceTextW(const wchar_t *path, const wchar_t *pattern,
                                                const wchar_t *replacement, int32_t encoding);
/*
   Windows only: replaceText with its path, pattern and replacement as
   UTF-16, as Unicode installers hold their strings; same calling
   convention, encodings, results and lines.
*/
#endif

#ifdef __cplusplus
}
#endif

#endif /* KIVSUBST_H */
