// Opening files on POSIX, the same way everywhere in the project.
#ifndef KIVCOMMON_POSIX_OPEN_H
#define KIVCOMMON_POSIX_OPEN_H

#include <cerrno>
#include <fcntl.h>
#include <sys/types.h>

namespace kivcommon {

// Invokes openat(), again for as long as it is interrupted by a signal. The
// descriptor is never inherited by programs the caller starts.
inline int open_retrying(int directory, const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::openat(directory, path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace kivcommon

#endif
