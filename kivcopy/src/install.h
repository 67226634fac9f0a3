/* SPDX-License-Identifier: Zlib */
// KivInstallFile's worker: the new file written whole beside the target,
// then put in its place by one rename, or on Windows, for a target in use,
// aside or at the next restart.
#ifndef KIVCOPY_INSTALL_H
#define KIVCOPY_INSTALL_H

#include <cstdint>

#include "copy.h"
#include "platform.h"

namespace kivcopy {

// What an install is allowed to do.
struct InstallFlags {
    bool replace = false;     // an existing target may be replaced
    bool at_restart = false;  // a target in use may be replaced at the next restart
    bool read_only = false;   // a read-only target (Windows) may be replaced, keeping the attribute
};

// How an install ended: on the copy's status scale, and whether the new
// file waits for the next restart (status copied then).
struct Installed {
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
};

Installed install_file(const platform::PathChar* source, const platform::PathChar* target,
                       InstallFlags flags);

// The caller's result: 1 for a replacement that waits for the restart,
// else the copy's result for the status.
std::int32_t result_of(const Installed& installed);

}  // namespace kivcopy

#endif
