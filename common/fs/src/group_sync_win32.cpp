// SPDX-License-Identifier: Zlib
// Making a group of files durable on Windows: each file flushed.
#include <windows.h>

#include "kivfs/group_sync.h"

namespace kivfs {

// Windows has no sync of a whole volume for an unprivileged program: each
// file is flushed, which writes its data and the metadata NTFS logs. A
// directory's entries cannot be flushed through a handle; NTFS logs them
// in its journal.
bool sync_group(const std::vector<GroupFile>& files, const std::vector<GroupDirectory>&) {
    bool all = true;
    for (const GroupFile& file : files) {
        all = ::FlushFileBuffers(file.handle) != 0 && all;
    }
    return all;
}

}  // namespace kivfs
