/* SPDX-License-Identifier: Zlib */
/* Preloaded into a front end, this library plays the racing attacker: right
 * after the program first looks at a name (a status read or an open of it),
 * it renames another file over that name. What the program does next shows
 * whether it still works on what it looked at, or on whatever the name
 * stands for by then.
 *
 * KIV_SWAP_NAME  the name to watch, exactly as the program passes it
 * KIV_SWAP_WITH  the file renamed over it, once
 */
#define _GNU_SOURCE
#include "preload.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>

static int swapped;

/* Swaps once, after the first call that looked at the watched name. */
static void looked_at(const char *path) {
    const char *name = getenv("KIV_SWAP_NAME");
    const char *with = getenv("KIV_SWAP_WITH");
    if (swapped || path == NULL || name == NULL || with == NULL || strcmp(path, name) != 0) {
        return;
    }
    swapped = 1;
    if (rename(with, name) != 0) {
        perror("swapname: rename");
    }
}

#define SWAP_OPEN(name)                                  \
    int name(const char *path, int flags, ...) {         \
        mode_t mode = 0;                                 \
        int fd;                                          \
        REAL(int, name, (const char *, int, ...))        \
        MODE_OF(flags, mode);                            \
        fd = real_##name(path, flags, mode);             \
        looked_at(path);                                 \
        return fd;                                       \
    }
#define SWAP_OPENAT(name)                                     \
    int name(int directory, const char *path, int flags, ...) { \
        mode_t mode = 0;                                      \
        int fd;                                               \
        REAL(int, name, (int, const char *, int, ...))        \
        MODE_OF(flags, mode);                                 \
        fd = real_##name(directory, path, flags, mode);       \
        looked_at(path);                                      \
        return fd;                                            \
    }
#define SWAP_STAT(name, type)                                 \
    int name(const char *path, struct type *status) {         \
        int result;                                           \
        REAL(int, name, (const char *, struct type *))        \
        result = real_##name(path, status);                   \
        looked_at(path);                                      \
        return result;                                        \
    }
#define SWAP_STATAT(name, type)                                                  \
    int name(int directory, const char *path, struct type *status, int flags) {  \
        int result;                                                              \
        REAL(int, name, (int, const char *, struct type *, int))                 \
        result = real_##name(directory, path, status, flags);                    \
        looked_at(path);                                                         \
        return result;                                                           \
    }

SWAP_OPEN(open)
SWAP_OPEN(open64)
SWAP_OPENAT(openat)
SWAP_OPENAT(openat64)
SWAP_STAT(stat, stat)
SWAP_STAT(stat64, stat64)
SWAP_STAT(lstat, stat)
SWAP_STAT(lstat64, stat64)
SWAP_STATAT(fstatat, stat)
SWAP_STATAT(fstatat64, stat64)
