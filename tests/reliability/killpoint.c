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
 *                     to be killed
 *
 * glibc's stdio writes and closes through its own internal entry points,
 * which no preloaded library can replace, so a copy made through streams is
 * caught at fwrite, fflush and fclose instead.
 *
 * The process is single-threaded; the counter is atomic all the same, so
 * that a stray thread cannot make two calls share one number.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static unsigned long calls;
static unsigned long kill_at;      /* 0: never */
static unsigned long long limit;   /* 0: no cap */
static int configured;
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

/* The next definition of `name` after this library: the C library's. */
static void *next(const char *name) {
    void *found = dlsym(RTLD_NEXT, name);
    if (found == NULL) {
        abort();
    }
    return found;
}

#define REAL(type, name, params)                 \
    static type(*real_##name) params;             \
    if (real_##name == NULL) {                    \
        *(void **)(&real_##name) = next(#name);   \
    }

ssize_t write(int fd, const void *bytes, size_t size) {
    REAL(ssize_t, write, (int, const void *, size_t))
    tick();
    return real_write(fd, bytes, capped(size));
}

ssize_t pwrite(int fd, const void *bytes, size_t size, off_t offset) {
    REAL(ssize_t, pwrite, (int, const void *, size_t, off_t))
    tick();
    return real_pwrite(fd, bytes, capped(size), offset);
}

ssize_t pwrite64(int fd, const void *bytes, size_t size, off64_t offset) {
    REAL(ssize_t, pwrite64, (int, const void *, size_t, off64_t))
    tick();
    return real_pwrite64(fd, bytes, capped(size), offset);
}

int fsync(int fd) {
    REAL(int, fsync, (int))
    tick();
    return real_fsync(fd);
}

int fdatasync(int fd) {
    REAL(int, fdatasync, (int))
    tick();
    return real_fdatasync(fd);
}

int ftruncate(int fd, off_t length) {
    REAL(int, ftruncate, (int, off_t))
    tick();
    return real_ftruncate(fd, length);
}

int ftruncate64(int fd, off64_t length) {
    REAL(int, ftruncate64, (int, off64_t))
    tick();
    return real_ftruncate64(fd, length);
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
    REAL(int, fallocate, (int, int, off_t, off_t))
    tick();
    return real_fallocate(fd, mode, offset, length);
}

int fallocate64(int fd, int mode, off64_t offset, off64_t length) {
    REAL(int, fallocate64, (int, int, off64_t, off64_t))
    tick();
    return real_fallocate64(fd, mode, offset, length);
}

ssize_t copy_file_range(int in, off64_t *in_offset, int out, off64_t *out_offset, size_t size,
                        unsigned int flags) {
    REAL(ssize_t, copy_file_range, (int, off64_t *, int, off64_t *, size_t, unsigned int))
    tick();
    return real_copy_file_range(in, in_offset, out, out_offset, capped(size), flags);
}

int unlink(const char *path) {
    REAL(int, unlink, (const char *))
    tick();
    return real_unlink(path);
}

int rename(const char *from, const char *to) {
    REAL(int, rename, (const char *, const char *))
    tick();
    return real_rename(from, to);
}

int utimensat(int directory, const char *path, const struct timespec times[2], int flags) {
    REAL(int, utimensat, (int, const char *, const struct timespec *, int))
    tick();
    return real_utimensat(directory, path, times, flags);
}

int unlinkat(int directory, const char *path, int flags) {
    REAL(int, unlinkat, (int, const char *, int))
    tick();
    return real_unlinkat(directory, path, flags);
}

int futimens(int fd, const struct timespec times[2]) {
    REAL(int, futimens, (int, const struct timespec *))
    tick();
    return real_futimens(fd, times);
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
    return real_syncfs(fd);
}

int close(int fd) {
    REAL(int, close, (int))
    tick();
    return real_close(fd);
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
