// SPDX-License-Identifier: Zlib
// Backups on POSIX: everything is done relative to the file's directory,
// which the caller holds.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kivcli/backup.h"
#include "kivcli/quote.h"
#include "kivcommon/posix_io.h"
#include "kivfs/hidden_names.h"
#include "kivfs/leftovers.h"

namespace kivcli {
namespace {

// Where a file's access control list is kept, and the largest one read.
constexpr const char* acl_attribute = "system.posix_acl_access";
constexpr std::size_t largest_acl = 65536;

std::string system_reason(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Copies every byte of `from`, from its start, to `to`.
bool copy_bytes(int from, int to) {
    char buffer[1 << 16];
    for (off_t at = 0;;) {
        ssize_t got;
        do {
            got = ::pread(from, buffer, sizeof buffer, at);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) {
            return got == 0;
        }
        if (!kivcommon::write_all(to, buffer, static_cast<std::size_t>(got))) {
            return false;
        }
        at += got;
    }
}

// An earlier backup may be replaced when nothing is there or a regular file
// is; anything else (a link, which a rename would not follow but someone
// may rely on, a directory) is left alone.
bool slot_is_free(int directory, const std::string& name, const std::string& shown,
                  std::string& reason) {
    struct stat status {};
    if (::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        reason = system_reason("cannot look at the backup " + quoted(shown));
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        reason = "the backup " + quoted(shown) + " exists and is not a regular file";
        return false;
    }
    return true;
}

// A new file takes its directory's default access control list, and the
// mode set afterwards opens what that list grants (its mask follows the
// group bits): the copy gets the original's own list instead, or none.
void copy_access_list(int original, int copy) {
    std::string list(largest_acl, '\0');
    const ssize_t size = ::fgetxattr(original, acl_attribute, list.data(), list.size());
    if (size > 0) {
        ::fsetxattr(copy, acl_attribute, list.data(), static_cast<std::size_t>(size), 0);
    } else {
        ::fremovexattr(copy, acl_attribute);  // none there, or none kept here: nothing to drop
    }
}

// Gives the copy what the original has: owner and group first (which may
// clear set-ID bits), then its access control list, then the mode, then the
// times.
void copy_attributes(int original_fd, int copy, const struct stat& original,
                     const FileTimes& times) {
    if (::fchown(copy, original.st_uid, original.st_gid) != 0) {
        // Only root may give a file away; the copy then stays the caller's.
    }
    copy_access_list(original_fd, copy);
    ::fchmod(copy, original.st_mode & 0777);
    struct timespec both[2] {};
    both[0].tv_sec = static_cast<time_t>(times.access.seconds);
    both[0].tv_nsec = times.access.nanoseconds;
    both[1].tv_sec = static_cast<time_t>(times.modification.seconds);
    both[1].tv_nsec = times.modification.nanoseconds;
    ::futimens(copy, both);
}

// A directory that may be searched but not read is held by a path
// descriptor, which cannot be synced: the file system is, with the entry.
// File systems that cannot sync a directory say EINVAL.
bool sync_directory(int directory, int copy) {
    if (::fsync(directory) == 0 || errno == EINVAL) {
        return true;
    }
    return errno == EBADF && ::syncfs(copy) == 0;
}

}  // namespace

bool keep_copy(Folder& folder, const std::string& name, NativeHandle original,
               const FileTimes& times, const std::string& backup, bool durable,
               NativeHandle& made, std::string& reason) {
    const std::string shown = folder.shown(backup);
    struct stat status {};
    if (::fstat(original, &status) != 0) {
        reason = system_reason("cannot read the status of " + quoted(folder.shown(name)));
        return false;
    }
    SystemError error = 0;
    const int directory = folder.handle(error);
    if (directory < 0) {
        reason = "cannot open the directory of " + quoted(folder.shown(name)) + ": " +
                 describe(error);
        return false;
    }
    // The copy is staged under a hidden name of the backup's, held by this
    // run from its creation on; what killed runs left there goes first.
    const std::string temporary = kivfs::hidden_name_for(backup, kivfs::staged_kind);
    int copy = -1;
    bool kept = slot_is_free(directory, backup, shown, reason);
    if (kept) {
        if (folder.first_to_settle()) {
            kivfs::settle_leftovers({directory, std::string()});
        }
        copy = kivcommon::open_retrying(directory, temporary.c_str(),
                                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
        kept = copy >= 0 && kivfs::hold_while_alive(copy, directory, temporary) &&
               copy_bytes(original, copy);
        if (!kept) {
            reason = system_reason("cannot write the backup " + quoted(shown));
        }
    }
    if (kept) {
        copy_attributes(original, copy, status, times);
        kept = (!durable || ::fsync(copy) == 0) &&
               ::renameat(directory, temporary.c_str(), directory, backup.c_str()) == 0 &&
               (!durable || sync_directory(directory, copy));
        if (!kept) {
            reason = system_reason("cannot put the backup " + quoted(shown) + " in place");
        }
    }
    if (!kept && copy >= 0) {
        ::unlinkat(directory, temporary.c_str(), 0);
    }
    if (kept && !durable) {
        made = copy;
    } else if (copy >= 0) {
        ::close(copy);
    }
    return kept;
}

}  // namespace kivcli
