// SPDX-License-Identifier: Zlib
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "kivcommon/posix_io.h"
#include "kivfs/hidden_names.h"
#include "kivfs/leftovers.h"
#include "new_entries.h"

namespace kivcopy_cli {
namespace {

// Makes an entry at `name` in the directory `at`: 0, or the error.
using Maker = std::function<int(int at, const char* name)>;

std::string failed_to(const char* what, int error) {
    return std::string("cannot set the ") + what + ": " + std::strerror(error);
}

// A directory of the caller's alone, made inside a target's directory for
// one entry to be made and finished in: no one else can rename anything
// into it or out of it. Removed, with whatever is left in it, when done.
class Workshop {
public:
    Workshop(const Workshop&) = delete;
    Workshop& operator=(const Workshop&) = delete;
    explicit Workshop(int parent) : parent_(parent) {}
    ~Workshop() {
        if (fd_ >= 0 && !entry_.empty()) {
            ::unlinkat(fd_, entry_.c_str(), 0);
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
        if (!name_.empty()) {
            ::unlinkat(parent_, name_.c_str(), AT_REMOVEDIR);
        }
    }

    // Makes the directory under a hidden name of the entry's and holds it
    // from then on, only if what is at that name is still a directory that
    // the caller alone may enter. One that another run's settling took in
    // the moment before it was held is given up for a new name.
    bool open(const std::string& entry, std::string& reason) {
        entry_ = entry;
        for (int tries = 0; tries < 16; ++tries) {
            const std::string name = kivfs::hidden_name_for(entry, kivfs::private_directory_kind);
            if (::mkdirat(parent_, name.c_str(), 0700) != 0) {
                if (errno != EEXIST) {
                    reason = std::strerror(errno);
                    return false;
                }
                continue;
            }
            fd_ = kivcommon::open_retrying(parent_, name.c_str(),
                                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
            if (fd_ < 0 && errno == ENOENT) {
                continue;  // taken by a settling before it was opened
            }
            struct stat found {};
            if (fd_ < 0 || ::fstat(fd_, &found) != 0 || found.st_uid != ::geteuid() ||
                (found.st_mode & 077) != 0) {
                reason = "the directory made to make it in was replaced meanwhile";
                return false;
            }
            if (kivfs::hold_while_alive(fd_, parent_, name)) {
                name_ = name;
                return true;
            }
            ::close(fd_);
            fd_ = -1;
        }
        reason = "no private directory could be made";
        return false;
    }

    int handle() const { return fd_; }
    // The entry has left for its name: nothing of it is left to remove.
    void emptied() { entry_.clear(); }

private:
    int parent_;
    int fd_ = -1;
    std::string name_;
    std::string entry_;
};

// Gives the entry `name` in `at` what `keeping` asks, by its name: only
// where no one else can change what that name stands for. A FIFO's mode
// exactly as the source's (its set-ID bits mean nothing) and the times
// first, while the entry is still the caller's; owner and group last (a
// caller who may not give them away keeps its own), so that no call by
// name follows the hand-over: the new owner of an entry may rename or
// remove it wherever others may write.
bool finish(int at, const char* name, const Keeping& keeping, bool fifo, std::string& reason) {
    const Status& status = keeping.status;
    if (fifo && keeping.preserve.mode &&
        ::fchmodat(at, name, static_cast<mode_t>(status.mode & 01777), 0) != 0) {
        reason = failed_to("mode", errno);
        return false;
    }
    const struct timespec times[2] = {
        {static_cast<time_t>(status.access.seconds), status.access.nanoseconds},
        {static_cast<time_t>(status.modification.seconds), status.modification.nanoseconds}};
    if (keeping.preserve.timestamps && ::utimensat(at, name, times, AT_SYMLINK_NOFOLLOW) != 0) {
        reason = failed_to("times", errno);
        return false;
    }
    if (keeping.preserve.ownership &&
        ::fchownat(at, name, static_cast<uid_t>(status.owner), static_cast<gid_t>(status.group),
                   AT_SYMLINK_NOFOLLOW) != 0 &&
        errno != EPERM) {
        reason = failed_to("owner", errno);
        return false;
    }
    return true;
}

bool made_and_finished(int at, const std::string& name, const Maker& make,
                       const Keeping& keeping, bool fifo, FileIdentity& made,
                       std::string& reason) {
    if (const int error = make(at, name.c_str()); error != 0) {
        reason = std::strerror(error);
        return false;
    }
    struct stat found {};
    if (::fstatat(at, name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    made = {static_cast<std::uint64_t>(found.st_dev), static_cast<std::uint64_t>(found.st_ino)};
    return finish(at, name.c_str(), keeping, fifo, reason);
}

// Moves `name` from the directory `from` to `to`, never over anything
// there: 0, or the error. A file system that cannot rename without
// replacing gets a second name made instead, which fails just the same
// where the name is taken.
int move_into_place(int from, int to, const char* name) {
    if (::renameat2(from, name, to, name, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    if (::linkat(from, name, to, name, 0) != 0) {
        return errno;
    }
    ::unlinkat(from, name, 0);
    return 0;
}

// Makes `name` in `to` with `make` and finishes it: in place where only the
// caller changes names there (or nothing is to be done after it is made),
// else in a workshop inside `to`, from which it is moved to its name; the
// first workshop of the run in `to` settles what killed runs left there.
bool place(Folder& to, const std::string& name, const Maker& make, const Keeping& keeping,
           bool fifo, FileIdentity& made, std::string& reason) {
    kivcli::SystemError error = 0;
    const int target = to.handle(error);
    if (target < 0) {
        reason = kivcli::describe(error);
        return false;
    }
    const bool finished_later = keeping.preserve.any() || keeping.preserve.links;
    if (!finished_later || to.only_caller_changes_names()) {
        return made_and_finished(target, name, make, keeping, fifo, made, reason);
    }
    if (to.first_to_settle()) {
        kivfs::settle_leftovers({target, std::string()});
    }
    Workshop workshop(target);
    if (!workshop.open(name, reason) ||
        !made_and_finished(workshop.handle(), name, make, keeping, fifo, made, reason)) {
        return false;
    }
    if (const int moved = move_into_place(workshop.handle(), target, name.c_str()); moved != 0) {
        reason = std::strerror(moved);
        return false;
    }
    workshop.emptied();
    return true;
}

// The contents of the link `name` in `at`, however long.
bool read_link(int at, const std::string& name, std::vector<char>& contents,
               std::string& reason) {
    contents.resize(256);
    for (;;) {
        const ssize_t length = ::readlinkat(at, name.c_str(), contents.data(), contents.size());
        if (length < 0) {
            reason = "cannot read the link: " + std::string(std::strerror(errno));
            return false;
        }
        if (static_cast<std::size_t>(length) < contents.size()) {
            contents.resize(static_cast<std::size_t>(length));
            contents.push_back('\0');
            return true;
        }
        contents.resize(contents.size() * 2);
    }
}

}  // namespace

bool copy_link(Folder& from, const std::string& source, Folder& to, const std::string& name,
               const Keeping& keeping, FileIdentity& made, std::string& reason) {
    std::vector<char> contents;
    kivcli::SystemError error = 0;
    if (!read_link(from.handle(error), source, contents, reason)) {
        return false;
    }
    const Maker make = [&contents](int at, const char* entry) {
        return ::symlinkat(contents.data(), at, entry) == 0 ? 0 : errno;
    };
    return place(to, name, make, keeping, false, made, reason);
}

bool make_fifo(Folder& to, const std::string& name, const Keeping& keeping, FileIdentity& made,
               std::string& reason) {
    const mode_t mode = static_cast<mode_t>(keeping.status.mode & 0777);
    const Maker make = [mode](int at, const char* entry) {
        return ::mkfifoat(at, entry, mode) == 0 ? 0 : errno;
    };
    return place(to, name, make, keeping, true, made, reason);
}

}  // namespace kivcopy_cli
