/* SPDX-License-Identifier: Zlib */
// Making a group of files durable together, with the directories whose
// entries changed: what a batch pays once for all its files rather than
// once a file.
#ifndef KIVFS_GROUP_SYNC_H
#define KIVFS_GROUP_SYNC_H

#include <cstdint>
#include <vector>

#include "kivcommon/types.h"

namespace kivfs {

using kivcommon::NativeHandle;

// A file of the group, open, and what is known of its directory entry.
struct GroupFile {
    NativeHandle handle{};
    // Whether the entry may be new and no GroupDirectory of the group
    // stands for the directory that holds it (a file created by its path,
    // a handle taken over): that directory is then found by the file's own
    // name and synced with it (POSIX).
    bool entry_unknown = false;
};

// A directory of the group whose entries were created or removed, held
// open by the caller.
struct GroupDirectory {
    NativeHandle handle{};
    // Opened for reading, so that it can be synced itself (POSIX); one
    // opened for lookups alone has its file system synced through a file
    // of the group on it instead.
    bool readable = true;
};

// Makes durable everything written to `files`, their times and their new
// entries, and the entries of `directories`, waiting for as little else as
// it can. On POSIX a group of many files whose data is about all that is
// dirty on the machine has each file system that holds them synced whole,
// once (syncfs): that costs what the group wrote, and the disk flushes its
// cache once rather than once a file. Otherwise the disk is asked to start
// writing every file at once and the files are synced together. Then each
// directory is synced once (a directory met twice, by the same handle or
// another, once), unless its file system was synced whole; where a
// directory cannot be synced itself, the file system holding it is. On
// Windows each file is flushed; a directory's entries are in NTFS's
// journal already. False if a sync failed: the caller then syncs each file
// alone, to know which one cannot be made durable.
bool sync_group(const std::vector<GroupFile>& files,
                const std::vector<GroupDirectory>& directories);

}  // namespace kivfs

#endif
