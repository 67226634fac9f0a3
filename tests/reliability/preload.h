/* SPDX-License-Identifier: Zlib */
/* What the preloaded libraries share: finding the C library's own function
 * behind the one they put in front of it, and the optional mode argument
 * of the open functions. */
#ifndef KIV_PRELOAD_H
#define KIV_PRELOAD_H

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/types.h>

/* The next definition of `name` after this library: the C library's. */
static inline void *preload_next(const char *name) {
    void *found = dlsym(RTLD_NEXT, name);
    if (found == NULL) {
        abort();
    }
    return found;
}

/* Declares real_NAME, the C library's own NAME, found on first use. */
#define REAL(type, name, params)                       \
    static type(*real_##name) params;                  \
    if (real_##name == NULL) {                         \
        *(void **)(&real_##name) = preload_next(#name); \
    }

/* The mode argument is there only when the flags create a file. */
#define MODE_OF(flags, mode)                                  \
    do {                                                      \
        if (((flags) & (O_CREAT | O_TMPFILE)) != 0) {         \
            va_list arguments;                                \
            va_start(arguments, flags);                       \
            mode = (mode_t)va_arg(arguments, int);            \
            va_end(arguments);                                \
        }                                                     \
    } while (0)

#endif
