// SPDX-License-Identifier: Zlib
// A batch's syncs: its files and directories added to its commit's sync
// sets.
#include "platform.h"

namespace kivsubst::platform {

void add_to(kivfs::SyncSet& set, const File& file) {
    set.files.push_back({file.handle(), file.entry() == File::Entry::unknown});
}

// Only the directories whose entries changed go to the set.
void add_to(kivfs::SyncSet& set, Directory& directory) {
    if (directory.has_unsynced_entries()) {
        directory.entries_synced();
        set.directories.push_back({directory.handle(), directory.readable()});
    }
}

}  // namespace kivsubst::platform
