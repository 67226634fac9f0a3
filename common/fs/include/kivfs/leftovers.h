/* SPDX-License-Identifier: Zlib */
// What a call that was killed before it ended leaves under the system's
// hidden names (kivfs/hidden_names.h), and how the next call in that
// folder settles it: a staged file, a front end's temporary, kivsubst's
// numbered temporary and a private directory are removed (a target that
// an install renamed aside is the install's own to settle). Only what a
// live call cannot be holding is touched: every such file or directory is
// held (locked) by its call from its creation on, and the settling leaves
// whatever is held.
#ifndef KIVFS_LEFTOVERS_H
#define KIVFS_LEFTOVERS_H

#include "kivcommon/types.h"

namespace kivfs {

using kivcommon::NativeHandle;
using kivcommon::Path;

// Holds a file or private directory that the caller has just created
// exclusively as `name` in `folder`, for as long as `created` stays open:
// POSIX locks it (flock, LOCK_EX), waiting only for a settling that looks
// at it at that moment, and then checks that `name` still leads to it.
// False where a settling took it in the moment before the lock, or the
// system refused the lock: the caller closes it and makes another, and
// what is left at `name`, if anything, is a later settling's. Windows:
// true, the handle's own sharing (no FILE_SHARE_DELETE) holds it.
bool hold_while_alive(NativeHandle created, NativeHandle folder, const Path& name);

// Keeps the hold that hold_while_alive() took on a file after the file
// itself is closed, until this goes out of scope: a staged file is closed
// (and its close judged) before it is renamed into place, and another
// call's settling must leave it until then. POSIX: a duplicate of its
// descriptor, which shares the lock. Windows: nothing to keep.
class KeptHold {
public:
    KeptHold() = default;
    explicit KeptHold(NativeHandle file);
    ~KeptHold();
    KeptHold(KeptHold&& other) noexcept;
    KeptHold& operator=(KeptHold&& other) noexcept;
    KeptHold(const KeptHold&) = delete;
    KeptHold& operator=(const KeptHold&) = delete;

private:
    void release();
    NativeHandle handle_{};
    bool held_ = false;
};

// Marks an open file of ours that is left on purpose (kivsubst's kept
// result, or its temporary file while that is the result's only complete
// copy), so that no later settling takes it for a killed call's: POSIX
// puts the sticky bit back. Windows: nothing to do.
bool leave_for_the_user(NativeHandle file);
// Takes the mark off again, for a file that no longer holds anything the
// user needs and that its call still holds.
bool take_back_from_the_user(NativeHandle file);

// A folder to settle: held open on POSIX (`handle`, a descriptor that may
// be a path descriptor), by its path and a separator on Windows (`prefix`).
struct FolderToSettle {
    NativeHandle handle{};
    Path prefix;
};

// Reads the folder's names once and settles each of the system's own that
// a killed call left, as the header says. On POSIX a name is taken only for
// a regular file (a private directory: a directory of mode 0700) that the
// caller owns, with one link, without the mark of leave_for_the_user and
// not locked (a numbered name: with mode 0600 too, as it is made), and it
// is removed only while the name still leads to the file that was locked;
// a private directory is emptied through its own handle, and left whole
// if it holds a directory. A link is never followed. Nothing is reported:
// what cannot be settled stays for a later call.
void settle_leftovers(const FolderToSettle& folder);

}  // namespace kivfs

#endif
