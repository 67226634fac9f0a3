// SPDX-License-Identifier: Zlib
// A batch's syncs: its files and directories handed to the file-system
// layer's group sync.
#include "kivfs/group_sync.h"
#include "platform.h"

namespace kivsubst::platform {

// Only the directories whose entries changed go to the group, and each
// counts as synced afterwards, whatever the outcome.
bool make_durable(const std::vector<File*>& files, const std::vector<Directory*>& directories) {
    std::vector<kivfs::GroupFile> group_files;
    for (const File* file : files) {
        group_files.push_back({file->handle(), file->entry() == File::Entry::unknown});
    }
    std::vector<kivfs::GroupDirectory> group_directories;
    for (Directory* directory : directories) {
        if (directory->has_unsynced_entries()) {
            directory->entries_synced();
            group_directories.push_back({directory->handle(), directory->readable()});
        }
    }
    return kivfs::sync_group(group_files, group_directories);
}

}  // namespace kivsubst::platform
