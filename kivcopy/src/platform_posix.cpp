// SPDX-License-Identifier: Zlib
// POSIX services for the copy: descriptors, one status read per file, holes
// found with SEEK_DATA and SEEK_HOLE, data moved inside the kernel (shared
// blocks, copy_file_range), and nanosecond times set through the open copy.
#include "platform.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kivcommon/posix_io.h"

namespace kivcopy::platform {
namespace {

// Opens a name without waiting: a FIFO with no other end would otherwise
// hold the call for ever. O_NONBLOCK changes nothing for a regular file,
// and, as every open here, it never takes a terminal as the caller's own.
int open_without_waiting(Place where, int flags, mode_t mode = 0) {
    return kivcommon::open_retrying(where.directory, where.name, flags | O_NONBLOCK, mode);
}

FileTime time_of(const struct timespec& time) {
    return {time.tv_sec, static_cast<std::int32_t>(time.tv_nsec)};
}

FileIdentity identity_of(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

bool same_file(const FileIdentity& a, const FileIdentity& b) {
    return a.volume == b.volume && a.index == b.index;
}

// Takes what the one status read of the source gave; false for anything
// but a regular file.
bool take_status(int fd, Source& source, struct stat& status) {
    source.file = File(fd);
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        source.file.close();
        return false;
    }
    source.access = time_of(status.st_atim);
    source.modification = time_of(status.st_mtim);
    source.permissions = status.st_mode & 0777;
    source.mode = status.st_mode & 07777;
    source.owner = status.st_uid;
    source.group = status.st_gid;
    source.identity = identity_of(status);
    source.size = status.st_size;
    source.may_have_holes = std::int64_t{status.st_blocks} * 512 < std::int64_t{status.st_size};
    return true;
}

}  // namespace

Place place_of(const PathChar* path) {
    return {AT_FDCWD, path};
}

int last_error() {
    return errno;
}

// SEEK_DATA answers ENXIO when no data lies at or after `from`. The search
// for the run's end moves the file past the run, so it is placed back at
// the run's start.
DataSearch find_data(File& file, std::int64_t from, DataRun& run) {
    const int handle = file.handle();
    off_t start = ::lseek(handle, static_cast<off_t>(from), SEEK_DATA);
    if (start < 0) {
        return errno == ENXIO ? DataSearch::none : DataSearch::failed;
    }
    off_t end = ::lseek(handle, start, SEEK_HOLE);
    if (end < 0 || ::lseek(handle, start, SEEK_SET) < 0) {
        return DataSearch::failed;
    }
    run = {start, end};
    return DataSearch::found;
}

bool allow_holes(File&) {
    return true;
}

// Cutting a file to its own size frees the blocks allocated past its end
// and changes nothing else but its modification time, which the copy's
// stamp sets afterwards, or which a failed copy's writes set a moment ago.
void release_room_past_end(File& file, std::int64_t reserved_end) {
    const int handle = file.handle();
    const int saved_error = errno;
    struct stat status;
    if (::fstat(handle, &status) == 0 && status.st_size < reserved_end) {
        while (::ftruncate(handle, status.st_size) != 0 && errno == EINTR) {
        }
    }
    errno = saved_error;
}

// FICLONERANGE shares the blocks or answers an error and changes nothing:
// EXDEV for files on two file systems, EOPNOTSUPP where the file system
// cannot share blocks (ext4, tmpfs), EINVAL for a range its blocks do not
// line up with.
bool clone_range(File& target, File& source, std::int64_t offset, std::int64_t length) {
    struct file_clone_range range {};
    range.src_fd = source.handle();
    range.src_offset = static_cast<std::uint64_t>(offset);
    range.src_length = static_cast<std::uint64_t>(length);
    range.dest_offset = static_cast<std::uint64_t>(offset);
    int result;
    do {
        result = ::ioctl(target.handle(), FICLONERANGE, &range);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

// copy_file_range at both files' positions. A call that fails has copied
// nothing: a failure after some bytes of a call ends that call short, and
// the next call reports it.
std::int64_t copy_range(File& target, File& source, std::int64_t size) {
    const std::size_t wanted = static_cast<std::uint64_t>(size) < kivcommon::largest_transfer
                                   ? static_cast<std::size_t>(size)
                                   : kivcommon::largest_transfer;
    ssize_t copied;
    do {
        copied = ::copy_file_range(source.handle(), nullptr, target.handle(), nullptr, wanted, 0);
    } while (copied < 0 && errno == EINTR);
    return copied;
}

// A file whose blocks cover less than its size has holes, or a status that
// overstates its size (a file that the system makes up as it is read).
// Either way only a search for its data tells; a file whose blocks cover its
// size is copied without one, which saves every small file the searches.
bool open_source(Place where, Source& source) {
    int fd = open_without_waiting(where, O_RDONLY);
    struct stat status {};
    return fd >= 0 && take_status(fd, source, status);
}

// A name the walk has just looked at is opened directly, without following
// a link: what is opened is kept only if it is the very regular file the
// walk found, so a link or another file swapped in meanwhile is refused. A
// FIFO swapped in does not hold the open up, and no one without privilege
// can put a device there. A name given by the caller is resolved first
// without opening anything (O_PATH), and only a regular file found there is
// then opened.
SourceOpening open_source_for(Place where, Links links, const FileIdentity* expected,
                              Source& source, int& error) {
    const int nofollow = links == Links::refuse ? O_NOFOLLOW : 0;
    struct stat status {};
    if (expected != nullptr) {
        int fd = open_without_waiting(where, O_RDONLY | nofollow);
        if (fd < 0) {
            error = errno;
            return error == ENOENT                   ? SourceOpening::absent
                   : error == ELOOP && nofollow != 0 ? SourceOpening::replaced
                                                     : SourceOpening::refused;
        }
        if (!take_status(fd, source, status) || !same_file(identity_of(status), *expected)) {
            source.file.close();
            return SourceOpening::replaced;
        }
        return SourceOpening::opened;
    }
    kivcommon::ResolvedName name = kivcommon::ResolvedName::resolve(where.directory, where.name,
                                                                    nofollow);
    if (!name.exists()) {
        error = name.error();
        return SourceOpening::absent;
    }
    if (!name.is_regular()) {
        return S_ISDIR(name.status().st_mode) ? SourceOpening::directory
                                              : SourceOpening::not_regular;
    }
    int fd = name.reopen(O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        error = errno;
        return SourceOpening::refused;
    }
    if (!take_status(fd, source, status)) {
        return SourceOpening::not_regular;
    }
    return SourceOpening::opened;
}

// The name is resolved without opening anything, and only a regular file
// is opened to probe it: a device, FIFO or terminal at the target is never
// opened, and counts as a target that cannot be replaced.
File probe_target(Place where) {
    kivcommon::ResolvedName target =
        kivcommon::ResolvedName::resolve(where.directory, where.name);
    int fd = target.reopen(O_RDWR);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        fd = target.reopen(O_WRONLY);
    }
    return fd < 0 ? File() : File(fd);
}

File create_target(Place where, unsigned permissions, Creation& outcome) {
    int fd = open_without_waiting(where, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW,
                                  static_cast<mode_t>(permissions));
    if (fd < 0) {
        outcome = errno == EEXIST ? Creation::name_taken : Creation::failed;
        return File();
    }
    outcome = Creation::created;
    return File(fd);
}

// The target is resolved without opening anything, so that what is not a
// regular file is refused unopened, and a target that is the source itself
// is told from its status alone. It is opened without O_TRUNC and truncated
// only then: truncating first would destroy the very data that is about to
// be copied.
File open_target_to_replace(Place where, Links links, const FileIdentity& source,
                            Replacing& outcome) {
    kivcommon::ResolvedName name = kivcommon::ResolvedName::resolve(
        where.directory, where.name, links == Links::refuse ? O_NOFOLLOW : 0);
    if (!name.exists()) {
        outcome = name.error() == ENOENT ? Replacing::absent : Replacing::refused;
        return File();
    }
    if (same_file(identity_of(name.status()), source)) {
        outcome = Replacing::is_source;
        return File();
    }
    int fd = name.reopen(O_WRONLY);
    if (fd < 0) {
        outcome = Replacing::refused;
        return File();
    }
    File target(fd);
    // A target that is empty already is not truncated again: on some file
    // systems (ext4) a truncated file is flushed to disk when it is closed,
    // which would cost every copy a synchronous write. Its length is read
    // from the open file, as it may have grown since the name was resolved.
    struct stat status {};
    if (::fstat(fd, &status) != 0 || (status.st_size > 0 && ::ftruncate(fd, 0) != 0)) {
        outcome = Replacing::refused;
        return File();
    }
    outcome = Replacing::opened;
    return target;
}

}  // namespace kivcopy::platform
