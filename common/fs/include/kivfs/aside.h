/* SPDX-License-Identifier: Zlib */
// A target renamed aside so that a new file can take its name, and put
// back by a later call where the one that set it aside ended before the
// new file held the name. Only Windows sets a target aside (POSIX replaces
// a name in one rename, or removes it at once). There the aside's name says
// how far the replacement got: ".NAME.kiv-was-" and 16 hex digits while
// the target's name is empty, ".NAME.kiv-old-" once the new file holds it
// (hidden_name_for's names), so that whatever ended a call, the next one
// in the folder (an install or a front end's) knows what to do with it.
#ifndef KIVFS_ASIDE_H
#define KIVFS_ASIDE_H

#include "kivcommon/types.h"

namespace kivfs {

using kivcommon::Path;

// Settles what earlier calls left aside in the folder of `target_path` (a
// whole path): an old file is deleted where no program holds it any more;
// a file set aside is put back where its target's name is still empty,
// never over anything that took it since, else deleted as superseded. One
// whose NAME was cut cannot tell its target's whole name and stays as it
// is. Nothing is left aside on POSIX: there it does nothing.
void settle_asides(const Path& target_path);

#if defined(_WIN32)
// A target set aside, held: the file itself is open with DELETE access and
// without delete sharing from before its rename until the holder lets it
// go, so that no other call renames, replaces or deletes it meanwhile
// (another call's set-aside or replacing rename meets a sharing violation,
// as another program's would; a settling passes over it), and each of its
// renames goes through the handle and so moves the file held, whatever
// name it has by then. A rename by name from two calls at once could
// otherwise move the other call's aside, or the new file that took the
// name in between, and put an old file back over a new one.
class HeldAside {
public:
    HeldAside() = default;
    ~HeldAside();
    HeldAside(const HeldAside&) = delete;
    HeldAside& operator=(const HeldAside&) = delete;

    // Opens the file at `target_path` (a whole path; a link or a folder
    // itself) and renames it to a ".NAME.kiv-was-" name beside it, never
    // over anything. False, with the system's error, where the file is
    // still at its name and nothing is held; a target that another call or
    // program holds against deletion gives a sharing violation.
    bool take(const Path& target_path, unsigned long& error);
    // The new file holds the target's name: the file held is renamed to a
    // ".NAME.kiv-old-" name (where that fails it stays a was-file, which a
    // later settling finds superseded all the same) and marked for deletion
    // at its last close, its read-only attribute lifted for that. False
    // where the mark is refused (a running program, a file mapped): it
    // then stays, under the name path() gives.
    bool supersede();
    // Renames the file held back to the target's name, never over
    // anything. False where it cannot (the name was taken meanwhile).
    bool put_back();
    // Closes the handle: the file stays under its name unless marked.
    void release();

    bool held() const { return handle_ != nullptr; }
    void* handle() const { return handle_; }
    // The file's whole path now.
    const Path& path() const { return aside_path_; }

private:
    void* handle_ = nullptr;
    Path target_path_;
    Path aside_path_;
};

// The system's errors of a rename onto, or of, a file that another program
// holds: a running program or a loaded DLL (access denied), a file held
// open without delete sharing (a sharing violation), one mapped or locked.
bool held_by_another_program(unsigned long error);

// Puts the file at `staged_path` in the place of the target at
// `target_path` (whole paths) that a plain replacing rename could not
// replace because a program runs from it or has it loaded: the target is
// set aside (HeldAside), the staged file renamed onto its name, and the old
// file then goes at its last close, or at the next restart where the
// system refuses that. Where the staged file cannot take the name, the old
// file is put back, or goes where another call's file took the name.
// `in_use` where even the set-aside is refused (a file held without delete
// sharing), with the system's error.
enum class BesideUse { placed, in_use, failed };
BesideUse replace_beside_use(const Path& staged_path, const Path& target_path,
                             unsigned long& error);
#endif

}  // namespace kivfs

#endif
