// SPDX-License-Identifier: Zlib
// Making a batch of files durable on Windows: each file flushed.
#include "platform.h"

namespace kivsubst::platform {

// Windows has no sync of a whole volume for an unprivileged program: each
// file is flushed, which writes its data and the metadata NTFS logs. A
// directory's entries cannot be flushed through a handle; NTFS logs them
// in its journal.
bool make_durable(const std::vector<File*>& files, const std::vector<Directory*>& directories) {
    bool all = true;
    for (File* file : files) {
        all = file->sync() && all;
    }
    for (Directory* directory : directories) {
        directory->entries_synced();
    }
    return all;
}

}  // namespace kivsubst::platform
