// SPDX-License-Identifier: Zlib
// Settling on POSIX: every name is looked at, opened and removed relative
// to the folder held open, never followed through a link; a file is taken
// only once its lock is ours, and removed only while its name still leads
// to the file locked.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "kivcommon/posix_io.h"
#include "leftovers_platform.h"

namespace kivfs {
namespace {

// The mark of a result left for the user on purpose: no killed call's
// leftover carries it.
constexpr mode_t not_a_leftover = S_ISVTX;

// The mode of kivsubst's numbered temporary file while its call works.
constexpr mode_t numbered_mode = 0600;

// Whether a file's status is what a killed call of ours leaves: the
// caller's own, without the mark, and a regular file with no other name,
// or a directory with the private directory's mode.
bool looks_ours(const struct stat& status, bool directory) {
    if (status.st_uid != ::geteuid() || (status.st_mode & not_a_leftover) != 0) {
        return false;
    }
    return directory ? S_ISDIR(status.st_mode) && (status.st_mode & 07777) == 0700
                     : S_ISREG(status.st_mode) && status.st_nlink == 1;
}

// Opens `name` in `folder` as a killed call's leftover and takes its lock
// without waiting: -1, and nothing opened, where the name is not one
// (looked at first without following it, so that nothing else is ever
// opened) or a live call holds it. `held` is the status of what is open.
int take_leftover(int folder, const char* name, bool directory, struct stat& held) {
    struct stat named {};
    if (::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !looks_ours(named, directory)) {
        return -1;
    }
    const int flags = directory ? O_RDONLY | O_DIRECTORY : O_RDONLY | O_NONBLOCK | O_NOCTTY;
    const int fd = kivcommon::open_retrying(folder, name, flags | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &held) != 0 ||
        !looks_ours(held, directory) || held.st_dev != named.st_dev ||
        held.st_ino != named.st_ino) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether `name` in `folder` still leads to the file held.
bool still_named(int folder, const char* name, const struct stat& held) {
    struct stat now {};
    return ::fstatat(folder, name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
           now.st_dev == held.st_dev && now.st_ino == held.st_ino;
}

// Opens the directory held as `fd` for reading its names: through a copy
// of the descriptor where it was opened for reading (the copy's reading
// starts at the first name again), else, for a path descriptor, by opening
// it anew. Null where it cannot be read.
DIR* open_for_reading(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    const bool readable = flags >= 0 && (flags & O_PATH) == 0;
    const int copy = readable ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    DIR* directory = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (directory != nullptr) {
        ::rewinddir(directory);
        return directory;
    }
    if (copy >= 0) {
        ::close(copy);
    }
    const int reading = kivcommon::open_retrying(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    directory = reading >= 0 ? ::fdopendir(reading) : nullptr;
    if (directory == nullptr && reading >= 0) {
        ::close(reading);
    }
    return directory;
}

// The names in the directory held as `fd`, without "." and "..".
std::vector<std::string> names_in(int fd) {
    std::vector<std::string> names;
    DIR* directory = open_for_reading(fd);
    if (directory == nullptr) {
        return names;
    }
    while (const struct dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(directory);
    return names;
}

}  // namespace

// The lock waits only for a settling that opened the file in the moment
// after its creation; if that one took it, the name leads elsewhere now. A
// file system that keeps no locks refuses them to every settling too,
// which then takes nothing there: the file goes on unlocked.
bool hold_while_alive(NativeHandle created, NativeHandle folder, const Path& name) {
    int locked = 0;
    do {
        locked = ::flock(created, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0 && errno != ENOLCK && errno != EOPNOTSUPP && errno != EINVAL) {
        return false;
    }
    struct stat held {};
    return ::fstat(created, &held) == 0 && still_named(folder, name.c_str(), held);
}

KeptHold::KeptHold(NativeHandle file) : handle_(::fcntl(file, F_DUPFD_CLOEXEC, 0)) {
    held_ = handle_ >= 0;
}

KeptHold::~KeptHold() {
    release();
}

KeptHold::KeptHold(KeptHold&& other) noexcept : handle_(other.handle_), held_(other.held_) {
    other.held_ = false;
}

KeptHold& KeptHold::operator=(KeptHold&& other) noexcept {
    if (this != &other) {
        release();
        handle_ = other.handle_;
        held_ = other.held_;
        other.held_ = false;
    }
    return *this;
}

void KeptHold::release() {
    if (held_) {
        ::close(handle_);
        held_ = false;
    }
}

bool leave_for_the_user(NativeHandle file) {
    struct stat status {};
    return ::fstat(file, &status) == 0 &&
           ::fchmod(file, (status.st_mode & 07777) | not_a_leftover) == 0;
}

bool take_back_from_the_user(NativeHandle file) {
    struct stat status {};
    return ::fstat(file, &status) == 0 &&
           ::fchmod(file, status.st_mode & 07777 & ~not_a_leftover) == 0;
}

namespace leftovers {

void for_each_name(const FolderToSettle& folder, const std::function<void(const Path&)>& fn) {
    for (const std::string& name : names_in(folder.handle)) {
        fn(name);
    }
}

// A numbered name is short and plain enough for a user's own file to bear
// it: only the mode the temporary file is created with, owner-only read
// and write, makes one ours.
void remove_file(const FolderToSettle& folder, const Path& entry, const HiddenName& name) {
    struct stat held {};
    const int fd = take_leftover(folder.handle, entry.c_str(), false, held);
    if (fd < 0) {
        return;
    }
    const bool numbered_as_made = (held.st_mode & 07777) == numbered_mode;
    if ((!name.is(numbered_kind) || numbered_as_made) &&
        still_named(folder.handle, entry.c_str(), held)) {
        ::unlinkat(folder.handle, entry.c_str(), 0);
    }
    ::close(fd);
}

// Only names that are no directory are removed from it: the private
// directory holds one entry at a time, never a directory of its own, so one
// that holds a directory was not left by us and stays whole.
void remove_private_directory(const FolderToSettle& folder, const Path& entry) {
    struct stat held {};
    const int fd = take_leftover(folder.handle, entry.c_str(), true, held);
    if (fd < 0) {
        return;
    }
    const std::vector<std::string> names = names_in(fd);
    bool ours = true;
    for (const std::string& name : names) {
        struct stat inside {};
        ours = ours && ::fstatat(fd, name.c_str(), &inside, AT_SYMLINK_NOFOLLOW) == 0 &&
               !S_ISDIR(inside.st_mode);
    }
    bool emptied = ours;
    for (const std::string& name : names) {
        emptied = emptied && ::unlinkat(fd, name.c_str(), 0) == 0;
    }
    if (emptied && still_named(folder.handle, entry.c_str(), held)) {
        ::unlinkat(folder.handle, entry.c_str(), AT_REMOVEDIR);
    }
    ::close(fd);
}

}  // namespace leftovers
}  // namespace kivfs
