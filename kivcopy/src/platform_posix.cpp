// POSIX services for the copy: descriptors under the streams, file status
// and nanosecond times.
#include "platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kivcopy::platform {
namespace {

// Invokes open(), again for as long as it is interrupted by a signal.
int open_retrying(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens a path without waiting: a FIFO with no other end would otherwise
// block the call for ever. Only a regular file is kept (O_NONBLOCK changes
// nothing for one); anything else (a directory, a FIFO, a device) is closed
// and refused. The status read is handed back.
int open_regular(const char* path, int flags, mode_t mode, struct stat& status) {
    int fd = open_retrying(path, flags | O_NONBLOCK, mode);
    if (fd < 0) {
        return -1;
    }
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Wraps a descriptor in a stream; the descriptor is closed if that fails.
std::FILE* stream_on(int fd, const char* mode) {
    std::FILE* stream = ::fdopen(fd, mode);
    if (stream == nullptr) {
        ::close(fd);
    }
    return stream;
}

}  // namespace

std::FILE* open_source(const char* path) {
    struct stat status {};
    int fd = open_regular(path, O_RDONLY, 0, status);
    return fd < 0 ? nullptr : stream_on(fd, "rb");
}

// The target is opened without O_TRUNC and truncated only once it is known
// not to be the source: truncating first would destroy the very data that is
// about to be copied.
TargetStream open_target(const char* path, std::FILE* source) {
    struct stat target_status {};
    int fd = open_regular(path, O_WRONLY | O_CREAT, 0666, target_status);
    if (fd < 0) {
        return {};
    }
    struct stat source_status {};
    if (::fstat(::fileno(source), &source_status) == 0 && same_file(target_status, source_status)) {
        ::close(fd);
        return {nullptr, true};
    }
    // A target that is empty already is not truncated again: on some file
    // systems (ext4) a truncated file is flushed to disk when it is closed,
    // which would cost every copy a synchronous write.
    if (target_status.st_size > 0 && ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return {};
    }
    return {stream_on(fd, "wb"), false};
}

bool read_access_time(std::FILE* file, FileTime& time) {
    struct stat status {};
    if (::fstat(::fileno(file), &status) != 0) {
        return false;
    }
    time.seconds = status.st_atim.tv_sec;
    time.nanoseconds = static_cast<std::int32_t>(status.st_atim.tv_nsec);
    return true;
}

bool set_both_times(const char* path, FileTime time) {
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(time.seconds);
    times[0].tv_nsec = time.nanoseconds;
    times[1] = times[0];
    return ::utimensat(AT_FDCWD, path, times, 0) == 0;
}

}  // namespace kivcopy::platform
