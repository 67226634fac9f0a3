// SPDX-License-Identifier: Zlib
// POSIX services for the substitution: paths and files. Directories are in
// directory_posix.cpp, the syncs of a batch in durability_posix.cpp.
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
#include "kivfs/leftovers.h"
#include "paths.h"
#include "platform_posix.h"

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

File adopt(int fd, File::Entry entry) {
    return fd < 0 ? File() : File(fd, entry);
}

int open_flags(Access access) {
    return access == Access::read ? O_RDONLY : O_WRONLY;
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

File open_regular_at(int directory, const char* path, Access access, Links links) {
    const int nofollow = links == Links::refuse ? O_NOFOLLOW : 0;
    return adopt(
        kivcommon::ResolvedName::resolve(directory, path, nofollow).reopen(open_flags(access)),
        File::Entry::existing);
}

// The temporary file is held by this call from its creation on, so that
// another call's settling of the directory leaves it (kivfs/leftovers.h).
// One that a settling took in the moment before it was held counts as a
// name taken: the caller goes on to the next name.
File create_new_at(int directory, const char* path, Creation& outcome, File::Entry entry) {
    File file = adopt(open_retrying(directory, path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600),
                      entry);
    if (!file.is_open()) {
        outcome = errno == EEXIST ? Creation::name_taken : Creation::failed;
        return file;
    }
    if (!kivfs::hold_while_alive(file.handle(), directory, path)) {
        outcome = Creation::name_taken;
        return File();
    }
    outcome = Creation::created;
    return file;
}

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

int last_error() {
    return errno;
}

std::string describe(int error) {
    return std::strerror(error);
}

File File::open_for_reading(const Path& path) {
    return open_regular_at(AT_FDCWD, path.c_str(), Access::read, Links::follow);
}

File File::create_new(const Path& path, Creation& outcome) {
    return create_new_at(AT_FDCWD, path.c_str(), outcome, File::Entry::unknown);
}

File File::open_for_overwriting(const Path& path) {
    return open_regular_at(AT_FDCWD, path.c_str(), Access::write, Links::follow);
}

std::optional<FileStatus> File::status() const {
    struct stat status {};
    if (::fstat(handle_, &status) != 0) {
        return std::nullopt;
    }
    return FileStatus{{static_cast<std::uint64_t>(status.st_dev),
                       static_cast<std::uint64_t>(status.st_ino)},
                      static_cast<std::int64_t>(status.st_size),
                      {from_timespec(status.st_atim), from_timespec(status.st_mtim)},
                      static_cast<unsigned>(status.st_mode & 07777),
                      status.st_uid,
                      status.st_gid};
}

bool File::set_times(const FileTimes& times) {
    struct timespec both[2] = {to_timespec(times.access), to_timespec(times.modification)};
    return ::futimens(handle_, both) == 0;
}

// The mode and owners come from the status the caller read of this file.
Privileges File::privileges(const FileStatus& status) const {
    Privileges privileges;
    privileges.mode = status.mode;
    privileges.owner = status.owner;
    privileges.group = status.group;
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
    if ((privileges.mode & set_id_bits) == 0 && !privileges.has_capability) {
        return;  // nothing that a write strips
    }
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
KernelCopy File::copy_from(File& source, std::int64_t length, std::int64_t& copied) {
    copied = 0;
    while (copied < length) {
        const std::int64_t wanted = std::min(writeback_chunk, length - copied);
        ssize_t moved = ::copy_file_range(source.handle_, nullptr, handle_, nullptr,
                                          static_cast<std::size_t>(wanted), 0);
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
    return KernelCopy::copied;
}

// Files that cannot be synced, such as devices, say EINVAL.
bool File::sync() {
    return ::fsync(handle_) == 0 || errno == EINVAL;
}

// close() is never retried: after EINTR the descriptor is already gone.
bool File::close() {
    return !std::exchange(open_, false) || ::close(handle_) == 0;
}

// No ANSI code page outside Windows: replaceText turns encoding 4 away
// before it gets here.
std::optional<std::string> ansi_from_utf16(const std::u16string&) {
    return std::nullopt;
}

bool ansi_lead_bytes(std::array<bool, 256>&) {
    return false;
}

}  // namespace kivsubst::platform
