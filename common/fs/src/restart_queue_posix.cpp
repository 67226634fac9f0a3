// SPDX-License-Identifier: Zlib
// POSIX has no restart queue: a rename replaces a file in use at once, and
// nothing waits for a restart.
#include "kivfs/restart_queue.h"

namespace kivfs {

bool queue_replacement_at_restart(const Path&, const Path&) {
    return false;
}

bool queued_at_restart(const Path&, const Path&) {
    return false;
}

bool queue_deletion_at_restart(const Path&) {
    return false;
}

void drop_stale_restart_entries(const Path&, const Path&) {}

}  // namespace kivfs
