// POSIX services for the substitution.
#include "platform.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace kivsubst::platform {
namespace {

// Invokes open(), again for as long as it is interrupted by a signal.
int open_retrying(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

FileTime from_timespec(const struct timespec& time) {
    return {static_cast<std::int64_t>(time.tv_sec), static_cast<std::int32_t>(time.tv_nsec)};
}

struct timespec to_timespec(const FileTime& time) {
    struct timespec converted {};
    converted.tv_sec = static_cast<time_t>(time.seconds);
    converted.tv_nsec = time.nanoseconds;
    return converted;
}

int fd_of(std::intptr_t descriptor) {
    return static_cast<int>(descriptor);
}

// Large transfers are split so that each fits what one system call takes.
constexpr std::size_t largest_transfer = std::size_t{1} << 30;

// How much written data may wait before the disk is asked to start on it.
constexpr std::int64_t writeback_chunk = std::int64_t{8} << 20;

}  // namespace

std::optional<FileTimes> read_times(const char* path) {
    struct stat status {};
    if (::stat(path, &status) != 0) {
        return std::nullopt;
    }
    return FileTimes{from_timespec(status.st_atim), from_timespec(status.st_mtim)};
}

bool set_times(const char* path, const FileTimes& times) {
    struct timespec both[2] = {to_timespec(times.access), to_timespec(times.modification)};
    return ::utimensat(AT_FDCWD, path, both, 0) == 0;
}

bool exists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

bool name_is_free(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) != 0 && errno == ENOENT;
}

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

std::string directory_part(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string root_directory() {
    return "/";
}

std::string current_directory() {
    char buffer[PATH_MAX];
    return ::getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string(".");
}

bool ends_with_separator(const std::string& path) {
    return !path.empty() && path.back() == '/';
}

// A directory is synced through a descriptor opened on it. File systems that
// cannot sync a directory say EINVAL; there is nothing more to do there.
bool sync_directory(const std::string& directory) {
    int fd = open_retrying(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        return false;
    }
    bool synced = ::fsync(fd) == 0 || errno == EINVAL;
    ::close(fd);
    return synced;
}

bool remove_file(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

File::~File() {
    if (descriptor_ >= 0) {
        ::close(fd_of(descriptor_));
    }
}

File::File(File&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (descriptor_ >= 0) {
            ::close(fd_of(descriptor_));
        }
        descriptor_ = std::exchange(other.descriptor_, -1);
    }
    return *this;
}

// Opens a path without waiting: a FIFO with no other end would otherwise
// block the call for ever. Only a regular file is kept (O_NONBLOCK changes
// nothing for one); anything else (a directory, a FIFO, a device) is
// refused.
File File::open_regular(const char* path, int flags) {
    File file(open_retrying(path, flags | O_NONBLOCK));
    struct stat status {};
    if (file.is_open() &&
        (::fstat(fd_of(file.descriptor_), &status) != 0 || !S_ISREG(status.st_mode))) {
        return File();
    }
    return file;
}

File File::open_for_reading(const char* path) {
    return open_regular(path, O_RDONLY);
}

File File::create_new(const std::string& path, Creation& outcome) {
    File file(open_retrying(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
    if (file.is_open()) {
        outcome = Creation::created;
    } else {
        outcome = errno == EEXIST ? Creation::name_taken : Creation::failed;
    }
    return file;
}

File File::open_for_overwriting(const char* path) {
    return open_regular(path, O_WRONLY);
}

bool File::is_open() const {
    return descriptor_ >= 0;
}

std::int64_t File::length() const {
    struct stat status {};
    if (::fstat(fd_of(descriptor_), &status) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>(status.st_size);
}

std::ptrdiff_t File::read_some(void* buffer, std::size_t size) {
    ssize_t got;
    do {
        got = ::read(fd_of(descriptor_), buffer, size < largest_transfer ? size : largest_transfer);
    } while (got < 0 && errno == EINTR);
    return got;
}

bool File::write_all(const void* bytes, std::size_t size) {
    const char* next = static_cast<const char*>(bytes);
    while (size > 0) {
        ssize_t written = ::write(fd_of(descriptor_), next, size < largest_transfer ? size : largest_transfer);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        next += written;
        size -= static_cast<std::size_t>(written);
        note_written(written);
    }
    return true;
}

// Asks the disk to start writing every few MiB instead of leaving all the
// data to the fsync at the end, so that the disk works while the data is
// still being made. Only a hint: the fsync still decides what is durable.
void File::note_written(std::int64_t bytes) {
    written_since_writeback_ += bytes;
    if (written_since_writeback_ >= writeback_chunk) {
        ::sync_file_range(fd_of(descriptor_), 0, 0, SYNC_FILE_RANGE_WRITE);
        written_since_writeback_ = 0;
    }
}

bool File::rewind() {
    return ::lseek(fd_of(descriptor_), 0, SEEK_SET) == 0;
}

Reservation File::reserve(std::int64_t length) {
    if (length <= 0) {
        return Reservation::reserved;
    }
    int failed;
    do {
        failed = ::fallocate(fd_of(descriptor_), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length));
    } while (failed != 0 && errno == EINTR);
    if (failed == 0) {
        return Reservation::reserved;
    }
    return errno == ENOSPC || errno == EDQUOT ? Reservation::no_space : Reservation::unsupported;
}

bool File::truncate(std::int64_t length) {
    int failed;
    do {
        failed = ::ftruncate(fd_of(descriptor_), static_cast<off_t>(length));
    } while (failed != 0 && errno == EINTR);
    return failed == 0;
}

// copy_file_range moves the bytes inside the kernel, as the system's own
// copy tools do. It refuses file pairs it cannot handle (other file systems,
// special files) before copying anything.
KernelCopy File::copy_from(File& source, std::int64_t& copied) {
    copied = 0;
    for (;;) {
        ssize_t moved = ::copy_file_range(fd_of(source.descriptor_), nullptr, fd_of(descriptor_),
                                          nullptr, static_cast<std::size_t>(writeback_chunk), 0);
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved < 0) {
            bool refused = errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                           errno == EOPNOTSUPP || errno == EBADF;
            return copied == 0 && refused ? KernelCopy::unsupported : KernelCopy::failed;
        }
        if (moved == 0) {
            return KernelCopy::copied;
        }
        copied += moved;
        note_written(moved);
    }
}

// Files that cannot be synced, such as devices, say EINVAL.
bool File::sync() {
    return ::fsync(fd_of(descriptor_)) == 0 || errno == EINVAL;
}

// close() is never retried: after EINTR the descriptor is already gone.
bool File::close() {
    std::intptr_t descriptor = std::exchange(descriptor_, -1);
    return descriptor < 0 || ::close(fd_of(descriptor)) == 0;
}

}  // namespace kivsubst::platform
