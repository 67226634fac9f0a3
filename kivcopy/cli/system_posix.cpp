// SPDX-License-Identifier: Zlib
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "kivcli/quote.h"
#include "kivcommon/posix_io.h"
#include "system.h"

namespace kivcopy_cli {

bool remove_target(const std::string& path, std::string& reason) {
    if (::unlink(path.c_str()) == 0) {
        return true;
    }
    reason = std::strerror(errno);
    return false;
}

bool rename_to_backup(const std::string& path, const std::string& suffix, std::string& reason) {
    const std::string backup = path + suffix;
    struct stat status {};
    if (::lstat(backup.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        reason = "the backup " + kivcli::quoted(backup) + " exists and is not a regular file";
        return false;
    }
    if (::rename(path.c_str(), backup.c_str()) != 0) {
        reason = "cannot rename it to " + kivcli::quoted(backup) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// Found out the way the library met it: by opening the regular file at the
// name for writing, which changes nothing in it. A running program says
// ETXTBSY, a read-only file EACCES (for anyone but root); an immutable file
// says EPERM, which no removal gets round either.
bool refuses_writing(const std::string& path, std::string& reason) {
    const kivcommon::ResolvedName name = kivcommon::ResolvedName::resolve(AT_FDCWD, path.c_str());
    if (!name.is_regular()) {
        return false;
    }
    const int fd = name.reopen(O_WRONLY);
    if (fd >= 0) {
        ::close(fd);
        return false;
    }
    reason = std::strerror(errno);
    return errno == ETXTBSY || errno == EACCES;
}

std::string cannot_replace_advice() {
    return std::string();
}

bool copy_link(const std::string& source, const std::string& target, std::string& reason) {
    std::vector<char> contents(256);
    for (;;) {
        const ssize_t length = ::readlink(source.c_str(), contents.data(), contents.size());
        if (length < 0) {
            reason = "cannot read the link: " + std::string(std::strerror(errno));
            return false;
        }
        if (static_cast<std::size_t>(length) < contents.size()) {
            contents.resize(static_cast<std::size_t>(length));
            break;
        }
        contents.resize(contents.size() * 2);
    }
    contents.push_back('\0');
    if (::symlink(contents.data(), target.c_str()) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    return true;
}

// Everything goes through a path that stands for what the name was
// resolved to (with O_NOFOLLOW), so that a name swapped for a link to
// another file after the copy never hands that file the source's mode or
// owner.
bool preserve_attributes(const std::string& target, const struct stat& status,
                         const Preserve& preserve, std::string& reason) {
    const kivcommon::ResolvedName name =
        kivcommon::ResolvedName::resolve(AT_FDCWD, target.c_str(), O_NOFOLLOW);
    if (!name.exists() || S_ISLNK(name.status().st_mode)) {
        reason = "it is no longer what was copied";
        return false;
    }
    const std::string own = name.own_path();
    if (preserve.ownership && ::chown(own.c_str(), status.st_uid, status.st_gid) != 0 &&
        errno != EPERM) {
        reason = std::string("cannot set the owner: ") + std::strerror(errno);
        return false;
    }
    if (preserve.mode && ::chmod(own.c_str(), status.st_mode & 07777) != 0) {
        reason = std::string("cannot set the mode: ") + std::strerror(errno);
        return false;
    }
    const struct timespec times[2] = {status.st_atim, status.st_mtim};
    if (preserve.timestamps && ::utimensat(AT_FDCWD, own.c_str(), times, 0) != 0) {
        reason = std::string("cannot set the times: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// Read once: reading it takes setting it, twice.
unsigned umask_value() {
    static const unsigned value = [] {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        return static_cast<unsigned>(mask);
    }();
    return value;
}

bool older_than(const struct stat& target, const struct stat& source) {
    if (target.st_mtim.tv_sec != source.st_mtim.tv_sec) {
        return target.st_mtim.tv_sec < source.st_mtim.tv_sec;
    }
    return target.st_mtim.tv_nsec < source.st_mtim.tv_nsec;
}

}  // namespace kivcopy_cli
