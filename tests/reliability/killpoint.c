/* SPDX-License-Identifier: Zlib */
/* Preloaded into the crash driver, this library stands between the
 * libraries and every call through which they change a file, and kills the
 * process just before the N-th such call (N from KIV_KILL_AT). What is left
 * on disk is then exactly what the first N-1 calls made of it, which is what
 * the crash harness judges.
 *
 * KIV_KILL_AT         the call before which the process is killed; unset:
 *                     count only
 * KIV_COUNT_FILE      where the number of calls is written at exit
 * KIV_TRANSFER_LIMIT  caps the bytes that one write, pwrite or
 *                     copy_file_range moves, as the kernel may do; the
 *                     callers loop on short transfers, so the result is the
 *                     same, reached through many more calls, each a place
 *                     to be killed. Sharing blocks (ioctl FICLONE or
 *                     FICLONERANGE) cannot be cut short: under a limit it
 *                     is refused as on a file system that cannot share,
 *                     so that the callers copy in capped steps instead
 * KIV_OPLOG           where the operation log of the run is written, for the
 *                     power-loss explorer (record.h); unset: no log
 * KIV_SKIP_SYNC       CALL or CALL:N, CALL being fsync or fdatasync: the N-th
 *                     call of that kind (counted alone; every one without
 *                     N) returns 0 without syncing and is not recorded, as
 *                     in a library that lost that sync, so that a power-loss
 *                     oracle can be seen to notice it. It is still a kill
 *                     point
 *
 * For the log, opens, directory creation, the other forms of rename and
 * sync are followed too. They are not kill points: the numbering of the
 * kill points is the same whether the log is kept or not.
 *
 * glibc's stdio writes and closes through its own internal entry points,
 * which no preloaded library can replace, so a copy made through streams is
 * caught at fwrite, fflush and fclose instead. For the same reason the log
 * cannot follow a stream's data; the libraries write through descriptors.
 *
 * The process is single-threaded; the counter is atomic all the same, so
 * that a stray thread cannot make two calls share one number.
 */
#define _GNU_SOURCE
#include "preload.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "record.h"

static unsigned long calls;
static unsigned long kill_at;      /* 0: never */
static unsigned long long limit;   /* 0: no cap */
static int configured;
static const char *skipped_call;   /* "fsync", "fdatasync" or NULL */
static unsigned long skipped_nth;  /* 0: every one */
static unsigned long syncs_of_skipped_kind;
static int finished;               /* the count was reported: stay out of the way */

static void configure(void) {
    const char *text;
    if (configured) {
        return;
    }
    configured = 1;
    text = getenv("KIV_KILL_AT");
    if (text != NULL) {
        kill_at = strtoul(text, NULL, 10);
    }
    text = getenv("KIV_TRANSFER_LIMIT");
    if (text != NULL) {
        limit = strtoull(text, NULL, 10);
    }
    text = getenv("KIV_SKIP_SYNC");
    if (text != NULL) {
        const char *colon = strchr(text, ':');
        size_t length = colon != NULL ? (size_t)(colon - text) : strlen(text);
        if (length == 5 && strncmp(text, "fsync", 5) == 0) {
            skipped_call = "fsync";
        } else if (length == 9 && strncmp(text, "fdatasync", 9) == 0) {
            skipped_call = "fdatasync";
        }
        skipped_nth = colon != NULL ? strtoul(colon + 1, NULL, 10) : 0;
    }
}

/* Whether this call of `call` is the one that KIV_SKIP_SYNC takes out. */
static int sync_skipped(const char *call) {
    unsigned long number;
    configure();
    if (finished || skipped_call == NULL || strcmp(call, skipped_call) != 0) {
        return 0;
    }
    number = __atomic_add_fetch(&syncs_of_skipped_kind, 1, __ATOMIC_SEQ_CST);
    return skipped_nth == 0 || number == skipped_nth;
}

/* Counts one call and dies before it when its number has come. */
static void tick(void) {
    unsigned long number;
    if (finished) {
        return;
    }
    configure();
    number = __atomic_add_fetch(&calls, 1, __ATOMIC_SEQ_CST);
    if (kill_at != 0 && number == kill_at) {
        raise(SIGKILL);
    }
}

static size_t capped(size_t size) {
    configure();
    return limit != 0 && size > limit ? (size_t)limit : size;
}

/* Opens through the C library's `real`, recording the open and, for
 * O_CREAT, whether it made the entry. */
static int open_recorded(int (*real)(int, const char *, int, ...), int directory, const char *path,
                         int flags, mode_t mode) {
    int existed = (flags & O_CREAT) != 0 && !finished && record_name_exists(directory, path);
    int fd = real(directory, path, flags, mode);
    if (fd >= 0 && !finished) {
        record_open(fd, flags, directory, path, existed);
    }
    return fd;
}

int openat(int directory, const char *path, int flags, ...) {
    REAL(int, openat, (int, const char *, int, ...))
    mode_t mode = 0;
    MODE_OF(flags, mode);
    return open_recorded(real_openat, directory, path, flags, mode);
}

int openat64(int directory, const char *path, int flags, ...) {
    REAL(int, openat64, (int, const char *, int, ...))
    mode_t mode = 0;
    MODE_OF(flags, mode);
    return open_recorded(real_openat64, directory, path, flags, mode);
}

int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    MODE_OF(flags, mode);
    return openat(AT_FDCWD, path, flags, mode);
}

int open64(const char *path, int flags, ...) {
    mode_t mode = 0;
    MODE_OF(flags, mode);
    return openat64(AT_FDCWD, path, flags, mode);
}

int mkdirat(int directory, const char *path, mode_t mode) {
    REAL(int, mkdirat, (int, const char *, mode_t))
    int result = real_mkdirat(directory, path, mode);
    if (result == 0 && !finished) {
        record_mkdir(directory, path);
    }
    return result;
}

int mkdir(const char *path, mode_t mode) {
    return mkdirat(AT_FDCWD, path, mode);
}

ssize_t write(int fd, const void *bytes, size_t size) {
    REAL(ssize_t, write, (int, const void *, size_t))
    tick();
    ssize_t written = real_write(fd, bytes, capped(size));
    if (written > 0 && !finished) {
        record_write("write", fd, -1, bytes, (size_t)written);
    }
    return written;
}

/* The calls with a 32-bit offset where off_t has 32 bits go through their
 * 64-bit forms, which take every offset they can. */
ssize_t pwrite(int fd, const void *bytes, size_t size, off_t offset) {
    return pwrite64(fd, bytes, size, offset);
}

ssize_t pwrite64(int fd, const void *bytes, size_t size, off64_t offset) {
    REAL(ssize_t, pwrite64, (int, const void *, size_t, off64_t))
    tick();
    ssize_t written = real_pwrite64(fd, bytes, capped(size), offset);
    if (written > 0 && !finished) {
        record_write("pwrite", fd, offset, bytes, (size_t)written);
    }
    return written;
}

/* Records `name` on `fd` when the sync it made succeeded. */
static int sync_recorded(int result, const char *name, int fd) {
    if (result == 0 && !finished) {
        record_sync(name, fd);
    }
    return result;
}

int fsync(int fd) {
    REAL(int, fsync, (int))
    tick();
    if (sync_skipped("fsync")) {
        return 0;
    }
    return sync_recorded(real_fsync(fd), "fsync", fd);
}

int fdatasync(int fd) {
    REAL(int, fdatasync, (int))
    tick();
    if (sync_skipped("fdatasync")) {
        return 0;
    }
    return sync_recorded(real_fdatasync(fd), "fdatasync", fd);
}

int ftruncate(int fd, off_t length) {
    return ftruncate64(fd, length);
}

int ftruncate64(int fd, off64_t length) {
    REAL(int, ftruncate64, (int, off64_t))
    tick();
    int result = real_ftruncate64(fd, length);
    if (result == 0 && !finished) {
        record_ftruncate(fd, length);
    }
    return result;
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
    return fallocate64(fd, mode, offset, length);
}

int fallocate64(int fd, int mode, off64_t offset, off64_t length) {
    REAL(int, fallocate64, (int, int, off64_t, off64_t))
    tick();
    int result = real_fallocate64(fd, mode, offset, length);
    if (result == 0 && !finished) {
        record_fallocate(fd, mode, offset, length);
    }
    return result;
}

/* The offsets are read before the call: where the caller passes none, the
 * copy starts at the descriptors' file positions. */
ssize_t copy_file_range(int in, off64_t *in_offset, int out, off64_t *out_offset, size_t size,
                        unsigned int flags) {
    REAL(ssize_t, copy_file_range, (int, off64_t *, int, off64_t *, size_t, unsigned int))
    tick();
    off64_t from = in_offset != NULL ? *in_offset : lseek(in, 0, SEEK_CUR);
    off64_t to = out_offset != NULL ? *out_offset : lseek(out, 0, SEEK_CUR);
    ssize_t copied = real_copy_file_range(in, in_offset, out, out_offset, capped(size), flags);
    if (copied > 0 && !finished) {
        record_copy("copy_file_range", in, from, out, to, (size_t)copied);
    }
    return copied;
}

/* The length of a shared range: FICLONE shares the whole source, and a
 * FICLONERANGE of length 0 all of it from the offset on. */
static size_t shared_length(int source, off_t offset, unsigned long long length) {
    struct stat status;
    if (length != 0) {
        return (size_t)length;
    }
    if (fstat(source, &status) != 0 || status.st_size <= offset) {
        return 0;
    }
    return (size_t)(status.st_size - offset);
}

/* Sharing a source's blocks changes the target as a copy of the range
 * would, and is counted and recorded as one: the log takes down the bytes
 * that the target reads as from then on. Every other request passes
 * through, uncounted. The request's one argument is taken as a pointer, as
 * the C library's own ioctl takes it. */
int ioctl(int fd, unsigned long request, ...) {
    REAL(int, ioctl, (int, unsigned long, ...))
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    if (request != FICLONE && request != FICLONERANGE) {
        return real_ioctl(fd, request, argument);
    }
    tick();
    configure();
    if (limit != 0) {
        errno = EOPNOTSUPP;
        return -1;
    }
    int result = real_ioctl(fd, request, argument);
    if (result == 0 && !finished) {
        if (request == FICLONE) {
            int source = (int)(long)argument;
            record_copy("ficlone", source, 0, fd, 0, shared_length(source, 0, 0));
        } else {
            const struct file_clone_range *range = argument;
            int source = (int)range->src_fd;
            record_copy("ficlonerange", source, (off_t)range->src_offset, fd,
                        (off_t)range->dest_offset,
                        shared_length(source, (off_t)range->src_offset, range->src_length));
        }
    }
    return result;
}

int unlink(const char *path) {
    return unlinkat(AT_FDCWD, path, 0);
}

int unlinkat(int directory, const char *path, int flags) {
    REAL(int, unlinkat, (int, const char *, int))
    tick();
    struct stat removed;
    int found = !finished && record_lookup(directory, path, &removed);
    int result = real_unlinkat(directory, path, flags);
    if (result == 0 && found) {
        record_unlink(directory, path, &removed);
    }
    return result;
}

/* The other forms of rename go through the one the C library offers for
 * them all, renameat2 (flags 0 for renameat). */
static int rename_recorded(int from_directory, const char *from, int to_directory, const char *to,
                           unsigned int flags) {
    REAL(int, renameat2, (int, const char *, int, const char *, unsigned int))
    struct stat moved;
    int found = !finished && record_lookup(from_directory, from, &moved);
    int result = real_renameat2(from_directory, from, to_directory, to, flags);
    if (result == 0 && found) {
        record_rename(from_directory, from, to_directory, to, &moved);
    }
    return result;
}

int rename(const char *from, const char *to) {
    tick();
    return rename_recorded(AT_FDCWD, from, AT_FDCWD, to, 0);
}

int renameat(int from_directory, const char *from, int to_directory, const char *to) {
    return rename_recorded(from_directory, from, to_directory, to, 0);
}

int renameat2(int from_directory, const char *from, int to_directory, const char *to,
              unsigned int flags) {
    return rename_recorded(from_directory, from, to_directory, to, flags);
}

int utimensat(int directory, const char *path, const struct timespec times[2], int flags) {
    REAL(int, utimensat, (int, const char *, const struct timespec *, int))
    tick();
    return real_utimensat(directory, path, times, flags);
}

int futimens(int fd, const struct timespec times[2]) {
    int result;
    REAL(int, futimens, (int, const struct timespec *))
    tick();
    result = real_futimens(fd, times);
    if (result == 0 && record_wanted(fd)) {
        record_sync("times", fd);
    }
    return result;
}

int fchmod(int fd, mode_t mode) {
    REAL(int, fchmod, (int, mode_t))
    tick();
    return real_fchmod(fd, mode);
}

int fsetxattr(int fd, const char *name, const void *value, size_t size, int flags) {
    REAL(int, fsetxattr, (int, const char *, const void *, size_t, int))
    tick();
    return real_fsetxattr(fd, name, value, size, flags);
}

int syncfs(int fd) {
    REAL(int, syncfs, (int))
    tick();
    return sync_recorded(real_syncfs(fd), "syncfs", fd);
}

void sync(void) {
    REAL(void, sync, (void))
    real_sync();
    if (!finished) {
        record_sync("sync", -1);
    }
}

int close(int fd) {
    REAL(int, close, (int))
    tick();
    struct stat status;
    int known = !finished && record_wanted(fd) && fstat(fd, &status) == 0;
    int result = real_close(fd);
    if (result == 0 && known) {
        record_close(fd, &status);
    }
    return result;
}

size_t fwrite(const void *bytes, size_t size, size_t count, FILE *stream) {
    REAL(size_t, fwrite, (const void *, size_t, size_t, FILE *))
    tick();
    return real_fwrite(bytes, size, count, stream);
}

int fflush(FILE *stream) {
    REAL(int, fflush, (FILE *))
    tick();
    return real_fflush(stream);
}

int fclose(FILE *stream) {
    REAL(int, fclose, (FILE *))
    tick();
    return real_fclose(stream);
}

/* Reports the count. From here on the calls pass straight through, so that
 * reporting (and whatever runs after it at exit) is neither counted nor
 * killed. A count that cannot be written is missed by the harness, which
 * says so. */
__attribute__((destructor)) static void report_count(void) {
    const char *path = getenv("KIV_COUNT_FILE");
    char text[32];
    int length;
    int fd;
    finished = 1;
    record_stop();
    if (path == NULL) {
        return;
    }
    length = snprintf(text, sizeof text, "%lu\n", __atomic_load_n(&calls, __ATOMIC_SEQ_CST));
    fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ssize_t written = write(fd, text, (size_t)length);
        (void)written;
        close(fd);
    }
}
