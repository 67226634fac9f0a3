// SPDX-License-Identifier: Zlib
// Backups on POSIX: everything is done relative to the file's directory,
// opened once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kivcli/backup.h"
#include "kivcli/quote.h"
#include "kivcommon/posix_io.h"

namespace kivcli {
namespace {

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

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

// Gives the copy what the original has: owner and group first (which may
// clear set-ID bits), then the mode, then the times.
void copy_attributes(int copy, const struct stat& original, const Times& times) {
    if (::fchown(copy, original.st_uid, original.st_gid) != 0) {
        // Only root may give a file away; the copy then stays the caller's.
    }
    ::fchmod(copy, original.st_mode & 0777);
    struct timespec both[2] {};
    both[0].tv_sec = static_cast<time_t>(times.access_seconds);
    both[0].tv_nsec = times.access_nanoseconds;
    both[1].tv_sec = static_cast<time_t>(times.modification_seconds);
    both[1].tv_nsec = times.modification_nanoseconds;
    ::futimens(copy, both);
}

}  // namespace

std::string backup_path(const std::string& path, const std::string& suffix) {
    return path + suffix;
}

bool keep_copy(const std::string& path, NativeHandle original, const Times& times,
               const std::string& suffix, bool durable, NativeHandle& made, std::string& reason) {
    const std::string shown = backup_path(path, suffix);
    const std::string name = name_of(shown);
    struct stat status {};
    if (::fstat(original, &status) != 0) {
        reason = system_reason("cannot read the status of " + quoted(path));
        return false;
    }
    int directory = kivcommon::open_retrying(AT_FDCWD, directory_of(path).c_str(),
                                             O_RDONLY | O_DIRECTORY);
    if (directory < 0) {
        reason = system_reason("cannot open the directory of " + quoted(path));
        return false;
    }
    const std::string temporary = name + ".kiv-" + std::to_string(::getpid());
    int copy = -1;
    bool kept = slot_is_free(directory, name, shown, reason);
    if (kept) {
        ::unlinkat(directory, temporary.c_str(), 0);  // one of ours left by a crash
        copy = kivcommon::open_retrying(directory, temporary.c_str(),
                                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
        kept = copy >= 0 && copy_bytes(original, copy);
        if (!kept) {
            reason = system_reason("cannot write the backup " + quoted(shown));
        }
    }
    if (kept) {
        copy_attributes(copy, status, times);
        kept = (!durable || ::fsync(copy) == 0) &&
               ::renameat(directory, temporary.c_str(), directory, name.c_str()) == 0 &&
               (!durable || ::fsync(directory) == 0 || errno == EINVAL);
        if (!kept) {
            reason = system_reason("cannot put the backup " + quoted(shown) + " in place");
        }
    }
    if (!kept && copy >= 0) {
        ::unlinkat(directory, temporary.c_str(), 0);
    }
    ::close(directory);
    if (kept && !durable) {
        made = copy;
    } else if (copy >= 0) {
        ::close(copy);
    }
    return kept;
}

}  // namespace kivcli
