// SPDX-License-Identifier: Zlib
// The walk on POSIX: every directory is opened relative to its parent's
// descriptor, with O_NOFOLLOW, so that a directory replaced by a link while
// the walk runs is refused rather than followed.
#include "kivcli/walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "kivcommon/posix_io.h"

namespace kivcli {
namespace {

// The names in the directory open at `fd`, sorted; false if it cannot be read.
bool names_in(int fd, std::vector<std::string>& names) {
    int own = ::dup(fd);
    DIR* directory = own >= 0 ? ::fdopendir(own) : nullptr;
    if (directory == nullptr) {
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
    const bool complete = errno == 0;
    ::closedir(directory);
    std::sort(names.begin(), names.end());
    return complete;
}

EntryKind kind_at(int directory, const char* name, const struct stat& own) {
    if (S_ISDIR(own.st_mode)) {
        return EntryKind::directory;
    }
    if (S_ISREG(own.st_mode)) {
        return EntryKind::file;
    }
    if (!S_ISLNK(own.st_mode)) {
        return EntryKind::other;
    }
    struct stat target {};
    if (::fstatat(directory, name, &target, 0) != 0) {
        return EntryKind::other_link;
    }
    return S_ISREG(target.st_mode)   ? EntryKind::link_to_file
           : S_ISDIR(target.st_mode) ? EntryKind::link_to_directory
                                     : EntryKind::other_link;
}

void walk_open(int fd, const std::string& path, const Visitor& visitor) {
    std::vector<std::string> names;
    if (!names_in(fd, names)) {
        visitor.problem(path, std::strerror(errno));
    }
    for (const std::string& name : names) {
        struct stat own {};
        if (::fstatat(fd, name.c_str(), &own, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;  // gone since it was listed
        }
        Entry entry{join_path(path, name), name, kind_at(fd, name.c_str(), own),
                    static_cast<unsigned>(own.st_mode & 07777),
                    static_cast<std::int64_t>(own.st_size)};
        if (entry.kind != EntryKind::directory) {
            visitor.visit(entry);
            continue;
        }
        if (!visitor.enter(entry)) {
            continue;
        }
        int child = kivcommon::open_retrying(fd, name.c_str(),
                                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        if (child < 0) {
            visitor.problem(entry.path, std::strerror(errno));
        } else {
            walk_open(child, entry.path, visitor);
            ::close(child);
        }
        visitor.leave(entry);
    }
}

}  // namespace

std::string join_path(const std::string& directory, const std::string& name) {
    return !directory.empty() && directory.back() == '/' ? directory + name
                                                         : directory + "/" + name;
}

void walk(const std::string& root, const Visitor& visitor) {
    int fd = kivcommon::open_retrying(AT_FDCWD, root.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        visitor.problem(root, std::strerror(errno));
        return;
    }
    walk_open(fd, root, visitor);
    ::close(fd);
}

}  // namespace kivcli
