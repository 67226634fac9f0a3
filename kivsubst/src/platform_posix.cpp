// POSIX services for the substitution.
#include "platform.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <utility>

namespace kivsubst::platform {
namespace {

// Invokes openat(), again for as long as it is interrupted by a signal.
int open_at_retrying(int directory, const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::openat(directory, path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// The attribute that holds a file's capabilities.
constexpr const char* capability_attribute = "security.capability";

// The bits that an ordinary write may clear.
constexpr mode_t set_id_bits = S_ISUID | S_ISGID;

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

bool exists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
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

std::string name_part(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
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
    return open_regular_at(AT_FDCWD, path, flags);
}

File File::open_regular_at(int directory, const char* path, int flags) {
    File file(open_at_retrying(directory, path, flags | O_NONBLOCK));
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
    return create_new_at(AT_FDCWD, path.c_str(), outcome);
}

File File::create_new_at(int directory, const char* path, Creation& outcome) {
    File file(open_at_retrying(directory, path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
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

std::optional<FileStatus> File::status() const {
    struct stat status {};
    if (::fstat(fd_of(descriptor_), &status) != 0) {
        return std::nullopt;
    }
    return FileStatus{{static_cast<std::uint64_t>(status.st_dev),
                       static_cast<std::uint64_t>(status.st_ino)},
                      static_cast<std::int64_t>(status.st_size),
                      {from_timespec(status.st_atim), from_timespec(status.st_mtim)}};
}

bool File::set_times(const FileTimes& times) {
    struct timespec both[2] = {to_timespec(times.access), to_timespec(times.modification)};
    return ::futimens(fd_of(descriptor_), both) == 0;
}

Privileges File::privileges() const {
    Privileges privileges;
    struct stat status {};
    if (::fstat(fd_of(descriptor_), &status) == 0) {
        privileges.mode = status.st_mode & 07777;
    }
    ssize_t size = ::fgetxattr(fd_of(descriptor_), capability_attribute, nullptr, 0);
    if (size > 0) {
        privileges.capability.resize(static_cast<std::size_t>(size));
        size = ::fgetxattr(fd_of(descriptor_), capability_attribute, privileges.capability.data(),
                           privileges.capability.size());
        privileges.has_capability = size > 0;
        privileges.capability.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    }
    return privileges;
}

// Only what the write took is put back: the set-ID bits if they are gone
// (the owner may set them on its own file), the capabilities if they are
// gone (only a caller with the privilege to set capabilities may). What the
// caller may not do is left as the write left it.
void File::restore(const Privileges& privileges) {
    struct stat status {};
    if ((privileges.mode & set_id_bits) != 0 && ::fstat(fd_of(descriptor_), &status) == 0 &&
        (status.st_mode & 07777) != privileges.mode) {
        ::fchmod(fd_of(descriptor_), static_cast<mode_t>(privileges.mode));
    }
    if (privileges.has_capability &&
        ::fgetxattr(fd_of(descriptor_), capability_attribute, nullptr, 0) < 0) {
        ::fsetxattr(fd_of(descriptor_), capability_attribute, privileges.capability.data(),
                    privileges.capability.size(), 0);
    }
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

Directory::~Directory() {
    if (open_ && descriptor_ >= 0) {
        ::close(fd_of(descriptor_));
    }
}

Directory::Directory(Directory&& other) noexcept
    : path_(std::move(other.path_)),
      descriptor_(std::exchange(other.descriptor_, -1)),
      readable_(other.readable_),
      open_(std::exchange(other.open_, false)) {}

Directory& Directory::operator=(Directory&& other) noexcept {
    if (this != &other) {
        if (open_ && descriptor_ >= 0) {
            ::close(fd_of(descriptor_));
        }
        path_ = std::move(other.path_);
        descriptor_ = std::exchange(other.descriptor_, -1);
        readable_ = other.readable_;
        open_ = std::exchange(other.open_, false);
    }
    return *this;
}

// O_NOFOLLOW refuses a link at the directory's own name; a path that ends
// in a separator, as the file's own directory does, resolves its last
// component like the file's path would. A directory that may be written
// and searched but not read (mode 0733) is held as a bare path handle,
// which serves everything but syncing it.
Directory Directory::open(const std::string& path) {
    Directory directory;
    directory.path_ = path;
    const char* name = path.empty() ? "." : path.c_str();
    int fd = open_at_retrying(AT_FDCWD, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    directory.readable_ = fd >= 0;
    if (fd < 0 && errno == EACCES) {
        fd = open_at_retrying(AT_FDCWD, name, O_PATH | O_DIRECTORY | O_NOFOLLOW);
    }
    directory.descriptor_ = fd;
    directory.open_ = fd >= 0;
    return directory;
}

bool Directory::is_open() const {
    return open_;
}

NameState Directory::check(const std::string& name) const {
    if (!open_) {
        return NameState::unchecked;
    }
    struct stat status {};
    if (::fstatat(fd_of(descriptor_), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 ||
        errno == EACCES) {
        return NameState::taken;
    }
    return errno == ENOENT ? NameState::free : NameState::unchecked;
}

File Directory::create_new(const std::string& name, Creation& outcome) {
    if (!open_) {
        outcome = Creation::failed;
        return File();
    }
    return File::create_new_at(fd_of(descriptor_), name.c_str(), outcome);
}

File Directory::open_for_reading(const std::string& name) {
    return open_ ? File::open_regular_at(fd_of(descriptor_), name.c_str(), O_RDONLY) : File();
}

File Directory::open_for_overwriting(const std::string& name) {
    return open_ ? File::open_regular_at(fd_of(descriptor_), name.c_str(), O_WRONLY) : File();
}

// File systems that cannot sync a directory say EINVAL; there is nothing
// more to do there. Where the directory cannot be synced through its own
// descriptor, syncing the whole file system makes the entry durable too:
// slower, but a call never fails only because the quick way was closed.
bool Directory::sync_entry(File& file) {
    if (readable_ && (::fsync(fd_of(descriptor_)) == 0 || errno == EINVAL)) {
        return true;
    }
    return ::syncfs(fd_of(file.descriptor_)) == 0;
}

bool Directory::remove(const std::string& name) {
    return open_ && ::unlinkat(fd_of(descriptor_), name.c_str(), 0) == 0;
}

}  // namespace kivsubst::platform
