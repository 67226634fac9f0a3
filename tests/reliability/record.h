/* SPDX-License-Identifier: Zlib */
/* The operation log of one library call, written by the killpoint library
 * when KIV_OPLOG names a file, and replayed by the power-loss explorer
 * (oplog.h reads it).
 *
 * Each record is one line of space-separated fields, the kind first and
 * `bytes=N` last, followed by N bytes of payload and a line feed. Files and
 * directories are named by their identity, device:inode, read with fstat
 * from the descriptor the call used or returned, so that an open through
 * /proc/self/fd/N or relative to a directory descriptor names the inode it
 * reached, whatever path led there.
 *
 *   open      fd flags inode type            an open or creation (O_PATH too)
 *   create    dir inode         + name       the entry that an O_CREAT open made
 *   mkdir     dir inode         + name
 *   write     call inode offset + data       write, pwrite, copy_file_range,
 *                                            ficlone, ficlonerange
 *   fallocate inode mode offset length
 *   ftruncate inode length
 *   fsync, fdatasync, syncfs   inode type
 *   sync
 *   unlink    dir inode         + name
 *   rename    from_dir to_dir inode  + from NUL to
 *   close     fd inode type
 *   times     inode type                     the times set through a descriptor
 *
 * Only calls that succeeded are recorded, each after it returned, and only
 * on regular files and directories. The log is written by system call
 * directly, never through the interposed functions, and its own descriptor
 * is never recorded.
 */
#ifndef KIV_RECORD_H
#define KIV_RECORD_H

#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

/* Whether `path` (relative to `directory`) names something now; an open
 * with O_CREAT asks before the call, to tell a creation from an open. */
int record_name_exists(int directory, const char *path);
/* The status of what `path` names, without following a final link; false
 * if there is nothing. */
int record_lookup(int directory, const char *path, struct stat *status);

void record_open(int fd, int flags, int directory, const char *path, int existed);
void record_mkdir(int directory, const char *path);
/* `size` bytes moved to `fd`, ending at its file position (offset -1) or
 * at `offset`. */
void record_write(const char *call, int fd, off_t offset, const void *bytes, size_t size);
/* `size` bytes copied by `call` (copy_file_range, or ficlone and
 * ficlonerange, which share the source's blocks) from `in` at `in_offset`
 * to `out` at `out_offset`; the data are read back from `in`. */
void record_copy(const char *call, int in, off_t in_offset, int out, off_t out_offset,
                 size_t size);
void record_fallocate(int fd, int mode, off_t offset, off_t length);
void record_ftruncate(int fd, off_t length);
/* fsync, fdatasync or syncfs of `fd`; sync with fd -1; times, for the times
 * set through `fd`. */
void record_sync(const char *call, int fd);
void record_unlink(int directory, const char *path, const struct stat *removed);
void record_rename(int from_directory, const char *from, int to_directory, const char *to,
                   const struct stat *moved);
/* `status` is the descriptor's, read just before it was closed. */
void record_close(int fd, const struct stat *status);

/* Whether a call on `fd` is to be recorded: the log is on and `fd` is not
 * the log's. */
int record_wanted(int fd);
/* Ends the log: nothing after this is recorded. */
void record_stop(void);

#endif
