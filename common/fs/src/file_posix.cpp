// SPDX-License-Identifier: Zlib
// POSIX files: descriptors, one status read per call, nanosecond times set
// through the open file, and the disk asked to start on what is written.
#include "kivfs/file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "kivcommon/posix_io.h"
#include "kivfs/file_posix.h"
#include "kivfs/leftovers.h"

namespace kivfs {
namespace {

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

}  // namespace

File open_regular_at(int directory, const char* path, Access access, Links links) {
    const int nofollow = links == Links::refuse ? O_NOFOLLOW : 0;
    return adopt(
        kivcommon::ResolvedName::resolve(directory, path, nofollow).reopen(open_flags(access)),
        File::Entry::existing);
}

// The new file is held by this call from its creation on, so that another
// call's settling of the directory leaves it (kivfs/leftovers.h). One that
// a settling took in the moment before it was held counts as a name taken:
// the caller goes on to the next name.
File create_new_at(int directory, const char* path, Creation& outcome, File::Entry entry) {
    File file = adopt(
        kivcommon::open_retrying(directory, path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600),
        entry);
    if (!file.is_open()) {
        outcome = errno == EEXIST ? Creation::name_taken : Creation::failed;
        return file;
    }
    if (!hold_while_alive(file.handle(), directory, path)) {
        outcome = Creation::name_taken;
        return File();
    }
    outcome = Creation::created;
    return file;
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

std::int64_t File::length() const {
    struct stat status {};
    if (::fstat(handle_, &status) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>(status.st_size);
}

bool File::set_times(const FileTimes& times) {
    struct timespec both[2] = {to_timespec(times.access), to_timespec(times.modification)};
    return ::futimens(handle_, both) == 0;
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
    return kivcommon::write_all(handle_, bytes, size);
}

void File::hint_writeback(std::int64_t written) {
    unhinted_bytes_ += written;
    if (unhinted_bytes_ >= writeback_chunk) {
        ::sync_file_range(handle_, 0, 0, SYNC_FILE_RANGE_WRITE);
        unhinted_bytes_ = 0;
    }
}

bool File::seek_to(std::int64_t offset) {
    return ::lseek(handle_, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool File::set_size(std::int64_t size) {
    int failed;
    do {
        failed = ::ftruncate(handle_, static_cast<off_t>(size));
    } while (failed != 0 && errno == EINTR);
    return failed == 0;
}

// FALLOC_FL_KEEP_SIZE allocates the range's blocks as unwritten extents:
// they read as zeros until written and the file's size stays, and writing
// into them needs no delayed allocation a page at a time (on ext4 the
// kernel's copy of a large file then takes a tenth less time). The raw
// call never falls back to writing zeros, as posix_fallocate would.
Reservation File::reserve(std::int64_t offset, std::int64_t length) {
    if (length <= 0) {
        return Reservation::reserved;
    }
    int failed;
    do {
        failed = ::fallocate(handle_, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                             static_cast<off_t>(length));
    } while (failed != 0 && errno == EINTR);
    if (failed == 0) {
        return Reservation::reserved;
    }
    return errno == ENOSPC || errno == EDQUOT ? Reservation::no_space : Reservation::unsupported;
}

bool File::lock_for_writing() {
    return true;
}

// Files that cannot be synced, such as devices, say EINVAL.
bool File::sync() {
    return ::fsync(handle_) == 0 || errno == EINVAL;
}

// close() is never retried: after EINTR the descriptor is already gone.
bool File::close() {
    return !std::exchange(open_, false) || kivcommon::close_handle(handle_);
}

}  // namespace kivfs
