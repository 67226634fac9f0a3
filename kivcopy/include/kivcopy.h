/* SPDX-License-Identifier: Zlib */
/* kivcopy: copy one file for an installation program.
 *
 * The library exports KivCopyFile, KivInstallFile, KivFileVersion and
 * KivInstallFileEx (and on Windows their wide twins, KivCopyFileW,
 * KivInstallFileW, KivInstallFileExW and
 * KivFileVersionW) under their plain,
 * undecorated names, so that an installer can load the library and find
 * each function by name. The library prints
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

   Calls may be made from several threads at once. The library keeps one
   block buffer (for the bytes that cross the process), which a call
   borrows; a call that overlaps another takes a buffer of its own from
   the heap for its duration (where the heap has no room it waits for the
   library's), so calls at once never share one. Two copies at once onto
   one target write into the same file: use KivInstallFile for that.
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

/* Flags of KivInstallFile. */
#define KIVINSTALL_REPLACE           1     /* an existing target may be replaced */
#define KIVINSTALL_AT_RESTART        2     /* a target in use may be replaced at the next restart */
#define KIVINSTALL_READ_ONLY         4     /* a read-only target may be replaced, the attribute kept (Windows) */

/* Results of KivInstallFile beside KivCopyFile's. */
#define KIVINSTALL_RESTART_NEEDED    1     /* the new file takes the target's place at the next restart */
#define KIVINSTALL_IN_USE            (-5032) /* the target is in use; nothing changed */

KIVCOPY_API int32_t KIVCOPY_CALL KivInstallFile(const char *source, const char *target,
                                                int32_t flags);
/*
   Installs a copy of `source` at `target` as an installer needs it: the
   target holds the old file or the new one at every moment, never a part
   of either and never nothing, even after the process is killed or the
   power fails, and a target that another program uses is replaced all the
   same (Windows), or at the next restart. KivCopyFile is unchanged beside it.

   The new file is written whole beside the target, in the same folder,
   under a hidden name (".NAME.kiv-new-" and 16 hex digits; a NAME longer
   than 229 bytes, or UTF-16 units on Windows, cut to whole characters and
   marked by a "." after it, within the 255 that file systems keep) that is
   created exclusively, so nothing is ever written through a name someone
   planted; then it takes the target's name by one rename. Its times are stamped as
   KivCopyFile stamps a copy (both are the source's last-access time). It
   takes the replaced target's mode (and, when the caller is root, its owner
   and group; the set-ID and sticky bits only where it has the target's
   owner and group; on Windows its hidden and system attributes), else the
   mode that KivCopyFile gives a new file. On POSIX it takes them only where
   the folder vouches for the target: the folder is root's, the target's
   owner's or the caller's, and no one else may add names to it (no group
   or other write bit, sticky or not); elsewhere the new file is the
   caller's, with the mode of a new file. The new file's data are synced
   before the rename, and the rename is made durable before the call
   returns: on POSIX the folder is synced after it (where the caller may
   write the folder but not read it, which stops a folder's own sync, all
   file systems are synced instead); on Windows the rename is made with
   MOVEFILE_WRITE_THROUGH and the folder is then flushed (FlushFileBuffers
   on the folder opened for writing with backup semantics), where the
   caller may open it so and its file system offers that. After 0 (or
   KIVCOPY_TIMES_NOT_SET) the target holds the new file even after a power
   cut. A process killed before the rename may leave the staged file
   beside the target, which the next call in that folder removes (see
   below). A symbolic link at the target is
   replaced by the new file, not written through, and lends it nothing
   (the new file gets a new file's mode); without KIVINSTALL_REPLACE a link
   counts as an existing target, also one that points at nothing. Paths
   are as KivCopyFile takes them.

   `flags`: KIVINSTALL_REPLACE (1) lets an existing target be replaced;
   without it an existing target gives KIVCOPY_TARGET_EXISTS and nothing
   changes, also when a file appears at the name while the call runs.
   KIVINSTALL_AT_RESTART (2) lets a target that cannot be replaced now be
   replaced at the next restart. KIVINSTALL_READ_ONLY (4), with
   KIVINSTALL_REPLACE, lets a read-only target be replaced (Windows): the
   new file is given the read-only attribute after it is written, before
   it takes the name, and the old file's attribute is taken off, through a
   handle of the file that was looked at, just before the rename (the
   system refuses to replace a read-only file) and put back if the install
   then fails. An old file that waits for the next restart stays without
   it until then. Without the flag a read-only target gives
   KIVCOPY_TARGET_NOT_WRITTEN and nothing changes. On POSIX the flag
   changes nothing: a read-only mode never stops a rename, and the new file
   takes the old one's mode either way.

   A target in use (Windows): if it can be renamed, as a running program or
   a loaded DLL can, it is renamed aside (".NAME.kiv-old-" and 16 hex
   digits), the new file takes its name, and the aside file is deleted now
   if it is free, else at the next restart; where the system refuses to
   queue that, a later call in the same folder deletes it once it is free.
   The result is 0. A call killed between the two renames leaves the old
   file whole at ".NAME.kiv-was-" and 16 hex digits, which the next call in
   the folder renames back to the target's name if that is still empty
   (where NAME was cut, the file stays for the user to rename back). A target that cannot be renamed either (held open
   without delete sharing) is, with KIVINSTALL_AT_RESTART, replaced at the
   next restart by the new file, which waits beside it under its hidden name
   (MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING), result 1;
   without it the result is KIVINSTALL_IN_USE and nothing is left behind.

   What killed calls left: the call first reads the target's folder once
   and settles what calls killed before their end left there. On POSIX it
   removes staged files (".NAME.kiv-new-"), kivsubst's numbered temporary
   files ("KIV" and a number, mode 0600) and the front end's private
   directories (".NAME.kiv-dir-", with the links or FIFOs in them). Each
   live call holds what it stages locked (flock) from its creation, and
   the settling takes only a regular file of the caller's with one name (a private directory: the
   caller's, mode 0700, holding no directory), not locked and without the
   sticky bit, never through a link, and removes it only while its name
   still leads to the file it checked: another user's file, one with
   another name, a link or a FIFO that bears one of these names stays. On
   Windows a staged file stays, as a live call's cannot be told from a
   killed one's there; the aside files are settled as described above.

   Before it returns 0 or 1 the call takes out of the restart entries
   (PendingFileRenameOperations and PendingFileRenameOperations2) every pair
   that an earlier run queued and that would undo this install: a deletion
   of the target, a rename onto it, a rename away from it, however the
   entry spells the target (case, "\??\" or "\\?\" prefix, 8.3 short names,
   or any path to the target's file while it has no other name). Every
   other entry stays as it was. A caller that may not write the machine's
   settings (not an administrator) leaves them as they are.

   On POSIX the target is replaced by the rename, a running program keeps
   its old file, and neither 1 nor KIVINSTALL_IN_USE is ever returned.

   Results, and what is left on disk after each:

     0                              The target holds the new file.
     KIVINSTALL_RESTART_NEEDED (1)  The target is unchanged; the new file waits
                                    beside it and takes its place at the next
                                    restart.
     KIVINSTALL_IN_USE (-5032)      The target is in use and
                                    KIVINSTALL_AT_RESTART was not given;
                                    nothing changed and nothing was queued.
     KIVCOPY_SOURCE_NOT_OPENED (10) As KivCopyFile; nothing changed.
     KIVCOPY_TARGET_EXISTS (-5048)  KIVINSTALL_REPLACE was not given and the
                                    target exists; nothing changed.
     KIVCOPY_TARGET_NOT_WRITTEN (-5010)
                                    The new file could not be made, written or
                                    put in place, the target is not a regular
                                    file, is read-only (Windows) and
                                    KIVINSTALL_READ_ONLY was not given, or is
                                    the source itself; a read-only target was
                                    swapped for another file while the call
                                    ran; or the replacement at the next
                                    restart could not be queued. The target is
                                    as it was; no staged file stays, except
                                    out of memory, when a staged file made
                                    before may stay beside the target. Also
                                    (POSIX) when the rename put at the
                                    target's name a file other than the one
                                    written: someone renamed it over the
                                    staged file, in a folder that others may
                                    write. The target then holds that file;
                                    nothing is left under the call's own
                                    names. Also when the folder could not
                                    be synced (flushed) after the rename:
                                    the target holds the new file, but a
                                    power cut may still bring the old one
                                    back; the call is not done, and may be
                                    made again.
     KIVCOPY_SOURCE_NOT_READ (-5011)
                                    The source could not be read; the target
                                    is as it was; no staged file stays.
     KIVCOPY_TIMES_NOT_SET (-5074)  The new file is whole and holds the
                                    target's name, but its times could not be
                                    set (as with KivCopyFile: copied, without
                                    its times). Where it waits for the next
                                    restart instead, the result is 1.

   Calls may be made from several threads at once, as with KivCopyFile.
   Installs onto one target at once leave one of their new files there,
   whole, and that call's result is 0; on Windows a call whose rename meets
   another's may fail instead (KIVCOPY_TARGET_NOT_WRITTEN or
   KIVINSTALL_IN_USE), leaving nothing behind.
*/

#if defined(_WIN32)
KIVCOPY_API int32_t KIVCOPY_CALL KivInstallFileW(const wchar_t *source, const wchar_t *target,
                                                 int32_t flags);
/*
   Windows only: KivInstallFile with its paths as UTF-16; same calling
   convention, results and behaviour.
*/
#endif

/* Results of KivFileVersion beside KIVCOPY_OK and KIVCOPY_SOURCE_NOT_OPENED. */
#define KIVVERSION_NONE              1     /* not a PE image, or one without a version resource */
#define KIVVERSION_MALFORMED         2     /* a PE image whose headers or resources do not hold */

KIVCOPY_API int32_t KIVCOPY_CALL KivFileVersion(const char *path, uint32_t *high,
                                                uint32_t *low);
/*
   Reads the file version of the Windows program or DLL at `path` (32-bit
   or 64-bit, PE32 or PE32+), on any platform: the file version of the
   fixed part of its version resource (VS_FIXEDFILEINFO), as Windows'
   GetFileVersionInfoW and VerQueryValueW(L"\\") give it. `*high` receives
   dwFileVersionMS (major << 16 | minor), `*low` dwFileVersionLS (build <<
   16 | revision); either pointer may be NULL. They are written only when
   the result is 0. `path` is as KivCopyFile takes its source; the file is
   opened for reading as a copy's source is (a regular file, links
   followed) and only read, never changed.

   The resource is found as the Windows loader finds one: the entry of
   type RT_VERSION (16) in the resource directory, the entry of ID 1 in it
   (VS_VERSION_INFO, the one GetFileVersionInfoW asks for), the first
   language in that. The reader is
   made for files that anyone may have written: it reads only the headers,
   the section table, the directory entries on its way and the start of
   the version block, a few bytes at a time at offsets it has checked
   against the file, allocates nothing from sizes in the file, and never
   follows a directory twice.

   Results (nothing on disk is changed by any of them):

     KIVCOPY_OK (0)                 The version is in `*high` and `*low`.
     KIVVERSION_NONE (1)            No version: the file is no PE image (no
                                    "MZ" header, or its PE header offset
                                    leads out of the file or to no "PE"
                                    signature: a DOS program, a text file,
                                    an empty file), or it has no resource
                                    directory, no RT_VERSION resource, an
                                    RT_VERSION directory without entries,
                                    or a version block without a value.
     KIVVERSION_MALFORMED (2)       A PE image whose headers or resources do
                                    not hold: an optional header of another
                                    kind or cut short; a section table,
                                    resource directory or version block that
                                    lies outside the file or outside its
                                    section's bytes in the file; a resource
                                    directory larger than its section; a
                                    directory with more entries than fit in
                                    its section; an entry that leads back to
                                    a directory already visited; a
                                    directory where the language's data was
                                    due, or data where a directory was due;
                                    a version block shorter than its key
                                    and a VS_FIXEDFILEINFO, with another key
                                    or another signature than 0xFEEF04BD.
     KIVCOPY_SOURCE_NOT_OPENED (10) The file cannot be opened for reading (it
                                    is missing, not a regular file, or
                                    `path` is NULL), or a read of it failed.

   Calls may be made from several threads at once.
*/

#if defined(_WIN32)
KIVCOPY_API int32_t KIVCOPY_CALL KivFileVersionW(const wchar_t *path, uint32_t *high,
                                                 uint32_t *low);
/*
   Windows only: KivFileVersion with its path as UTF-16; same calling
   convention, results and behaviour.
*/
#endif

/* Flags of KivInstallFileEx beside KivInstallFile's. */
#define KIVINSTALL_BY_VERSION        8     /* replace an existing target only as versions and bytes say */
#define KIVINSTALL_ALLOW_DOWNGRADE   16    /* with 8: a lower version replaces a higher one */
#define KIVINSTALL_REPLACE_SAME_VERSION 32 /* with 8: other bytes of the same version replace the target */

/* Results of KivInstallFileEx beside KivInstallFile's: the target was kept. */
#define KIVINSTALL_ALREADY_CURRENT   2     /* it holds the same bytes already */
#define KIVINSTALL_KEPT_NEWER        3     /* its version is higher, or the new file has none */
#define KIVINSTALL_KEPT_SAME_VERSION 4     /* the same version, other bytes, and it is not ours */
#define KIVINSTALL_KEPT_CHANGED      5     /* unversioned, and not what was installed there last */

KIVCOPY_API int32_t KIVCOPY_CALL KivInstallFileEx(const char *source, const char *target,
                                                  int32_t flags, const char *manifest_folder);
/*
   KivInstallFile with a manifest of what the product installed and a
   decision by version. Everything KivInstallFile says holds for it; flags
   1, 2 and 4 and results 0, 1 and the negative ones are the same.

   `manifest_folder` (NULL for none; "" is refused) names a folder that the caller keeps
   for the product, opened without following a link at its own name. For
   each target installed it holds a record, "kivmanifest-", the SHA-256 of
   the target's full path in hex, and ".record": the SHA-256 of the bytes
   installed there. The record is written before the new file takes the
   target's name, whole (staged beside its name, synced, renamed onto it,
   the folder synced), and holds the hash of the replaced file too where
   that file was ours, so that after a crash on either side of the rename
   the target is still ours. A record is read only where it is a regular
   file of the caller's with one name that no one else may write (owned
   by the caller, or on Windows by Administrators for an elevated caller)
   and names the target: anything else is as if there were none. The full
   path is the one the system resolves (POSIX: the held folder's path,
   links resolved; Windows: the full path, upper-cased), so every spelling
   of a target finds its record. A record that cannot be written fails the
   call with KIVCOPY_TARGET_NOT_WRITTEN before anything else is written.

   KIVINSTALL_BY_VERSION (8) lets an existing target be replaced where
   this decision says so (KIVINSTALL_REPLACE need not be given): the
   target is looked at before anything is written: both files are read
   side by side once (where their sizes differ and there is no manifest,
   not at all), the file version of each is read as KivFileVersion reads
   it where the bytes differ (a file that is no sound image has none), and
   the manifest is asked whether the target is ours (its hash is in its
   record). The first row of this table that fits decides; file times
   never count:

     bytes    versions        target      flags  result
     same     any             any         any    2 KIVINSTALL_ALREADY_CURRENT
     differ   new higher      any         any    0, replaced
     differ   new lower       any         16     0, replaced
     differ   new lower       any         -      3 KIVINSTALL_KEPT_NEWER
     differ   equal           ours        any    0, replaced
     differ   equal           any         32     0, replaced
     differ   equal           any         -      4 KIVINSTALL_KEPT_SAME_VERSION
     differ   new only        any         any    0, replaced
     differ   installed only  ours        any    0, replaced
     differ   installed only  any         16     0, replaced
     differ   installed only  any         -      3 KIVINSTALL_KEPT_NEWER
     differ   neither         not ours    any    5 KIVINSTALL_KEPT_CHANGED
     differ   neither         any         any    0, replaced

   "not ours" needs a manifest: without one, two unversioned files are
   replaced as KivInstallFile replaces them. A kept target (2 to 5) is not
   written, renamed or queued, and needs no restart even when in use; the
   manifest is written only for 2, where its record lacked the bytes. A
   symbolic link at the target is not read through: its bytes differ and
   it has no version. A read-only target (Windows) that is kept gives the
   verdict; one that would be replaced needs KIVINSTALL_READ_ONLY, as ever.
   Without flag 8, flags 16 and 32 do nothing.

   Further results:

     KIVINSTALL_ALREADY_CURRENT (2), KIVINSTALL_KEPT_NEWER (3),
     KIVINSTALL_KEPT_SAME_VERSION (4), KIVINSTALL_KEPT_CHANGED (5)
                                    The target was kept as it is, for the
                                    reason above.
     KIVCOPY_TARGET_NOT_WRITTEN (-5010)
                                    Also: the manifest folder is "" or
                                    cannot be opened, its record cannot be
                                    written, or the target cannot be read.
*/

#if defined(_WIN32)
KIVCOPY_API int32_t KIVCOPY_CALL KivInstallFileExW(const wchar_t *source, const wchar_t *target,
                                                   int32_t flags,
                                                   const wchar_t *manifest_folder);
/*
   Windows only: KivInstallFileEx with its paths as UTF-16; same calling
   convention, results and behaviour.
*/
#endif

#ifdef __cplusplus
}
#endif

#endif /* KIVCOPY_H */
