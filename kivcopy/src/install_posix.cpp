// SPDX-License-Identifier: Zlib
// POSIX services for KivInstallFile: the target's folder held open, and
// the new file renamed onto the target relative to it. A running program
// keeps the file it was started from (its old inode); the name then leads
// to the new one. POSIX queues nothing for a restart.
#include "install_platform.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kivcommon/posix_io.h"
#include "kivfs/directory.h"
#include "kivfs/leftovers.h"

namespace kivcopy::platform {

Place place(Directory& folder, const Path& name, Path& storage) {
    storage = name;
    return {folder.handle(), storage.c_str()};
}

namespace {

// Whether the folder vouches for a file found in it, so that the file's
// owner and mode may pass to the one that replaces it: the held
// directories' rule (kivfs::Directory::vouches_for_owner_and_mode), on the
// folder's status as it is now.
bool folder_vouches_for(int folder, const struct stat& file) {
    kivfs::Status status;
    kivfs::SystemError error = 0;
    if (!kivfs::Directory::status_of(folder, status, error)) {
        return false;
    }
    kivfs::Status found;
    found.owner = file.st_uid;
    return kivfs::Directory::vouches_for_owner_and_mode(status, found);
}

}  // namespace

// The name itself is looked at, never through a link at it: a link says
// nothing about the file that takes its place, and following it would
// lend the new file the owner and mode of whatever it points at.
TargetStatus look_at_target(Place target) {
    TargetStatus look;
    struct stat status {};
    if (::fstatat(target.directory, target.name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        look.kind = errno == ENOENT ? TargetStatus::Kind::absent : TargetStatus::Kind::failed;
        return look;
    }
    look.kind = S_ISREG(status.st_mode)   ? TargetStatus::Kind::regular
                : S_ISLNK(status.st_mode) ? TargetStatus::Kind::link
                                          : TargetStatus::Kind::other;
    look.mode = status.st_mode & 07777;
    look.owner = status.st_uid;
    look.group = status.st_gid;
    look.vouched_for = look.kind == TargetStatus::Kind::regular &&
                       folder_vouches_for(target.directory, status);
    look.identity = {static_cast<std::uint64_t>(status.st_dev),
                     static_cast<std::uint64_t>(status.st_ino)};
    return look;
}

bool refuses_replacement(const TargetStatus&) {
    return false;
}

// The owner goes first, as a change of owner clears the set-ID bits that
// the mode then gives back. Only root may give a file away; anyone else's
// install belongs to them, with the replaced file's permission bits, and
// the set-user-ID, set-group-ID and sticky bits only where the new file
// has the replaced one's owner and group (as the front end's -p has it).
// A file the folder does not vouch for gives nothing: the new file keeps
// the caller's owner and the mode it was created with, a new copy's.
bool take_status_of(File& staged, const TargetStatus& replaced) {
    if (!replaced.vouched_for) {
        return true;
    }
    if (::geteuid() == 0 &&
        ::fchown(staged.handle(), static_cast<uid_t>(replaced.owner),
                 static_cast<gid_t>(replaced.group)) != 0) {
        return false;
    }
    struct stat status {};
    if (::fstat(staged.handle(), &status) != 0) {
        return false;
    }
    const bool same_owner = status.st_uid == replaced.owner && status.st_gid == replaced.group;
    const mode_t mode = static_cast<mode_t>(same_owner ? replaced.mode : replaced.mode & 0777);
    return ::fchmod(staged.handle(), mode) == 0;
}

bool make_durable(File& staged) {
    return ::fsync(staged.handle()) == 0;
}

// Without replacing, the rename must not take a name that appeared since
// the target was looked at: RENAME_NOREPLACE, or where the file system
// lacks it, a second name made by link() (which never replaces) and the
// staged one removed.
Placing put_in_place(Directory& folder, const Path& staged, bool replace, int& error) {
    const int dir = folder.handle();
    const char* target = folder.entry_name().c_str();
    if (replace) {
        if (::renameat(dir, staged.c_str(), dir, target) == 0) {
            return Placing::placed;
        }
        error = errno;
        return Placing::failed;
    }
    if (::renameat2(dir, staged.c_str(), dir, target, RENAME_NOREPLACE) == 0) {
        return Placing::placed;
    }
    if (errno == EINVAL || errno == ENOSYS) {
        if (::linkat(dir, staged.c_str(), dir, target, 0) == 0) {
            ::unlinkat(dir, staged.c_str(), 0);
            return Placing::placed;
        }
    }
    error = errno;
    return error == EEXIST ? Placing::name_taken : Placing::failed;
}

// The held descriptor is a path descriptor (O_PATH), which fsync refuses;
// the folder is opened for reading through it, never by its name again.
// sync() waits for the writes on Linux, as fsync does.
bool make_entry_durable(Directory& folder, int& error) {
    const int readable =
        kivcommon::open_retrying(folder.handle(), ".", O_RDONLY | O_DIRECTORY);
    if (readable < 0) {
        ::sync();
        return true;
    }
    const bool synced = ::fsync(readable) == 0 || errno == EINVAL;
    if (!synced) {
        error = errno;
    }
    ::close(readable);
    return synced;
}

FileIdentity identity_of_staged(File& staged) {
    struct stat status {};
    if (::fstat(staged.handle(), &status) != 0) {
        return {};
    }
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

// An identity that could not be read (all zeros) matches nothing: the
// install then fails rather than vouch for a file it cannot tell.
bool target_holds(Directory& folder, const FileIdentity& identity, int& error) {
    struct stat status {};
    if (::fstatat(folder.handle(), folder.entry_name().c_str(), &status, AT_SYMLINK_NOFOLLOW) !=
        0) {
        error = errno;
        return false;
    }
    error = 0;
    return identity.index != 0 && static_cast<std::uint64_t>(status.st_dev) == identity.volume &&
           static_cast<std::uint64_t>(status.st_ino) == identity.index;
}

void settle_asides(Directory&) {}

void settle_leftovers(Directory& folder) {
    kivfs::settle_leftovers({folder.handle(), Path()});
}

// A read-only mode stops no rename: there is no attribute to give, lift
// or put back.
bool take_read_only_of(File&, const TargetStatus&) {
    return true;
}

bool lift_read_only(Directory&, const TargetStatus&) {
    return true;
}

void restore_read_only(Directory&, const TargetStatus&) {}

void remove_staged(Directory& folder, const Path& staged) {
    Path storage;
    const Place where = place(folder, staged, storage);
    ::unlinkat(where.directory, where.name, 0);
}

}  // namespace kivcopy::platform
