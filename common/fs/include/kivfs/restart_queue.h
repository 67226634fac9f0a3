/* SPDX-License-Identifier: Zlib */
// The machine's restart queue: the moves and deletions that Windows carries
// out at its next start (PendingFileRenameOperations, and its successor
// PendingFileRenameOperations2), queued, and the entries of earlier runs
// that would undo an install taken out again, every other entry left as it
// was. POSIX has no such queue: nothing is ever queued there.
#ifndef KIVFS_RESTART_QUEUE_H
#define KIVFS_RESTART_QUEUE_H

#include "kivcommon/types.h"

namespace kivfs {

using kivcommon::Path;

// Queues `from` to replace `to` at the next restart (Windows:
// MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING). False if the
// system refused, as it does to a caller without the right to write the
// machine's settings; POSIX always answers false.
bool queue_replacement_at_restart(const Path& from, const Path& to);

// Whether the queue still holds a replacement of `to` by `from` (whole
// paths), however an entry spells them: false once a restart has carried
// it out, or where it was never queued; POSIX always answers false.
bool queued_at_restart(const Path& from, const Path& to);

// Queues the deletion of `path` at the next restart. False if the system
// refused; POSIX always answers false.
bool queue_deletion_at_restart(const Path& path);

// Takes out of the queue every entry that an earlier run left and that
// would undo an install at `target` (a full path): its deletion, a rename
// onto it, a rename away from it, however the entry spells the target. A
// dropped rename onto it whose source is a staged file of the install's
// (its path begins with `staged_prefix`, the folder's path and the staged
// files' common stem) leaves that file to no one: it is deleted. Every other
// entry stays exactly as it was. Where the queue cannot be written (a
// caller that is not an administrator), nothing changes. Nothing on POSIX.
void drop_stale_restart_entries(const Path& target, const Path& staged_prefix);

#if defined(_WIN32)
// The system's MoveFileExW for the moves queued for the next restart
// (MOVEFILE_DELAY_UNTIL_REBOOT), which Windows refuses to a caller without
// the right to write the machine's settings. A test puts a refusal here,
// since Wine grants every caller that right.
using DelayedMove = int (*)(const wchar_t* from, const wchar_t* to, unsigned long flags);
extern DelayedMove delayed_move;
#endif

}  // namespace kivfs

#endif
