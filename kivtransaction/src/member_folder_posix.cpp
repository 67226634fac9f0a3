// SPDX-License-Identifier: Zlib
// A member's folder on POSIX: every name looked at, renamed and removed
// relative to the folder's descriptor; its whole path as the kernel knows
// the descriptor's (Linux's /proc/self/fd), so that the journal records
// where the folder is, not the way the caller named it.
#include "member_folder.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

namespace kivtransaction {
namespace {

// A file's identity as the journal records it: its file system's ID
// (statfs's f_fsid, which the file system keeps from mount to mount, where
// the device number may change: a device-mapper volume, a FUSE or network
// file system numbered anew after a restart) and its inode number.
std::uint64_t file_system_of(int fd) {
    struct statfs status{};
    if (::fstatfs(fd, &status) != 0) {
        return 0;
    }
    std::uint64_t id = 0;
    static_assert(sizeof status.f_fsid <= sizeof id, "the file system ID fits");
    std::memcpy(&id, &status.f_fsid, sizeof status.f_fsid);
    return id;
}

journal::FileId id_of(std::uint64_t file_system, const struct stat& status) {
    return {file_system, static_cast<std::uint64_t>(status.st_ino)};
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
    folder.id = id_of(file_system_of(fd), status);
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
    if (!(id_of(file_system_of(fd), status) == id)) {
        replaced = true;
        return false;
    }
    folder.directory = std::move(directory);
    folder.path = path;
    folder.id = id;
    return true;
}

bool names_nothing(int error) {
    return error == ENOENT;
}

bool same_letters(const kivcommon::Path& one, const kivcommon::Path& other) {
    return one == other;
}

bool look_at(MemberFolder& folder, const std::string& name, NameLook& look, int& error,
             bool follow) {
    look = NameLook{};
    const int fd = descriptor(folder, error);
    struct stat status{};
    if (fd < 0) {
        return false;
    }
    if (::fstatat(fd, name.c_str(), &status, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        error = errno;
        return false;
    }
    look.exists = true;
    look.regular = S_ISREG(status.st_mode);
    look.directory = S_ISDIR(status.st_mode);
    look.callers_alone = look.regular && status.st_uid == ::geteuid() && status.st_nlink == 1 &&
                         (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    look.id = id_of(folder.id.volume, status);
    look.size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

bool may_replace(MemberFolder&, const std::string&, bool, bool& in_use, int&) {
    in_use = false;
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

// Where the file system cannot rename without replacing (renameat2 is
// Linux's, and not every file system takes RENAME_NOREPLACE), the name is
// looked at first: a rename onto a folder that holds anything fails
// anyway, and onto an empty one that appeared in between replaces nothing
// of anyone's but that empty folder.
bool rename_folder_onto_free_name(MemberFolder& folder, const std::string& from,
                                  const std::string& to, int& error) {
    const int fd = descriptor(folder, error);
    if (fd < 0) {
        return false;
    }
#if defined(RENAME_NOREPLACE)
    if (::renameat2(fd, from.c_str(), fd, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        error = errno;
        return false;
    }
#endif
    struct stat status{};
    const bool taken = ::fstatat(fd, to.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
    if (taken || errno != ENOENT) {
        error = taken ? EEXIST : errno;
        return false;
    }
    if (::renameat(fd, from.c_str(), fd, to.c_str()) != 0) {
        error = errno;
        return false;
    }
    return true;
}

bool remove_empty_folder(MemberFolder& folder, const std::string& name, int& error) {
    const int fd = descriptor(folder, error);
    if (fd < 0) {
        return false;
    }
    if (::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0) {
        error = errno;
        return false;
    }
    return true;
}

void settle_set_aside(MemberFolder&, const std::string&) {}

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

namespace {

bool copy_bytes(int from, int to, std::uint64_t length) {
    char block[1 << 16];
    std::uint64_t done = 0;
    while (done < length) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(sizeof block, length - done));
        const ssize_t got = ::pread(from, block, want, static_cast<off_t>(done));
        if (got <= 0) {
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got == 0) {
                errno = EIO;  // the staged file is shorter than it was made
            }
            return false;
        }
        std::size_t written = 0;
        while (written < static_cast<std::size_t>(got)) {
            const ssize_t put = ::pwrite(to, block + written, static_cast<std::size_t>(got) - written,
                                         static_cast<off_t>(done + written));
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            written += static_cast<std::size_t>(put);
        }
        done += static_cast<std::uint64_t>(got);
    }
    return true;
}

timespec timespec_of(const journal::Time& time) {
    timespec converted{};
    converted.tv_sec = static_cast<time_t>(time.seconds);
    converted.tv_nsec = time.nanoseconds;
    return converted;
}

// Closes a descriptor when it goes.
struct Closing {
    int fd = -1;
    ~Closing() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

}  // namespace

bool write_back(MemberFolder& folder, const WriteBack& member, bool& gone, int& error) {
    gone = false;
    const int at = descriptor(folder, error);
    if (at < 0) {
        return false;
    }
    Closing staged{::openat(at, member.staged.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
    struct stat staged_status{};
    if (staged.fd < 0) {
        gone = errno == ENOENT;
        error = errno;
        return gone;
    }
    if (::fstat(staged.fd, &staged_status) != 0 || !S_ISREG(staged_status.st_mode) ||
        !(id_of(folder.id.volume, staged_status) == member.staged_id)) {
        error = EEXIST;
        return false;
    }
    Closing target{::openat(at, member.target.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)};
    struct stat target_status{};
    if (target.fd < 0 || ::fstat(target.fd, &target_status) != 0) {
        error = errno;
        return false;
    }
    if (!S_ISREG(target_status.st_mode) ||
        !(id_of(folder.id.volume, target_status) == member.target_id)) {
        error = EEXIST;
        return false;
    }
    const auto length = static_cast<std::uint64_t>(staged_status.st_size);
    const timespec times[2] = {timespec_of(member.accessed), timespec_of(member.modified)};
    if (!copy_bytes(staged.fd, target.fd, length) ||
        ::ftruncate(target.fd, static_cast<off_t>(length)) != 0 ||
        ::futimens(target.fd, times) != 0 || ::fsync(target.fd) != 0) {
        error = errno;
        return false;
    }
    return true;
}

bool queue_at_restart(MemberFolder&, const std::string&, const std::string&, int& error) {
    error = ENOTSUP;
    return false;
}

bool queued_at_restart(MemberFolder&, const std::string&, const std::string&) {
    return false;
}

bool give_times(MemberFolder&, const std::string&, const journal::Time&, const journal::Time&,
                int& error) {
    error = ENOTSUP;
    return false;
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
