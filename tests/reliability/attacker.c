/* SPDX-License-Identifier: Zlib */
/* Preloaded into a front end, this library plays a local user who attacks
 * a run of it by root: at a chosen moment inside the program it performs
 * that user's actions (renaming, exchanging, linking, removing names), in a
 * child process that has dropped to nobody (uid and gid 65534, no other
 * groups), so that the kernel grants them exactly as it would to that user. The
 * program waits while the child acts, so the moment is exact and every run
 * with the same settings does the same.
 *
 * The moment is a call of the program that names a file: the N-th call of
 * the chosen kinds whose path argument (either one, for the calls that take
 * two) is the watched name or ends with "/" and the name, trailing slashes
 * left out. Matching on the last component alone finds the same file
 * whether the program passes a joined path or a name relative to a
 * directory descriptor. The moment may also be the close of a descriptor
 * whose file's path ends with the name, read from /proc/self/fd just before
 * the close: the moment at which an attacker watching with inotify learns
 * that the file was written (IN_CLOSE_WRITE).
 *
 * KIV_ATTACK_CALLS   the kinds of call, separated by commas: open, openat,
 *                    stat, lstat, fstatat, statx, access, faccessat, rename,
 *                    renameat, renameat2, mkdir, mkdirat, rmdir, unlink,
 *                    unlinkat, chmod, fchmodat, chown, fchownat, lchown,
 *                    utimensat, symlink, symlinkat, link, linkat, readlink,
 *                    readlinkat (each also standing for its 64 form); "any"
 *                    for all of these; "close" for the close of a descriptor
 * KIV_ATTACK_NAME    the watched name (one path component); with a "*" at
 *                    its end, a prefix: every name that begins with the text
 *                    before it (".app.kiv-new-*" watches the hidden names
 *                    made beside app, whatever their random tail)
 * KIV_ATTACK_AT      N: which matching call is the moment (default 1)
 * KIV_ATTACK_WHEN    "before" or "after" that call (default "after")
 * KIV_ATTACK_DO      the actions, separated by ";", each a verb and its
 *                    paths separated by spaces (so no path may hold a space
 *                    or a ";"):
 *                      rename FROM TO      exchange A B (atomically)
 *                      symlink TARGET LINK link EXISTING NEW (a hard link)
 *                      unlink PATH         mkdir PATH (mode 0755)
 *                      rmdir PATH
 *                      probe PATH MARK     tries to open PATH for reading
 *                                          and, if it opens, creates MARK
 *                    In each path, "{name}" stands for the name that matched
 *                    at the moment (the full component, when the watched
 *                    name is a prefix)
 * KIV_ATTACK_REPORT  a file to which the moment and each action's outcome
 *                    are appended; no file means the moment never came
 *
 * The attack happens once per process. The library's own work goes through
 * raw system calls, so that it never meets its own wrappers.
 */
#define _GNU_SOURCE
#include "preload.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

enum moment { NOT_NOW, BEFORE, AFTER };

static unsigned long matched; /* matching calls so far */
static int attacked;
static char moment_name[256]; /* the component that matched at the moment */

/* Whether `kind` is among the comma-separated kinds of KIV_ATTACK_CALLS. */
static int kind_wanted(const char *kind) {
    const char *kinds = getenv("KIV_ATTACK_CALLS");
    size_t length = strlen(kind);
    if (kinds == NULL) {
        return 0;
    }
    while (*kinds != '\0') {
        size_t item = strcspn(kinds, ",");
        if ((item == 3 && strncmp(kinds, "any", 3) == 0 && strcmp(kind, "close") != 0) ||
            (item == length && strncmp(kinds, kind, length) == 0)) {
            return 1;
        }
        kinds += item + (kinds[item] == ',' ? 1 : 0);
    }
    return 0;
}

/* Whether the last component of `path` is the watched name, or begins
 * with it where the name is a prefix; the component is kept in `found`
 * (which holds `size` bytes), cut short if need be. */
static int names_it(const char *path, char *found, size_t size) {
    const char *name = getenv("KIV_ATTACK_NAME");
    size_t end;
    size_t start;
    size_t length;
    int prefix;
    if (path == NULL || name == NULL || *name == '\0') {
        return 0;
    }
    end = strlen(path);
    while (end > 1 && path[end - 1] == '/') {
        --end;
    }
    start = end;
    while (start > 0 && path[start - 1] != '/') {
        --start;
    }
    length = strlen(name);
    prefix = name[length - 1] == '*';
    if (prefix) {
        --length;
    }
    if (prefix ? end - start < length : end - start != length) {
        return 0;
    }
    if (strncmp(path + start, name, length) != 0) {
        return 0;
    }
    length = end - start < size - 1 ? end - start : size - 1;
    memcpy(found, path + start, length);
    found[length] = '\0';
    return 1;
}

/* Counts a call and tells whether the attack comes before it, after it,
 * or not at all. */
static enum moment moment_of(const char *kind, const char *path, const char *other) {
    const char *text;
    unsigned long at = 1;
    char found[sizeof moment_name];
    if (attacked || !kind_wanted(kind) ||
        !(names_it(path, found, sizeof found) || names_it(other, found, sizeof found))) {
        return NOT_NOW;
    }
    text = getenv("KIV_ATTACK_AT");
    if (text != NULL) {
        at = strtoul(text, NULL, 10);
    }
    if (++matched != at) {
        return NOT_NOW;
    }
    attacked = 1;
    memcpy(moment_name, found, sizeof moment_name);
    text = getenv("KIV_ATTACK_WHEN");
    return text != NULL && strcmp(text, "before") == 0 ? BEFORE : AFTER;
}

static void say(int fd, const char *first, const char *second, const char *third) {
    char line[4096];
    int length = snprintf(line, sizeof line, "%s %s %s\n", first, second, third);
    if (fd >= 0 && length > 0) {
        ssize_t written = syscall(SYS_write, fd, line,
                                  (size_t)length < sizeof line ? (size_t)length : sizeof line - 1);
        (void)written;
    }
}

/* One action, as the attacker; returns 0 or an errno. */
static int act(char *verb, char *first, char *second) {
    long done = -1;
    if (first == NULL) {
        return EINVAL;
    }
    if (strcmp(verb, "unlink") == 0) {
        done = syscall(SYS_unlinkat, AT_FDCWD, first, 0);
    } else if (strcmp(verb, "rmdir") == 0) {
        done = syscall(SYS_unlinkat, AT_FDCWD, first, AT_REMOVEDIR);
    } else if (strcmp(verb, "mkdir") == 0) {
        done = syscall(SYS_mkdirat, AT_FDCWD, first, 0755);
    } else if (second == NULL) {
        return EINVAL;
    } else if (strcmp(verb, "rename") == 0) {
        done = syscall(SYS_renameat2, AT_FDCWD, first, AT_FDCWD, second, 0);
    } else if (strcmp(verb, "exchange") == 0) {
        done = syscall(SYS_renameat2, AT_FDCWD, first, AT_FDCWD, second, RENAME_EXCHANGE);
    } else if (strcmp(verb, "symlink") == 0) {
        done = syscall(SYS_symlinkat, first, AT_FDCWD, second);
    } else if (strcmp(verb, "link") == 0) {
        done = syscall(SYS_linkat, AT_FDCWD, first, AT_FDCWD, second, 0);
    } else if (strcmp(verb, "probe") == 0) {
        long fd = syscall(SYS_openat, AT_FDCWD, first, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return errno;
        }
        syscall(SYS_close, fd);
        done = syscall(SYS_openat, AT_FDCWD, second, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (done >= 0) {
            syscall(SYS_close, done);
        }
    } else {
        return EINVAL;
    }
    return done < 0 ? errno : 0;
}

/* Copies the actions into `actions` (which holds `size` bytes) with each
 * "{name}" replaced by the name that matched at the moment; 0 if they do
 * not fit. */
static int spell_out(const char *text, char *actions, size_t size) {
    static const char placeholder[] = "{name}";
    const size_t name_length = strlen(moment_name);
    size_t at = 0;
    while (*text != '\0') {
        const int is_placeholder = strncmp(text, placeholder, sizeof placeholder - 1) == 0;
        const char *piece = is_placeholder ? moment_name : text;
        const size_t length = is_placeholder ? name_length : 1;
        if (at + length >= size) {
            return 0;
        }
        memcpy(actions + at, piece, length);
        at += length;
        text += is_placeholder ? sizeof placeholder - 1 : 1;
    }
    actions[at] = '\0';
    return 1;
}

/* The child: drops to the attacker's user and performs every action,
 * reporting each. */
static void attacker(int report) {
    static char actions[8192];
    const char *text = getenv("KIV_ATTACK_DO");
    const long id = 65534; /* nobody, and the group nogroup */
    char *next;
    char *action;
    if (syscall(SYS_setgroups, 0, NULL) != 0 || syscall(SYS_setresgid, id, id, id) != 0 ||
        syscall(SYS_setresuid, id, id, id) != 0) {
        say(report, "cannot", "drop to the attacker's user:", strerror(errno));
        _exit(1);
    }
    if (text == NULL || !spell_out(text, actions, sizeof actions)) {
        say(report, "no", "actions", "(KIV_ATTACK_DO unset or too long)");
        _exit(1);
    }
    for (action = strtok_r(actions, ";", &next); action != NULL;
         action = strtok_r(NULL, ";", &next)) {
        char *rest;
        char *verb = strtok_r(action, " ", &rest);
        char *first = verb != NULL ? strtok_r(NULL, " ", &rest) : NULL;
        char *second = first != NULL ? strtok_r(NULL, " ", &rest) : NULL;
        int error;
        if (verb == NULL) {
            continue;
        }
        error = act(verb, first, second);
        say(report, verb, first != NULL ? first : "", error == 0 ? "ok" : strerror(error));
    }
    _exit(0);
}

/* The moment has come: the attacker acts while the program waits. */
static void attack(const char *kind, const char *path) {
    int saved = errno;
    const char *where = getenv("KIV_ATTACK_REPORT");
    int report = -1;
    pid_t child;
    if (where != NULL) {
        report = (int)syscall(SYS_openat, AT_FDCWD, where,
                              O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    say(report, "moment", kind, path);
    child = fork();
    if (child == 0) {
        attacker(report);
    }
    if (child > 0) {
        int status;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (report >= 0) {
        syscall(SYS_close, report);
    }
    errno = saved;
}

/* Wrappers for the calls that take one or two paths. */
#define ATTACK_AROUND(kind, path, other, call)                   \
    enum moment moment = moment_of(kind, path, other);           \
    if (moment == BEFORE) {                                      \
        attack(kind, path);                                      \
    }                                                            \
    call;                                                        \
    if (moment == AFTER) {                                       \
        attack(kind, path);                                      \
    }

#define HOOK1(type, name, kind, params, args, path)   \
    type name params {                                \
        type result;                                  \
        REAL(type, name, params)                      \
        ATTACK_AROUND(kind, path, NULL, result = real_##name args) \
        return result;                                \
    }

#define HOOK2(type, name, kind, params, args, path, other) \
    type name params {                                     \
        type result;                                       \
        REAL(type, name, params)                           \
        ATTACK_AROUND(kind, path, other, result = real_##name args) \
        return result;                                     \
    }

#define HOOK_OPEN(name, kind)                                    \
    int name(const char *path, int flags, ...) {                 \
        mode_t mode = 0;                                         \
        int result;                                              \
        REAL(int, name, (const char *, int, ...))                \
        MODE_OF(flags, mode);                                    \
        ATTACK_AROUND(kind, path, NULL, result = real_##name(path, flags, mode)) \
        return result;                                           \
    }

#define HOOK_OPENAT(name, kind)                                          \
    int name(int directory, const char *path, int flags, ...) {          \
        mode_t mode = 0;                                                 \
        int result;                                                      \
        REAL(int, name, (int, const char *, int, ...))                   \
        MODE_OF(flags, mode);                                            \
        ATTACK_AROUND(kind, path, NULL, result = real_##name(directory, path, flags, mode)) \
        return result;                                                   \
    }

HOOK_OPEN(open, "open")
HOOK_OPEN(open64, "open")
HOOK_OPENAT(openat, "openat")
HOOK_OPENAT(openat64, "openat")

HOOK1(int, stat, "stat", (const char *path, struct stat *status), (path, status), path)
HOOK1(int, stat64, "stat", (const char *path, struct stat64 *status), (path, status), path)
HOOK1(int, lstat, "lstat", (const char *path, struct stat *status), (path, status), path)
HOOK1(int, lstat64, "lstat", (const char *path, struct stat64 *status), (path, status), path)
HOOK1(int, fstatat, "fstatat", (int at, const char *path, struct stat *status, int flags),
      (at, path, status, flags), path)
HOOK1(int, fstatat64, "fstatat", (int at, const char *path, struct stat64 *status, int flags),
      (at, path, status, flags), path)
HOOK1(int, statx,
      "statx", (int at, const char *path, int flags, unsigned int mask, struct statx *status),
      (at, path, flags, mask, status), path)
HOOK1(int, access, "access", (const char *path, int how), (path, how), path)
HOOK1(int, faccessat, "faccessat", (int at, const char *path, int how, int flags),
      (at, path, how, flags), path)

HOOK2(int, rename, "rename", (const char *from, const char *to), (from, to), from, to)
HOOK2(int, renameat, "renameat", (int at, const char *from, int to_at, const char *to),
      (at, from, to_at, to), from, to)
HOOK2(int, renameat2, "renameat2",
      (int at, const char *from, int to_at, const char *to, unsigned int flags),
      (at, from, to_at, to, flags), from, to)
HOOK1(int, mkdir, "mkdir", (const char *path, mode_t mode), (path, mode), path)
HOOK1(int, mkdirat, "mkdirat", (int at, const char *path, mode_t mode), (at, path, mode), path)
HOOK1(int, rmdir, "rmdir", (const char *path), (path), path)
HOOK1(int, unlink, "unlink", (const char *path), (path), path)
HOOK1(int, unlinkat, "unlinkat", (int at, const char *path, int flags), (at, path, flags), path)
HOOK1(int, chmod, "chmod", (const char *path, mode_t mode), (path, mode), path)
HOOK1(int, fchmodat, "fchmodat", (int at, const char *path, mode_t mode, int flags),
      (at, path, mode, flags), path)
HOOK1(int, chown, "chown", (const char *path, uid_t owner, gid_t group), (path, owner, group),
      path)
HOOK1(int, lchown, "lchown", (const char *path, uid_t owner, gid_t group), (path, owner, group),
      path)
HOOK1(int, fchownat, "fchownat", (int at, const char *path, uid_t owner, gid_t group, int flags),
      (at, path, owner, group, flags), path)
HOOK1(int, utimensat, "utimensat",
      (int at, const char *path, const struct timespec times[2], int flags),
      (at, path, times, flags), path)
HOOK2(int, symlink, "symlink", (const char *target, const char *path), (target, path), target,
      path)
HOOK2(int, symlinkat, "symlinkat", (const char *target, int at, const char *path),
      (target, at, path), target, path)
HOOK2(int, link, "link", (const char *from, const char *to), (from, to), from, to)
HOOK2(int, linkat, "linkat", (int at, const char *from, int to_at, const char *to, int flags),
      (at, from, to_at, to, flags), from, to)
HOOK1(ssize_t, readlink, "readlink", (const char *path, char *buffer, size_t size),
      (path, buffer, size), path)
HOOK1(ssize_t, readlinkat, "readlinkat", (int at, const char *path, char *buffer, size_t size),
      (at, path, buffer, size), path)

/* The close of a descriptor of the watched file: its path is read before
 * the descriptor goes. Only looked up when closes are watched. */
int close(int fd) {
    char path[4096] = "";
    int result;
    REAL(int, close, (int))
    if (!attacked && kind_wanted("close")) {
        char own[40];
        long length;
        snprintf(own, sizeof own, "/proc/self/fd/%d", fd);
        length = syscall(SYS_readlinkat, AT_FDCWD, own, path, sizeof path - 1);
        path[length > 0 ? length : 0] = '\0';
    }
    ATTACK_AROUND("close", path[0] != '\0' ? path : NULL, NULL, result = real_close(fd))
    return result;
}
