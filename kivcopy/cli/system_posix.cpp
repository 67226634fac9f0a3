// SPDX-License-Identifier: Zlib
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "kivcommon/posix_io.h"
#include "system.h"

namespace kivcopy_cli {
namespace {

// The bits that a copy keeps only with the source's owner and group, as
// cp -p keeps them.
constexpr mode_t set_id_bits = S_ISUID | S_ISGID | S_ISVTX;

struct timespec timespec_of(const kivcopy::platform::FileTime& time) {
    struct timespec converted {};
    converted.tv_sec = static_cast<time_t>(time.seconds);
    converted.tv_nsec = time.nanoseconds;
    return converted;
}

std::string failed_to(const char* what) {
    return std::string("cannot set the ") + what + ": " + std::strerror(errno);
}

// Owner and group first, since giving a file away clears its set-ID bits.
// A caller who may not give the copy away still tries to give it the
// source's group, as a member of it may. True when the copy's owner and
// group are the source's now.
bool give_owner(int fd, std::uint64_t owner, std::uint64_t group, std::string& reason) {
    if (::fchown(fd, static_cast<uid_t>(owner), static_cast<gid_t>(group)) == 0) {
        return true;
    }
    if (errno != EPERM) {
        reason = failed_to("owner");
        return false;
    }
    if (::fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(group)) != 0) {
        // Not a member of the group either: the copy stays the caller's.
    }
    struct stat now {};
    return ::fstat(fd, &now) == 0 && now.st_uid == owner && now.st_gid == group;
}

bool give_times(int fd, const kivcopy::platform::FileTime& access,
                const kivcopy::platform::FileTime& modification, std::string& reason) {
    const struct timespec times[2] = {timespec_of(access), timespec_of(modification)};
    if (::futimens(fd, times) != 0) {
        reason = failed_to("times");
        return false;
    }
    return true;
}

}  // namespace

PlaceIn::PlaceIn(Folder& folder, const std::string& name)
    : place_{folder.handle(), name.c_str()} {}

bool remove_entry(Folder& folder, const std::string& name, SystemError& error) {
    if (::unlinkat(folder.handle(error), name.c_str(), 0) == 0) {
        return true;
    }
    error = errno;
    return false;
}

// The name is free as soon as the entry is unlinked: nothing waits.
TargetRemoval::~TargetRemoval() = default;

bool TargetRemoval::take(Folder& folder, const std::string& name, SystemError& error) {
    removed_ = remove_entry(folder, name, error);
    return removed_;
}

bool TargetRemoval::finish() {
    return false;
}

bool TargetRemoval::put_back() {
    return true;
}

bool rename_entry(Folder& folder, const std::string& from, const std::string& to,
                  SystemError& error) {
    const int at = folder.handle(error);
    if (::renameat(at, from.c_str(), at, to.c_str()) == 0) {
        return true;
    }
    error = errno;
    return false;
}

// A running program says ETXTBSY, a read-only file EACCES (for anyone but
// root); an immutable file says EPERM, which no removal gets round either.
bool removal_gets_round(SystemError error) {
    return error == ETXTBSY || error == EACCES;
}

std::string cannot_replace_advice(bool) {
    return std::string();
}

namespace {

// Makes `name` in `to` another name of the file that the path descriptor
// `held` holds: directly where the caller may (root), else through its name
// in /proc, which stands for the very file the descriptor holds.
bool link_held(int held, Folder& to, const std::string& name, SystemError& error) {
    const int at = to.handle(error);
    if (::linkat(held, "", at, name.c_str(), AT_EMPTY_PATH) == 0) {
        return true;
    }
    if (errno == ENOENT || errno == EPERM) {
        const std::string by_proc = "/proc/self/fd/" + std::to_string(held);
        if (::linkat(AT_FDCWD, by_proc.c_str(), at, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return true;
        }
    }
    error = errno;
    return false;
}

}  // namespace

// The file is held by a path descriptor of the name, and linked only if it
// is the copy.
bool make_hard_link(Folder& from, const std::string& existing, const kivcli::FileIdentity& copy,
                    Folder& to, const std::string& name, SystemError& error) {
    const int held = kivcommon::open_retrying(from.handle(error), existing.c_str(),
                                              O_PATH | O_NOFOLLOW);
    if (held < 0) {
        error = errno;
        return false;
    }
    Status found;
    bool made = false;
    if (Folder::status_of(held, found, error)) {
        if (found.identity != copy) {
            error = kivcli::replaced_meanwhile;
        } else {
            made = link_held(held, to, name, error);
        }
    }
    ::close(held);
    return made;
}

bool give_attributes(kivcopy::platform::NativeHandle copy, const kivcopy::platform::Source& source,
                     const Preserve& preserve, std::string& reason) {
    bool owners_are_the_sources = false;
    if (preserve.ownership && !(owners_are_the_sources =
                                    give_owner(copy, source.owner, source.group, reason)) &&
        !reason.empty()) {
        return false;
    }
    if (preserve.mode) {
        mode_t mode = static_cast<mode_t>(source.mode);
        if (!owners_are_the_sources) {
            mode &= ~set_id_bits;
        }
        if (::fchmod(copy, mode) != 0) {
            reason = failed_to("mode");
            return false;
        }
    }
    return true;
}

bool give_mode(kivcopy::platform::NativeHandle copy, unsigned mode, std::string& reason) {
    if (::fchmod(copy, static_cast<mode_t>(mode & 0777 & ~umask_value())) != 0) {
        reason = failed_to("mode");
        return false;
    }
    return true;
}

// A directory made by this run was made for its owner alone, so that no
// one could put anything in it while it was filled; it gets its mode only
// now. A set-group-ID bit that it took from its parent stays, as a new
// directory there keeps it.
bool finish_directory(Folder& directory, bool made, unsigned mode, const Status& status,
                      const Preserve& preserve, std::string& reason) {
    SystemError error = 0;
    const int fd = directory.handle(error);
    if (fd < 0) {
        reason = kivcli::describe(error);
        return false;
    }
    bool owners_are_the_sources = false;
    if (preserve.ownership && !(owners_are_the_sources =
                                    give_owner(fd, status.owner, status.group, reason)) &&
        !reason.empty()) {
        return false;
    }
    mode_t final_mode = static_cast<mode_t>(mode);
    if (preserve.mode) {
        final_mode = static_cast<mode_t>(status.mode);
        if (!owners_are_the_sources) {
            final_mode &= ~set_id_bits;
        }
    } else {
        final_mode |= static_cast<mode_t>(directory.status().mode & S_ISGID);
    }
    if ((made || preserve.mode) && ::fchmod(fd, final_mode) != 0) {
        reason = failed_to("mode");
        return false;
    }
    if (preserve.timestamps) {
        const kivcopy::platform::FileTime access{status.access.seconds,
                                                  status.access.nanoseconds};
        const kivcopy::platform::FileTime modification{status.modification.seconds,
                                                        status.modification.nanoseconds};
        return give_times(fd, access, modification, reason);
    }
    return true;
}

std::int64_t size_of(kivcopy::platform::NativeHandle file) {
    struct stat status {};
    return ::fstat(file, &status) == 0 ? static_cast<std::int64_t>(status.st_size) : -1;
}

// Each directory is made relative to the one above it, which is held; one
// that was there already is taken as the path names it (a link to a
// directory is followed there, as the caller named it), one made here only
// if it is still the one made.
std::shared_ptr<Folder> make_directories(const std::string& directory, std::string& failed,
                                         SystemError& error) {
    const bool absolute = !directory.empty() && directory.front() == '/';
    std::shared_ptr<Folder> folder = Folder::open(absolute ? "/" : ".", error);
    std::string made_so_far = absolute ? "/" : "";
    std::size_t start = 0;
    while (folder != nullptr && start < directory.size()) {
        std::size_t end = directory.find('/', start);
        if (end == std::string::npos) {
            end = directory.size();
        }
        const std::string name = directory.substr(start, end - start);
        start = end + 1;
        if (name.empty() || name == ".") {
            continue;
        }
        made_so_far = made_so_far.empty() || made_so_far.back() == '/' ? made_so_far + name
                                                                       : made_so_far + "/" + name;
        failed = made_so_far;
        bool existed = false;
        std::shared_ptr<Folder> next = Folder::make_below(folder, name, 0755, existed, error);
        if (next == nullptr && existed && error == ELOOP) {
            next = Folder::open_below(folder, name, error, kivcli::Links::follow);
        }
        if (next == nullptr && existed && error == ENOTDIR && start < directory.size()) {
            // A file in the way: the directory that cannot be made below it is named.
            failed += "/" + directory.substr(start, directory.find('/', start) - start);
        }
        folder = std::move(next);
    }
    return folder;
}

// ".." of a held directory is its parent, wherever it has been moved, so
// nothing is resolved by name from the root.
bool lies_within(Folder& inner, Folder& outer) {
    SystemError error = 0;
    int fd = ::dup(inner.handle(error));
    struct stat status {};
    while (fd >= 0 && ::fstat(fd, &status) == 0) {
        if (status.st_dev == outer.status().identity.volume &&
            status.st_ino == outer.status().identity.index) {
            ::close(fd);
            return true;
        }
        const int parent = kivcommon::open_retrying(fd, "..", O_PATH | O_DIRECTORY);
        struct stat above {};
        const bool at_top = parent < 0 || (::fstat(parent, &above) == 0 &&
                                           above.st_dev == status.st_dev &&
                                           above.st_ino == status.st_ino);
        ::close(fd);
        fd = parent;
        if (at_top) {
            break;
        }
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return false;
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

bool caller_is_privileged() {
    return ::geteuid() == 0;
}

}  // namespace kivcopy_cli
