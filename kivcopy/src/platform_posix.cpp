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
    int fd = open_retrying(path, O_RDONLY);
    if (fd < 0) {
        return nullptr;
    }
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return nullptr;
    }
    return stream_on(fd, "rb");
}

// The target is opened without O_TRUNC and truncated only once it is known
// not to be the source: truncating first would destroy the very data that is
// about to be copied.
TargetStream open_target(const char* path, std::FILE* source) {
    int fd = open_retrying(path, O_WRONLY | O_CREAT, 0666);
    if (fd < 0) {
        return {};
    }
    struct stat target_status {};
    struct stat source_status {};
    if (::fstat(fd, &target_status) == 0 && ::fstat(::fileno(source), &source_status) == 0 &&
        same_file(target_status, source_status)) {
        ::close(fd);
        return {nullptr, true};
    }
    // Only regular files have a length to cut; devices such as /dev/null
    // ignore truncation when they are opened with O_TRUNC, and so do we.
    if (S_ISREG(target_status.st_mode) && ::ftruncate(fd, 0) != 0) {
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
