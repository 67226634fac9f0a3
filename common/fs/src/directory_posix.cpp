// SPDX-License-Identifier: Zlib
// Directories held by descriptor. A directory that may be searched but not
// read (mode 0711, 0733) is held by a path descriptor (O_PATH), which serves
// every lookup relative to it.
#include "kivfs/directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "kivcommon/posix_io.h"
#include "kivfs/file_posix.h"

namespace kivfs {
namespace {

FileTime time_of(const struct timespec& time) {
    return {static_cast<std::int64_t>(time.tv_sec), static_cast<std::int32_t>(time.tv_nsec)};
}

Status status_from(const struct stat& found) {
    Status status;
    status.type = S_ISREG(found.st_mode)   ? Status::Type::file
                  : S_ISDIR(found.st_mode) ? Status::Type::directory
                  : S_ISLNK(found.st_mode)  ? Status::Type::link
                  : S_ISFIFO(found.st_mode) ? Status::Type::fifo
                  : S_ISSOCK(found.st_mode) ? Status::Type::socket
                                            : Status::Type::other;
    status.identity = {static_cast<std::uint64_t>(found.st_dev),
                       static_cast<std::uint64_t>(found.st_ino)};
    status.mode = static_cast<unsigned>(found.st_mode & 07777);
    status.owner = found.st_uid;
    status.group = found.st_gid;
    status.links = static_cast<std::uint64_t>(found.st_nlink);
    status.size = static_cast<std::int64_t>(found.st_size);
    status.access = time_of(found.st_atim);
    status.modification = time_of(found.st_mtim);
    status.read_only = false;
    return status;
}

// Opens a directory relative to `at`, for reading its names, or where that
// is refused, for lookups only. `readable` tells which.
int open_directory(int at, const char* name, int flags, bool& readable) {
    int fd = kivcommon::open_retrying(at, name, O_RDONLY | O_DIRECTORY | flags);
    readable = fd >= 0;
    if (fd < 0 && errno == EACCES) {
        fd = kivcommon::open_retrying(at, name, O_PATH | O_DIRECTORY | flags);
    }
    return fd;
}

}  // namespace

std::string describe(SystemError error) {
    if (error == replaced_meanwhile) {
        return "it was replaced while this program worked on it";
    }
    return std::strerror(error);
}

SystemError not_found_error() {
    return ENOENT;
}

Directory::~Directory() {
    release();
}

// What is at the name after mkdirat is taken only when it is a directory
// of the caller's, reached without a link: someone who can write in the
// parent may have renamed the new directory away and put another (or a
// link) there. The caller then never works in what that person made.
std::shared_ptr<Directory> Directory::make_below(const std::shared_ptr<Directory>& parent,
                                           const std::string& name, unsigned mode, bool& existed,
                                           SystemError& error) {
    existed = false;
    const int at = parent->handle(error);
    if (at < 0) {
        return nullptr;
    }
    if (::mkdirat(at, name.c_str(), static_cast<mode_t>(mode)) != 0) {
        if (errno != EEXIST) {
            error = errno;
            return nullptr;
        }
        existed = true;
        return open_below(parent, name, error);
    }
    std::shared_ptr<Directory> directory = open_below(parent, name, error);
    if (directory != nullptr && directory->status_.owner != ::geteuid()) {
        error = replaced_meanwhile;
        return nullptr;
    }
    return directory;
}

std::shared_ptr<Directory> Directory::open_for(const Path& path, SystemError& error) {
    const auto slash = path.find_last_of('/');
    Path entry = slash == Path::npos ? path : path.substr(slash + 1);
    if (entry.empty() || entry == "." || entry == "..") {
        error = EINVAL;
        return nullptr;
    }
    std::shared_ptr<Directory> directory = open(
        slash == Path::npos ? Path(".") : slash == 0 ? Path("/") : path.substr(0, slash), error);
    if (directory != nullptr) {
        directory->entry_name_ = std::move(entry);
    }
    return directory;
}

// The copy keeps what the walk knew of the directory (its status, its
// parent and its name there), so that it is opened again only if it is
// still that directory.
std::shared_ptr<Directory> Directory::lent_for(Directory& folder, const Path& name,
                                               SystemError& error) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != Path::npos) {
        error = EINVAL;
        return nullptr;
    }
    const int at = folder.handle(error);
    const int own = at < 0 ? -1 : ::fcntl(at, F_DUPFD_CLOEXEC, 0);
    if (own < 0) {
        error = at < 0 ? error : errno;
        return nullptr;
    }
    std::shared_ptr<Directory> lent(new Directory());
    lent->parent_ = folder.parent_;
    lent->name_ = folder.name_;
    lent->links_ = folder.links_;
    lent->shown_ = folder.shown_;
    lent->status_ = folder.status_;
    lent->known_ = folder.known_;
    lent->readable_ = folder.readable_;
    lent->path_ = folder.path_;
    lent->handle_ = own;
    lent->open_ = true;
    lent->entry_name_ = name;
    return lent;
}

bool Directory::reopen(SystemError& error) {
    int at = AT_FDCWD;
    if (parent_ != nullptr && (at = parent_->handle(error)) < 0) {
        return false;
    }
    const int flags = links_ == Links::refuse ? O_NOFOLLOW : 0;
    bool readable = false;
    const int fd = open_directory(at, name_.c_str(), flags, readable);
    struct stat found {};
    if (fd < 0 || ::fstat(fd, &found) != 0) {
        error = errno;
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    if (!take(status_from(found), error)) {
        ::close(fd);
        return false;
    }
    handle_ = fd;
    readable_ = readable;
    return true;
}

NativeHandle Directory::handle(SystemError& error) {
    if (!open_ && !reopen(error)) {
        return -1;
    }
    return handle_;
}

void Directory::release() {
    if (open_) {
        if (owned_) {
            ::close(handle_);
        }
        open_ = false;
    }
}

// O_NOFOLLOW refuses a link at the directory's own name. A directory that
// may be written and searched but not read (mode 0733) is held as a bare
// path handle, which serves everything but syncing it.
Directory Directory::open(const Path& path) {
    Directory directory;
    directory.path_ = path;
    directory.name_ = path.empty() ? "." : path;
    directory.shown_ = directory.name_;
    bool readable = false;
    const int fd = open_directory(AT_FDCWD, directory.name_.c_str(), O_NOFOLLOW, readable);
    directory.readable_ = readable;
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
    held.shown_ = path;
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

bool Directory::status_of(const std::string& name, Links links, Status& status, SystemError& error) {
    const int at = handle(error);
    if (at < 0) {
        return false;
    }
    struct stat found {};
    if (::fstatat(at, name.c_str(), &found, links == Links::follow ? 0 : AT_SYMLINK_NOFOLLOW) !=
        0) {
        error = errno;
        return false;
    }
    status = status_from(found);
    return true;
}

bool Directory::status_of(NativeHandle handle, Status& status, SystemError& error) {
    struct stat found {};
    if (::fstat(handle, &found) != 0) {
        error = errno;
        return false;
    }
    status = status_from(found);
    return true;
}

bool Directory::names(std::vector<std::string>& names, SystemError& error) {
    const int at = handle(error);
    if (at < 0) {
        return false;
    }
    if (!readable_) {
        error = EACCES;
        return false;
    }
    const int own = ::dup(at);
    DIR* directory = own >= 0 ? ::fdopendir(own) : nullptr;
    if (directory == nullptr) {
        error = errno;
        if (own >= 0) {
            ::close(own);
        }
        return false;
    }
    errno = 0;
    while (const struct dirent* entry = ::readdir(directory)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    error = errno;
    ::closedir(directory);
    std::sort(names.begin(), names.end());
    return error == 0;
}

bool Directory::trusts_link(const Status& link) const {
    return link.owner == ::geteuid() && only_caller_changes_names();
}

// A sticky bit is no help here: others may still add names, and rename or
// remove their own, among them an entry the caller has just given to one
// of them.
bool Directory::only_caller_changes_names(const Status& directory) {
    const std::uint64_t caller = ::geteuid();
    return (directory.owner == caller || directory.owner == 0) &&
           (directory.mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool Directory::vouches_for_hard_link(const Status& directory, const Status& file) {
    return file.owner == directory.owner && (directory.mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool Directory::gives_group_other_than(std::uint64_t group) const {
    return (status_.mode & S_ISGID) != 0 && status_.group != group;
}

}  // namespace kivfs
