// SPDX-License-Identifier: Zlib
// POSIX services for the substitution.
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <utility>

#include "kivcommon/posix_io.h"
#include "paths.h"

namespace kivsubst::platform {
namespace {

using kivcommon::open_retrying;

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

// How much written data may wait before the disk is asked to start on it.
constexpr std::int64_t writeback_chunk = std::int64_t{8} << 20;

File adopt(int fd) {
    return fd < 0 ? File() : File(fd);
}

int open_flags(Access access) {
    return access == Access::read ? O_RDONLY : O_WRONLY;
}

// Opens an existing regular file, relative to `directory`. The name is
// resolved first without opening anything, and only a regular file found
// there is opened for data: a directory, a FIFO, a device or a terminal at
// the name is refused without ever being opened (nor waited on).
File open_regular_at(int directory, const char* path, Access access,
                     Links links = Links::follow) {
    const int nofollow = links == Links::refuse ? O_NOFOLLOW : 0;
    return adopt(
        kivcommon::ResolvedName::resolve(directory, path, nofollow).reopen(open_flags(access)));
}

File create_new_at(int directory, const char* path, Creation& outcome) {
    File file = adopt(open_retrying(directory, path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
    if (file.is_open()) {
        outcome = Creation::created;
    } else {
        outcome = errno == EEXIST ? Creation::name_taken : Creation::failed;
    }
    return file;
}

// Asks the disk to start writing every few MiB instead of leaving all the
// data to the fsync at the end, so that the disk works while the data is
// still being made. Only a hint: the fsync still decides what is durable.
void hint_writeback(int fd, std::int64_t& unhinted, std::int64_t written) {
    unhinted += written;
    if (unhinted >= writeback_chunk) {
        ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        unhinted = 0;
    }
}

}  // namespace

// Paths are bytes here, taken and printed as they are.
std::optional<Path> path_from_narrow(const char* path) {
    return Path(path);
}

std::string narrow_path(const Path& path) {
    return path;
}

Path ascii_path(const std::string& text) {
    return text;
}

std::optional<Path> environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<Path>(value) : std::nullopt;
}

bool exists(const Path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

std::string last_error() {
    return std::strerror(errno);
}

// syncfs writes out every file system's dirty data and metadata at once:
// for many small files, a few syncs instead of two or three a file.
bool sync_all(const std::vector<File*>& files) {
    std::vector<dev_t> synced;
    bool all = true;
    for (File* file : files) {
        struct stat status {};
        if (::fstat(file->handle(), &status) != 0) {
            all = false;
            continue;
        }
        if (std::find(synced.begin(), synced.end(), status.st_dev) != synced.end()) {
            continue;
        }
        synced.push_back(status.st_dev);
        all = ::syncfs(file->handle()) == 0 && all;
    }
    return all;
}

File File::open_for_reading(const Path& path) {
    return open_regular_at(AT_FDCWD, path.c_str(), Access::read);
}

File File::create_new(const Path& path, Creation& outcome) {
    return create_new_at(AT_FDCWD, path.c_str(), outcome);
}

File File::open_for_overwriting(const Path& path) {
    return open_regular_at(AT_FDCWD, path.c_str(), Access::write);
}

std::optional<FileStatus> File::status() const {
    struct stat status {};
    if (::fstat(handle_, &status) != 0) {
        return std::nullopt;
    }
    return FileStatus{{static_cast<std::uint64_t>(status.st_dev),
                       static_cast<std::uint64_t>(status.st_ino)},
                      static_cast<std::int64_t>(status.st_size),
                      {from_timespec(status.st_atim), from_timespec(status.st_mtim)}};
}

bool File::set_times(const FileTimes& times) {
    struct timespec both[2] = {to_timespec(times.access), to_timespec(times.modification)};
    return ::futimens(handle_, both) == 0;
}

Privileges File::privileges() const {
    Privileges privileges;
    struct stat status {};
    if (::fstat(handle_, &status) == 0) {
        privileges.mode = status.st_mode & 07777;
        privileges.owner = status.st_uid;
        privileges.group = status.st_gid;
    }
    ssize_t size = ::fgetxattr(handle_, capability_attribute, nullptr, 0);
    if (size > 0) {
        privileges.capability.resize(static_cast<std::size_t>(size));
        size = ::fgetxattr(handle_, capability_attribute, privileges.capability.data(),
                           privileges.capability.size());
        privileges.has_capability = size > 0;
        privileges.capability.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    }
    return privileges;
}

// Only what the write took is put back: the set-ID bits if they are gone
// (the owner may set them on its own file), the capabilities if they are
// gone (only a caller with the privilege to set capabilities may). What the
// caller may not do is left as the write left it. A file that has changed
// hands since the privileges were recorded gets neither: they were granted
// to the file as its owner and group held it, not to whoever holds it now.
void File::restore(const Privileges& privileges) {
    struct stat status {};
    if (::fstat(handle_, &status) != 0 || status.st_uid != privileges.owner ||
        status.st_gid != privileges.group) {
        return;
    }
    if ((privileges.mode & set_id_bits) != 0 && (status.st_mode & 07777) != privileges.mode) {
        ::fchmod(handle_, static_cast<mode_t>(privileges.mode));
    }
    if (privileges.has_capability &&
        ::fgetxattr(handle_, capability_attribute, nullptr, 0) < 0) {
        ::fsetxattr(handle_, capability_attribute, privileges.capability.data(),
                    privileges.capability.size(), 0);
    }
}

std::int64_t File::length() const {
    struct stat status {};
    if (::fstat(handle_, &status) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>(status.st_size);
}

std::ptrdiff_t File::read_some(void* buffer, std::size_t size) {
    return kivcommon::read_some(handle_, buffer, size);
}

std::ptrdiff_t File::read_at(std::int64_t offset, void* buffer, std::size_t size) {
    ssize_t got;
    do {
        got = ::pread(handle_, buffer, size, static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
    return got;
}

bool File::write_all(const void* bytes, std::size_t size) {
    if (!kivcommon::write_all(handle_, bytes, size)) {
        return false;
    }
    hint_writeback(handle_, unhinted_bytes_, static_cast<std::int64_t>(size));
    return true;
}

bool File::rewind() {
    return ::lseek(handle_, 0, SEEK_SET) == 0;
}

Reservation File::reserve(std::int64_t length) {
    if (length <= 0) {
        return Reservation::reserved;
    }
    int failed;
    do {
        failed = ::fallocate(handle_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length));
    } while (failed != 0 && errno == EINTR);
    if (failed == 0) {
        return Reservation::reserved;
    }
    return errno == ENOSPC || errno == EDQUOT ? Reservation::no_space : Reservation::unsupported;
}

bool File::lock_for_writing() {
    return true;
}

bool File::truncate(std::int64_t length) {
    int failed;
    do {
        failed = ::ftruncate(handle_, static_cast<off_t>(length));
    } while (failed != 0 && errno == EINTR);
    return failed == 0;
}

// copy_file_range moves the bytes inside the kernel, as the system's own
// copy tools do. It refuses file pairs it cannot handle (other file systems,
// special files) before copying anything.
KernelCopy File::copy_from(File& source, std::int64_t& copied) {
    copied = 0;
    for (;;) {
        ssize_t moved = ::copy_file_range(source.handle_, nullptr, handle_,
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
        hint_writeback(handle_, unhinted_bytes_, moved);
    }
}

// Files that cannot be synced, such as devices, say EINVAL.
bool File::sync() {
    return ::fsync(handle_) == 0 || errno == EINVAL;
}

// close() is never retried: after EINTR the descriptor is already gone.
bool File::close() {
    return !std::exchange(open_, false) || ::close(handle_) == 0;
}

Directory::~Directory() {
    if (open_) {
        ::close(handle_);
    }
}

Directory::Directory(Directory&& other) noexcept
    : path_(std::move(other.path_)),
      handle_(other.handle_),
      readable_(other.readable_),
      open_(std::exchange(other.open_, false)) {}

Directory& Directory::operator=(Directory&& other) noexcept {
    if (this != &other) {
        if (open_) {
            ::close(handle_);
        }
        path_ = std::move(other.path_);
        handle_ = other.handle_;
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
Directory Directory::open(const Path& path) {
    Directory directory;
    directory.path_ = path;
    const char* name = path.empty() ? "." : path.c_str();
    int fd = open_retrying(AT_FDCWD, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    directory.readable_ = fd >= 0;
    if (fd < 0 && errno == EACCES) {
        fd = open_retrying(AT_FDCWD, name, O_PATH | O_DIRECTORY | O_NOFOLLOW);
    }
    directory.handle_ = fd;
    directory.open_ = fd >= 0;
    return directory;
}

// A duplicate of the caller's descriptor, which may be a path descriptor
// (a directory that may be searched but not read): such a one serves
// everything but syncing the directory.
Directory Directory::held(NativeHandle directory, const Path& path) {
    Directory held;
    held.path_ = path;
    const int fd = ::fcntl(directory, F_DUPFD_CLOEXEC, 0);
    held.readable_ = fd >= 0 && (::fcntl(fd, F_GETFL) & O_PATH) == 0;
    held.handle_ = fd;
    held.open_ = fd >= 0;
    return held;
}

NameState Directory::check(const Path& name) const {
    if (!open_) {
        return NameState::unchecked;
    }
    struct stat status {};
    if (::fstatat(handle_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 ||
        errno == EACCES) {
        return NameState::taken;
    }
    return errno == ENOENT ? NameState::free : NameState::unchecked;
}

File Directory::create_new(const Path& name, Creation& outcome) {
    if (!open_) {
        outcome = Creation::failed;
        return File();
    }
    return create_new_at(handle_, name.c_str(), outcome);
}

File Directory::open_for_reading(const Path& name, Links links) {
    return open_ ? open_regular_at(handle_, name.c_str(), Access::read, links) : File();
}

File Directory::open_for_overwriting(const Path& name, Links links) {
    return open_ ? open_regular_at(handle_, name.c_str(), Access::write, links) : File();
}

// File systems that cannot sync a directory say EINVAL; there is nothing
// more to do there. Where the directory cannot be synced through its own
// descriptor, syncing the whole file system makes the entry durable too:
// slower, but a call never fails only because the quick way was closed.
bool Directory::sync_entry(File& file) {
    if (readable_ && (::fsync(handle_) == 0 || errno == EINVAL)) {
        return true;
    }
    return ::syncfs(file.handle()) == 0;
}

bool Directory::remove(const Path& name) {
    return open_ && ::unlinkat(handle_, name.c_str(), 0) == 0;
}

}  // namespace kivsubst::platform
