// SPDX-License-Identifier: Zlib
// A member's folder on POSIX: every name looked at, renamed and removed
// relative to the folder's descriptor; its whole path as the kernel knows
// the descriptor's (Linux's /proc/self/fd), so that the journal records
// where the folder is, not the way the caller named it.
#include "member_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

namespace kivtransaction {
namespace {

journal::FileId id_of(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

int descriptor(MemberFolder& folder, int& error) {
    const int fd = folder.directory->handle(error);
    if (fd < 0 && error == 0) {
        error = EBADF;
    }
    return fd;
}

}  // namespace

bool describe_folder(kivfs::Directory& directory, MemberFolder& folder, int& error) {
    const int fd = directory.handle(error);
    struct stat status{};
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        error = error != 0 ? error : errno;
        return false;
    }
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    char path[PATH_MAX];
    const ssize_t length = ::readlink(link.c_str(), path, sizeof path);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path || path[0] != '/') {
        error = length < 0 ? errno : ENAMETOOLONG;
        return false;
    }
    folder.path.assign(path, static_cast<std::size_t>(length));
    folder.id = id_of(status);
    return true;
}

bool open_recorded_folder(const std::string& path, const journal::FileId& id,
                          MemberFolder& folder, bool& replaced, int& error) {
    replaced = false;
    auto directory = std::make_shared<kivfs::Directory>(kivfs::Directory::open(path));
    const int fd = directory->handle(error);
    struct stat status{};
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        error = error != 0 ? error : errno;
        return false;
    }
    if (!(id_of(status) == id)) {
        replaced = true;
        return false;
    }
    folder.directory = std::move(directory);
    folder.path = path;
    folder.id = id;
    return true;
}

bool look_at(MemberFolder& folder, const std::string& name, NameLook& look, int& error) {
    look = NameLook{};
    const int fd = descriptor(folder, error);
    struct stat status{};
    if (fd < 0) {
        return false;
    }
    if (::fstatat(fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        error = errno;
        return false;
    }
    look.exists = true;
    look.regular = S_ISREG(status.st_mode);
    look.callers_alone = look.regular && status.st_uid == ::geteuid() && status.st_nlink == 1 &&
                         (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    look.id = id_of(status);
    look.size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

bool rename_onto(MemberFolder& folder, const std::string& from, const std::string& to,
                 int& error) {
    const int fd = descriptor(folder, error);
    if (fd < 0) {
        return false;
    }
    if (::renameat(fd, from.c_str(), fd, to.c_str()) != 0) {
        error = errno;
        return false;
    }
    return true;
}

bool remove_name(MemberFolder& folder, const std::string& name, int& error) {
    const int fd = descriptor(folder, error);
    if (fd < 0) {
        return false;
    }
    if (::unlinkat(fd, name.c_str(), 0) != 0) {
        error = errno;
        return false;
    }
    return true;
}

bool sync_folder(MemberFolder& folder, int& error) {
    const int fd = descriptor(folder, error);
    if (fd < 0) {
        return false;
    }
    // A descriptor opened for lookups alone cannot be synced: a readable
    // one is opened on it for that.
    const int readable = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int synced = readable >= 0 ? ::fsync(readable) : -1;
    const int failure = errno;
    if (readable >= 0) {
        ::close(readable);
    }
    if (synced == 0 || failure == EINVAL) {
        return true;
    }
    error = failure;
    return false;
}

}  // namespace kivtransaction
