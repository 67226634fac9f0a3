/* SPDX-License-Identifier: Zlib */
// KivInstallFile's worker: the new file written whole beside the target,
// then put in its place by one rename, or on Windows, for a target in use,
// aside or at the next restart.
#ifndef KIVCOPY_INSTALL_H
#define KIVCOPY_INSTALL_H

#include <cstdint>

#include <functional>
#include <memory>
#include <utility>

#include "copy.h"
#include "install_decision.h"
#include "install_flags.h"
#include "install_platform.h"
#include "kivfs/directory.h"
#include "kivfs/leftovers.h"
#include "platform.h"

namespace kivcopy {

// How an install ended: on the copy's status scale, and whether the new
// file waits for the next restart (status copied then).
struct Installed {
    Installed(CopyStatus status_ = CopyStatus::copied, bool restart_needed_ = false,
              int error_ = 0)
        : status(status_), restart_needed(restart_needed_), error(error_) {}
    Installed(CopyStatus status_, InstallDecision decided_)
        : status(status_), decided(std::move(decided_)) {}

    CopyStatus status = CopyStatus::copied;
    bool restart_needed = false;
    // The system's error (errno, or GetLastError()) of the call that made
    // the install fail, taken at that call: the staged file's creation,
    // the status it takes from the target, its sync, the rename, the look
    // at what the rename put at the target's name, the folder's sync after
    // it. 0 where no system call
    // failed: a guard refused, or the target's name holds a file that this
    // call did not write.
    int error = 0;
    // What an install that knows versions decided before it wrote anything:
    // a verdict other than replace ends the install there, the target as it
    // was, with the verdict's result.
    InstallDecision decided;
};

Installed install_file(const platform::PathChar* source, const platform::PathChar* target,
                       InstallFlags flags);

// An install's new file, written whole and durable beside its target and
// not yet in its place: what a transaction puts in place at its commit.
struct StagedInstall {
    std::shared_ptr<kivfs::Directory> folder;  // the target's, held
    platform::TargetStatus target;             // the target as the guard saw it
    kivcommon::Path name;                      // the staged file's hidden name in the folder
    platform::FileIdentity identity;           // the staged file's
    kivfs::KeptHold hold;                      // keeps it from other calls' settling
    CopyStatus written = CopyStatus::copied;   // copied, or times_not_set
};

// How a staged file is named: a hidden name of `kind` (kivfs/hidden_names.h)
// beside the target; `announce`, where given, is told each name before the
// file is created under it (a transaction records it in its journal
// first), and refuses it by returning false, with the system's error set.
struct StagedName {
    const char* kind = nullptr;
    std::function<bool(kivfs::Directory& folder, const kivcommon::Path& name)> announce;
};

// install_file's steps up to the staged file: the source opened, the
// target's folder held and settled, the guard applied, the new file written
// and made durable. Status copied where `staged` holds it (or
// times_not_set in its `written`); else nothing is staged.
Installed stage_install(const platform::PathChar* source, const platform::PathChar* target,
                        InstallFlags flags, const StagedName& naming, StagedInstall& staged);

// The same steps from a source that the caller opened and the target's
// folder as the caller holds it (kivfs::Directory::open_for, or lent_for
// for a folder a front end's walk holds), the target's name its
// entry_name(): what the form above does once it has opened both.
Installed stage_install(platform::Source& source, std::shared_ptr<kivfs::Directory> folder,
                        InstallFlags flags, const StagedName& naming, StagedInstall& staged);

// The caller's result: the verdict's (2 to 5) for a target kept, 1 for a
// replacement that waits for the restart, else the copy's result for the
// status.
std::int32_t result_of(const Installed& installed);

}  // namespace kivcopy

#endif
