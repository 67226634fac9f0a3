// SPDX-License-Identifier: Zlib
// Directories on POSIX, held by descriptor: every name in one is resolved
// relative to it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "kivcommon/posix_io.h"
#include "platform.h"
#include "platform_posix.h"

namespace kivsubst::platform {

using kivcommon::open_retrying;

Directory::~Directory() {
    if (open_ && owned_) {
        ::close(handle_);
    }
}

Directory::Directory(Directory&& other) noexcept
    : path_(std::move(other.path_)),
      handle_(other.handle_),
      readable_(other.readable_),
      open_(std::exchange(other.open_, false)),
      owned_(other.owned_),
      error_(other.error_),
      unsynced_entries_(std::exchange(other.unsynced_entries_, false)) {}

Directory& Directory::operator=(Directory&& other) noexcept {
    if (this != &other) {
        if (open_ && owned_) {
            ::close(handle_);
        }
        path_ = std::move(other.path_);
        handle_ = other.handle_;
        readable_ = other.readable_;
        open_ = std::exchange(other.open_, false);
        owned_ = other.owned_;
        error_ = other.error_;
        unsynced_entries_ = std::exchange(other.unsynced_entries_, false);
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
    directory.error_ = fd >= 0 ? 0 : errno;
    return directory;
}

// The caller's descriptor, which may be a path descriptor (a directory
// that may be searched but not read): such a one serves everything but
// syncing the directory.
Directory Directory::held(NativeHandle directory, const Path& path, bool readable) {
    Directory held;
    held.path_ = path;
    held.readable_ = directory >= 0 && readable;
    held.handle_ = directory;
    held.open_ = directory >= 0;
    held.owned_ = false;
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
        errno = error_;  // the reason the directory could not be opened
        return File();
    }
    File file = create_new_at(handle_, name.c_str(), outcome, File::Entry::made_by_directory);
    unsynced_entries_ = unsynced_entries_ || file.is_open();
    return file;
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
    if ((readable_ && (::fsync(handle_) == 0 || errno == EINVAL)) || ::syncfs(file.handle()) == 0) {
        unsynced_entries_ = false;
        return true;
    }
    return false;
}

bool Directory::remove(const Path& name) {
    if (!open_ || ::unlinkat(handle_, name.c_str(), 0) != 0) {
        return false;
    }
    unsynced_entries_ = true;
    return true;
}

}  // namespace kivsubst::platform
