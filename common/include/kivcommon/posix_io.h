/* SPDX-License-Identifier: Zlib */
// Opening, reading and writing files on POSIX, the same way everywhere in
// the project: interrupted calls are retried, partial writes continued.
#ifndef KIVCOMMON_POSIX_IO_H
#define KIVCOMMON_POSIX_IO_H

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

namespace kivcommon {

// Large transfers are split so that each fits what one system call takes.
constexpr std::size_t largest_transfer = std::size_t{1} << 30;

// Invokes openat(), again for as long as it is interrupted by a signal. The
// descriptor is never inherited by programs the caller starts.
inline int open_retrying(int directory, const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::openat(directory, path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Reads up to `size` bytes; returns how many (0 at the end), or -1.
inline ssize_t read_some(int fd, void* buffer, std::size_t size) {
    ssize_t got;
    do {
        got = ::read(fd, buffer, size < largest_transfer ? size : largest_transfer);
    } while (got < 0 && errno == EINTR);
    return got;
}

// Writes every byte; false as soon as a write fails or makes no progress.
inline bool write_all(int fd, const void* bytes, std::size_t size) {
    const char* next = static_cast<const char*>(bytes);
    while (size > 0) {
        ssize_t written = ::write(fd, next, size < largest_transfer ? size : largest_transfer);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        next += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Closes a descriptor; false if the close reports an error. Never retried:
// after EINTR the descriptor is already gone.
inline bool close_handle(int fd) {
    return ::close(fd) == 0;
}

}  // namespace kivcommon

#endif
