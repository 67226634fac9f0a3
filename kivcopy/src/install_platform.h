/* SPDX-License-Identifier: Zlib */
// The operating-system services that KivInstallFile needs beside the
// copy's: the target's folder, held for the whole call, a look at what the
// target is, and the ways a new file takes the target's place (one rename;
// on Windows, for a target in use, a rename aside). Each platform
// implements them in its own file; the restart queue is kivfs's.
#ifndef KIVCOPY_INSTALL_PLATFORM_H
#define KIVCOPY_INSTALL_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "kivfs/directory.h"
#include "platform.h"

namespace kivcopy::platform {

using kivcommon::Path;

// The folder that holds the target (kivfs::Directory::open_for), held for
// the whole call: on POSIX open, so that every later step names the staged
// file and the target relative to it and the folder cannot be swapped
// underneath; on Windows by its path, which the system resolves whole. The
// target's own name in it is its entry_name().
using kivfs::Directory;

// Where `name` is in the target's folder; `storage` keeps the text it
// points at.
Place place(Directory& folder, const Path& name, Path& storage);

// What is at the target's name now.
struct TargetStatus {
    // link (POSIX): a symbolic link, whether it points at a file or at
    // nothing; the rename replaces the link itself.
    enum class Kind { absent, regular, link, other, failed } kind = Kind::failed;
    unsigned mode = 0;            // POSIX: its permission bits with the set-ID and sticky bits
    std::uint64_t owner = 0;      // POSIX: its user and group
    std::uint64_t group = 0;
    bool vouched_for = false;     // POSIX: the folder vouches for its owner and mode
    std::uint32_t attributes = 0; // Windows: FILE_ATTRIBUTE_...
    FileIdentity identity;
};

// Looks at the target without opening it for data. On POSIX a symbolic
// link at its name is not followed: the rename puts the new file in the
// link's place, and what the link points at has no say in what the new
// file becomes.
TargetStatus look_at_target(Place target);

// A target that cannot be replaced unless the caller allows it: on Windows
// a read-only file, as KivCopyFile refuses it. POSIX: none, since a
// read-only mode never stops a rename.
bool refuses_replacement(const TargetStatus& target);

// Gives the staged file, written whole and still open, the replaced
// target's read-only attribute (Windows), so that it holds the attribute
// from the moment it takes the name. True where there is nothing to give
// (POSIX, a target that was not read-only). False if the system refused.
bool take_read_only_of(File& staged, const TargetStatus& replaced);

// Takes the read-only attribute off a read-only target for the rename that
// replaces it (Windows, where a read-only file refuses to be replaced),
// through a handle of the very file that was looked at: false, and nothing
// changed, if another file holds the name now or the system refused. True
// where there is nothing to take off (POSIX, a target that is not
// read-only). restore_read_only puts the attribute back on that file where
// the install does not happen after all.
bool lift_read_only(Directory& folder, const TargetStatus& target);
void restore_read_only(Directory& folder, const TargetStatus& target);

// Gives the staged file, still open and empty, what the replaced target
// had: on POSIX its mode (and, for root, its owner and group) where the
// folder vouches for the target, else nothing; its hidden and system
// attributes on Windows. False if the system refused.
bool take_status_of(File& staged, const TargetStatus& replaced);

// Writes the staged file's data and size through to the disk before it
// takes the target's name: a power cut after the rename must not find the
// name on a file whose data never reached the disk.
bool make_durable(File& staged);

// How the staged file was put in the target's place.
enum class Placing {
    placed,   // the target holds the new file now
    in_use,   // the target is in use and could not be replaced or renamed aside
    name_taken,  // without `replace`: something appeared at the target's name
    failed,   // any other failure; the target is as it was
};

// Renames the staged file onto the target in one step; without `replace`
// never over anything that appeared at the target's name. On Windows a target
// in use that can be renamed (a running program, a loaded DLL) is renamed
// aside first to a hidden name in its folder, whose deletion is queued for
// the next restart (or left to a later call in the folder, where that is
// refused); `error` is the system's error of a failure.
Placing put_in_place(Directory& folder, const Path& staged, bool replace, int& error);

// Makes the rename that put the new file at the target's name durable, so
// that a power cut after the call returns finds the new file there. POSIX:
// the folder is synced through a descriptor opened for reading on the one
// held (a file system that cannot sync a directory answers EINVAL and has
// nothing more to do); a folder that may be written but not read cannot be
// synced itself, and every file system is synced instead. Windows: the
// rename was made with MOVEFILE_WRITE_THROUGH, and the folder is flushed
// besides (FlushFileBuffers on it, opened for writing with backup
// semantics) where it can be opened so and its file system offers that.
// False, with the system's error in `error`, if the sync failed.
bool make_entry_durable(Directory& folder, int& error);

// The staged file's identity, read through it while it is open, for
// target_holds (POSIX) and a transaction's commit.
FileIdentity identity_of_staged(File& staged);

// Whether the target's name, just after the rename, holds the staged file
// of `identity` (looked at without following a link). False, with the
// system's error where the look failed (else 0), if it holds anything
// else: in a folder that others may write, a file renamed over the staged
// name just before the rename is what the rename put in place. Windows
// does not compare: on a FAT volume a file's index changes when it is
// renamed, so the name would never seem to hold the file written.
bool target_holds(Directory& folder, const FileIdentity& identity, int& error);

// Settles the files that earlier calls renamed aside in the folder: an old
// file whose deletion at restart could not be queued is removed where it is
// free by now; a target left renamed aside by a call that ended before the
// new file took its name is put back there. Nothing on POSIX, which renames
// nothing aside.
void settle_asides(Directory& folder);

// Settles what earlier calls that were killed left in the folder under the
// system's own names and no live call holds (kivfs::settle_leftovers):
// staged files, kivsubst's temporary files, the front end's private
// directories.
void settle_leftovers(Directory& folder);

// Removes a staged file that did not take the target's place, its
// read-only attribute (Windows) taken off first.
void remove_staged(Directory& folder, const Path& staged);

}  // namespace kivcopy::platform

#endif
