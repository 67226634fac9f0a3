/* SPDX-License-Identifier: Zlib */
// Opening, reading and writing files on POSIX, the same way everywhere in
// the project: interrupted calls are retried, partial writes continued.
#ifndef KIVCOMMON_POSIX_IO_H
#define KIVCOMMON_POSIX_IO_H

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <utility>

namespace kivcommon {

// Large transfers are split so that each fits what one system call takes.
constexpr std::size_t largest_transfer = std::size_t{1} << 30;

// Invokes openat(), again for as long as it is interrupted by a signal. The
// descriptor is never inherited by programs the caller starts, and opening
// a terminal never makes it the caller's controlling terminal: a privileged
// service without one would otherwise take on the terminal of whoever put
// it at the name.
inline int open_retrying(int directory, const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::openat(directory, path, flags | O_CLOEXEC | O_NOCTTY, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// An existing name, resolved without opening what it names: a path
// descriptor (O_PATH) reads no data and has none of the side effects of
// opening a device, a FIFO or a terminal. Its status says what the name
// stood for at that moment, and only a regular file is then opened for
// data, by reopening that very descriptor, so that a name swapped for a
// device in between is never opened. Links are followed unless the flags
// given to resolve() say O_NOFOLLOW.
class ResolvedName {
public:
    ResolvedName() = default;
    ~ResolvedName() { release(); }
    ResolvedName(ResolvedName&& other) noexcept { *this = std::move(other); }
    ResolvedName& operator=(ResolvedName&& other) noexcept {
        if (this != &other) {
            release();
            fd_ = std::exchange(other.fd_, -1);
            status_ = other.status_;
            error_ = other.error_;
            directory_ = other.directory_;
            path_ = other.path_;
        }
        return *this;
    }
    ResolvedName(const ResolvedName&) = delete;
    ResolvedName& operator=(const ResolvedName&) = delete;

    // Resolves `path`, relative to `directory`. `flags` may add O_NOFOLLOW.
    static ResolvedName resolve(int directory, const char* path, int flags = 0) {
        ResolvedName name;
        name.directory_ = directory;
        name.path_ = path;
        name.fd_ = open_retrying(directory, path, O_PATH | (flags & O_NOFOLLOW));
        if (name.fd_ < 0 || ::fstat(name.fd_, &name.status_) != 0) {
            name.error_ = errno;
            name.release();
        }
        return name;
    }

    // Whether something exists at the name; if not, error() says why
    // (ENOENT for nothing there, or a dangling link).
    bool exists() const { return fd_ >= 0; }
    int error() const { return error_; }
    // The status of what the name stood for; valid when exists().
    const struct stat& status() const { return status_; }
    bool is_regular() const { return exists() && S_ISREG(status_.st_mode); }

    // A path that stands for what the name was resolved to, whatever the
    // name stands for by now, for the calls that take a path but no
    // descriptor (chmod, chown, utimensat on what an O_PATH descriptor
    // holds): its entry in /proc/self/fd; the name itself where /proc is not
    // mounted.
    std::string own_path() const {
        char own[40];
        std::snprintf(own, sizeof own, "/proc/self/fd/%d", fd_);
        struct stat status {};
        return ::stat(own, &status) == 0 ? std::string(own) : std::string(path_);
    }

    // Opens the regular file found at the name for data with `flags`
    // (O_RDONLY, O_WRONLY or O_RDWR, and O_NOATIME). Returns the descriptor,
    // or -1 with errno set: EISDIR for a directory, ENXIO for anything else
    // that is not a regular file. The reopening goes through /proc/self/fd;
    // where /proc is not mounted the name is opened once more, without
    // waiting, and kept only if it still stands for the same file.
    int reopen(int flags) const {
        if (!is_regular()) {
            errno = !exists() ? error_ : S_ISDIR(status_.st_mode) ? EISDIR : ENXIO;
            return -1;
        }
        char own[40];
        std::snprintf(own, sizeof own, "/proc/self/fd/%d", fd_);
        int fd = open_retrying(AT_FDCWD, own, flags);
        if (fd >= 0 || errno != ENOENT) {
            return fd;
        }
        fd = open_retrying(directory_, path_, flags | O_NONBLOCK);
        struct stat opened {};
        if (fd >= 0 && (::fstat(fd, &opened) != 0 || opened.st_dev != status_.st_dev ||
                        opened.st_ino != status_.st_ino)) {
            ::close(fd);
            errno = ENXIO;
            return -1;
        }
        return fd;
    }

private:
    void release() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    int fd_ = -1;
    struct stat status_ {};
    int error_ = 0;
    int directory_ = AT_FDCWD;
    const char* path_ = "";
};

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
