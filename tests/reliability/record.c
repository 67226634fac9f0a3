/* SPDX-License-Identifier: Zlib */
/* The recorder half of the killpoint library: see record.h for the log. */
#define _GNU_SOURCE
#include "record.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

static int log_fd = -1;
static int log_state;  /* 0: not opened yet, 1: recording, 2: off */

/* Writes every byte to the log, past short writes. */
static void log_bytes(const void *bytes, size_t size) {
    const char *next = bytes;
    while (size > 0) {
        long written = syscall(SYS_write, log_fd, next, size);
        if (written <= 0) {
            return;
        }
        next += written;
        size -= (size_t)written;
    }
}

/* Opens the log named by KIV_OPLOG on first use; a process that has no such
 * variable, or cannot create the file, records nothing. */
static int recording(void) {
    if (log_state == 0) {
        const char *path = getenv("KIV_OPLOG");
        log_state = 2;
        if (path != NULL) {
            log_fd = (int)syscall(SYS_openat, AT_FDCWD, path,
                                  O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
            log_state = log_fd >= 0 ? 1 : 2;
        }
    }
    return log_state == 1;
}

/* One record: the header line (which ends in `bytes=`), the payload's
 * length, the payload and a line feed, in one write, so that the records of
 * calls that several threads make at once (syncs taken together) never
 * interleave: one write to a file opened for appending lands whole. A write
 * cut short is finished piece by piece. */
static void log_record(const char *header, const void *payload, size_t size) {
    char length[32];
    int count = snprintf(length, sizeof length, "%zu\n", size);
    struct iovec parts[4];
    size_t total = 0;
    long written;
    int i;
    parts[0].iov_base = (void *)header;
    parts[0].iov_len = strlen(header);
    parts[1].iov_base = length;
    parts[1].iov_len = (size_t)count;
    parts[2].iov_base = (void *)payload;
    parts[2].iov_len = size;
    parts[3].iov_base = (void *)"\n";
    parts[3].iov_len = 1;
    for (i = 0; i < 4; ++i) {
        total += parts[i].iov_len;
    }
    written = syscall(SYS_writev, log_fd, parts, 4);
    if (written < 0 || (size_t)written == total) {
        return;
    }
    for (i = 0; i < 4; ++i) {
        size_t taken = (size_t)written < parts[i].iov_len ? (size_t)written : parts[i].iov_len;
        log_bytes((const char *)parts[i].iov_base + taken, parts[i].iov_len - taken);
        written -= (long)taken;
    }
}

static const char *type_of(const struct stat *status) {
    return S_ISDIR(status->st_mode) ? "dir" : "file";
}

static int is_recorded_type(const struct stat *status) {
    return S_ISREG(status->st_mode) || S_ISDIR(status->st_mode);
}

/* The status of an open regular file or directory; false for anything else. */
static int status_of(int fd, struct stat *status) {
    return fstat(fd, status) == 0 && is_recorded_type(status);
}

/* The last component of `path`, and the status of the directory that holds
 * it (relative to `directory`, as the call resolved it). */
static const char *split_parent(int directory, const char *path, struct stat *parent) {
    const char *slash = strrchr(path, '/');
    char prefix[4096];
    if (slash == NULL) {
        return fstatat(directory, ".", parent, 0) == 0 ? path : NULL;
    }
    size_t length = slash == path ? 1 : (size_t)(slash - path);
    if (length >= sizeof prefix) {
        return NULL;
    }
    memcpy(prefix, path, length);
    prefix[length] = '\0';
    return fstatat(directory, prefix, parent, 0) == 0 ? slash + 1 : NULL;
}

#define INODE "%llu:%llu"
#define INODE_OF(status) (unsigned long long)(status).st_dev, (unsigned long long)(status).st_ino

int record_wanted(int fd) {
    return recording() && fd != log_fd;
}

void record_stop(void) {
    recording();
    log_state = 2;
}

int record_name_exists(int directory, const char *path) {
    struct stat status;
    return record_lookup(directory, path, &status);
}

int record_lookup(int directory, const char *path, struct stat *status) {
    return path != NULL && fstatat(directory, path, status, AT_SYMLINK_NOFOLLOW) == 0;
}

/* An entry operation: `kind dir=... inode=...` with the name as payload. */
static void record_entry(const char *kind, int directory, const char *path,
                         const struct stat *inode) {
    struct stat parent;
    char header[256];
    const char *name = split_parent(directory, path, &parent);
    if (name == NULL) {
        return;
    }
    snprintf(header, sizeof header, "%s dir=" INODE " inode=" INODE " type=%s bytes=", kind,
             INODE_OF(parent), INODE_OF(*inode), type_of(inode));
    log_record(header, name, strlen(name));
}

void record_open(int fd, int flags, int directory, const char *path, int existed) {
    struct stat status;
    char header[256];
    if (!record_wanted(fd) || !status_of(fd, &status)) {
        return;
    }
    snprintf(header, sizeof header, "open fd=%d flags=%#x inode=" INODE " type=%s bytes=", fd,
             (unsigned)flags, INODE_OF(status), type_of(&status));
    log_record(header, NULL, 0);
    if ((flags & O_CREAT) != 0 && (flags & O_TMPFILE) != O_TMPFILE && !existed) {
        record_entry("create", directory, path, &status);
    }
}

void record_mkdir(int directory, const char *path) {
    struct stat status;
    if (recording() && record_lookup(directory, path, &status)) {
        record_entry("mkdir", directory, path, &status);
    }
}

void record_write(const char *call, int fd, off_t offset, const void *bytes, size_t size) {
    struct stat status;
    char header[256];
    if (size == 0 || !record_wanted(fd) || !status_of(fd, &status) || !S_ISREG(status.st_mode)) {
        return;
    }
    if (offset < 0) {
        offset = lseek(fd, 0, SEEK_CUR) - (off_t)size;
    }
    snprintf(header, sizeof header, "write call=%s inode=" INODE " offset=%lld bytes=", call,
             INODE_OF(status), (long long)offset);
    log_record(header, bytes, size);
}

/* The copied bytes are read back from the source where they were taken,
 * which the copy did not change. A source that cannot be read back leaves a
 * `lost` record, which the explorer refuses. */
void record_copy(const char *call, int in, off_t in_offset, int out, off_t out_offset,
                 size_t size) {
    char *bytes;
    char header[64];
    if (size == 0 || !record_wanted(out)) {
        return;
    }
    if (in_offset < 0) {
        in_offset = lseek(in, 0, SEEK_CUR) - (off_t)size;
    }
    bytes = malloc(size);
    if (bytes == NULL || pread(in, bytes, size, in_offset) != (ssize_t)size) {
        snprintf(header, sizeof header, "lost call=%s bytes=", call);
        log_record(header, NULL, 0);
    } else {
        record_write(call, out, out_offset, bytes, size);
    }
    free(bytes);
}

void record_fallocate(int fd, int mode, off_t offset, off_t length) {
    struct stat status;
    char header[256];
    if (!record_wanted(fd) || !status_of(fd, &status)) {
        return;
    }
    snprintf(header, sizeof header,
             "fallocate inode=" INODE " mode=%d offset=%lld length=%lld bytes=", INODE_OF(status),
             mode, (long long)offset, (long long)length);
    log_record(header, NULL, 0);
}

void record_ftruncate(int fd, off_t length) {
    struct stat status;
    char header[256];
    if (!record_wanted(fd) || !status_of(fd, &status)) {
        return;
    }
    snprintf(header, sizeof header,
             "ftruncate inode=" INODE " length=%lld bytes=", INODE_OF(status), (long long)length);
    log_record(header, NULL, 0);
}

void record_sync(const char *call, int fd) {
    struct stat status;
    char header[256];
    if (fd < 0) {
        if (recording()) {
            log_record("sync bytes=", NULL, 0);
        }
        return;
    }
    if (!record_wanted(fd) || !status_of(fd, &status)) {
        return;
    }
    snprintf(header, sizeof header, "%s inode=" INODE " type=%s bytes=", call, INODE_OF(status),
             type_of(&status));
    log_record(header, NULL, 0);
}

void record_unlink(int directory, const char *path, const struct stat *removed) {
    if (recording() && is_recorded_type(removed)) {
        record_entry("unlink", directory, path, removed);
    }
}

void record_rename(int from_directory, const char *from, int to_directory, const char *to,
                   const struct stat *moved) {
    struct stat from_parent;
    struct stat to_parent;
    char header[256];
    char names[8192];
    const char *from_name;
    const char *to_name;
    if (!recording() || !is_recorded_type(moved)) {
        return;
    }
    from_name = split_parent(from_directory, from, &from_parent);
    to_name = split_parent(to_directory, to, &to_parent);
    if (from_name == NULL || to_name == NULL ||
        strlen(from_name) + strlen(to_name) + 1 > sizeof names) {
        return;
    }
    snprintf(header, sizeof header, "rename from_dir=" INODE " to_dir=" INODE " inode=" INODE
             " type=%s bytes=", INODE_OF(from_parent), INODE_OF(to_parent), INODE_OF(*moved),
             type_of(moved));
    strcpy(names, from_name);
    strcpy(names + strlen(from_name) + 1, to_name);
    log_record(header, names, strlen(from_name) + 1 + strlen(to_name));
}

void record_close(int fd, const struct stat *status) {
    char header[256];
    if (!record_wanted(fd) || !is_recorded_type(status)) {
        return;
    }
    snprintf(header, sizeof header, "close fd=%d inode=" INODE " type=%s bytes=", fd,
             INODE_OF(*status), type_of(status));
    log_record(header, NULL, 0);
}
