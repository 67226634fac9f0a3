/* SPDX-License-Identifier: Zlib */
/* kivcopy: copy one file for an installation program.
 *
 * The library exports KivCopyFile (and on Windows its wide twin,
 * KivCopyFileW) under its plain, undecorated name, so that an installer can
 * load the library and find the function by name. The library prints
 * nothing; every outcome is its result.
 */
#ifndef KIVCOPY_H
#define KIVCOPY_H

#include <stdint.h>
#if defined(_WIN32)
#include <wchar.h>
#endif

#if defined(_WIN32)
#  if defined(KIVCOPY_BUILDING)
#    define KIVCOPY_API __declspec(dllexport)
#  else
#    define KIVCOPY_API __declspec(dllimport)
#  endif
/* The calling convention of the export: __stdcall, the default of
   installer engines, unless the library was built for __cdecl (CMake
   option KIV_CDECL, which then defines KIV_CDECL here or for its users).
   64-bit Windows has a single calling convention: the compiler ignores
   both keywords there, so the switch changes nothing in a 64-bit DLL. */
#  if defined(KIV_CDECL)
#    define KIVCOPY_CALL __cdecl
#  else
#    define KIVCOPY_CALL __stdcall
#  endif
#else
#  define KIVCOPY_API __attribute__((visibility("default")))
#  define KIVCOPY_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results of KivCopyFile. */
#define KIVCOPY_OK                   0     /* copied, and both of the copy's times set */
#define KIVCOPY_SOURCE_NOT_OPENED    10    /* the source cannot be opened for reading */
#define KIVCOPY_TARGET_NOT_WRITTEN   (-5010) /* the target cannot be opened, written or closed */
#define KIVCOPY_SOURCE_NOT_READ (-5011) /* the source's status or a block of it cannot be read */
#define KIVCOPY_TARGET_EXISTS (-5048)   /* the target exists and replacing it was not allowed */
#define KIVCOPY_TIMES_NOT_SET        (-5074) /* copied, but the copy's times cannot be set */

KIVCOPY_API int32_t KIVCOPY_CALL KivCopyFile(const char *source, const char *target,
                                             int32_t overwrite);
/*
   Copies the file at `source` to `target` and then sets both the target's
   access time and its modification time to the source's last-access time
   (the modification time on file systems that keep no access time), at the
   full precision the file system keeps.

   `source` and `target` are NUL-terminated paths in the system's narrow
   encoding (on Windows the ANSI code page; text that is not valid there
   names no file). The target's directory must exist; no directory is created.
   `overwrite` 0 leaves an existing target alone; any other value replaces it.

   A new target is created exclusively, so that nothing that appears at its
   name while the copy runs is written into, and on POSIX with the source's
   permission bits less the umask, as cp makes it (the set-user-ID,
   set-group-ID and sticky bits are not carried over: the copy belongs to the
   caller). A replaced target keeps its own mode. A symbolic link at the
   target is written through only when it points at an existing file; a link
   to nothing gives KIVCOPY_TARGET_NOT_WRITTEN and creates nothing. The times
   are set through the open copy, never on whatever its name stands for
   afterwards. Like cp, the call follows symbolic links in the directories
   of both paths: a privileged caller must not pass paths through
   directories that others may write.

   Holes in the source stay holes in the copy, which so takes no more room
   on disk than the source, and the copy ends with the source's size: on
   Linux the holes are found with SEEK_DATA and SEEK_HOLE, only in a source
   whose blocks cover less than its size; on Windows they are the ranges of a
   sparse source that its volume lists as unallocated, and the copy is made
   sparse too. A volume that keeps or lists no holes gets every byte written,
   zeros included.

   On Linux the kernel moves each run of data where it can: the target
   shares the run's blocks with the source where both lie on one file system
   that can share blocks (btrfs, XFS; the copy is still a file of its own),
   else the kernel copies the run from file to file (copy_file_range), and
   only what it will not move passes through the block buffer. The outcome is
   the same whichever way the bytes went: the results below, the order of
   what is done to the target, its bytes, holes, size and times. A kernel
   call that fails part-way leaves the rest of the run to the block buffer,
   which tells a source that cannot be read from a target that cannot be
   written as below. The source's access time may stay as it was where its
   data are not read. On Windows every byte passes through the block buffer.

   Results, and what is left on disk after each:

     KIVCOPY_OK (0)                 The target holds a copy of the source, with
                                    the source's last-access time as both times.
     KIVCOPY_SOURCE_NOT_OPENED (10) The source is missing, unreadable, not a
                                    regular file (a directory, a FIFO, a
                                    device), or `source` is NULL. The target
                                    has not been created, opened or changed.
     KIVCOPY_TARGET_EXISTS (-5048)  `overwrite` is 0 and the target exists and
                                    can be opened for update or for writing.
                                    Nothing is changed and the source is not
                                    opened (unless the target appeared while
                                    the copy ran).
     KIVCOPY_TARGET_NOT_WRITTEN (-5010)
                                    The target cannot be opened for writing (a
                                    read-only file, a missing directory, an
                                    existing target that is not a regular file,
                                    `target` NULL), is the source itself under another
                                    name or link (nothing is touched then), or a
                                    block could not be written in full, or the
                                    target could not be moved past a hole or
                                    given the source's size, or could not be
                                    closed. A target that was
                                    opened is left with what had been written.
                                    A read-only target gives this result whatever
                                    `overwrite` is.
     KIVCOPY_SOURCE_NOT_READ (-5011)
                                    The source's status, one of its blocks, or
                                    where its holes lie could not be read. The target holds the
                                    blocks copied before the failure (none if the
                                    status could not be read).
     KIVCOPY_TIMES_NOT_SET (-5074)  The copy ran to its end but the target's
                                    times could not be set. This result wins
                                    over a failed close of the target.

   Calls share one block buffer (for the bytes that cross the process) and
   must not overlap: call from one thread at a time.
*/

#if defined(_WIN32)
KIVCOPY_API int32_t KIVCOPY_CALL KivCopyFileW(const wchar_t *source, const wchar_t *target,
                                              int32_t overwrite);
/*
   Windows only: KivCopyFile with its paths as UTF-16, as the system's own
   "W" functions take them; same calling convention, results and behaviour.
   Use it from Unicode programs and installers: the narrow KivCopyFile takes
   paths in the ANSI code page, which cannot name a folder whose name holds
   characters outside that code page (a user's name in another script, an
   emoji). Both forms reach paths longer than MAX_PATH (260 characters),
   plain or in \\?\ form.
*/
#endif

#ifdef __cplusplus
}
#endif

#endif /* KIVCOPY_H */
