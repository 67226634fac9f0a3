/* SPDX-License-Identifier: Zlib */
// What the POSIX platform files share among themselves: opening and
// creating files relative to a directory descriptor, and the list of
// directories whose entries changed and are not durable yet.
#ifndef KIVSUBST_PLATFORM_POSIX_H
#define KIVSUBST_PLATFORM_POSIX_H

#include <vector>

#include "platform.h"

namespace kivsubst::platform {

// Opens an existing regular file, relative to `directory`. The name is
// resolved first without opening anything, and only a regular file found
// there is opened for data: a directory, a FIFO, a device or a terminal at
// the name is refused without ever being opened (nor waited on).
File open_regular_at(int directory, const char* path, Access access, Links links);
// Creates `path` relative to `directory`, exclusively and never through a
// link, for the owner alone.
File create_new_at(int directory, const char* path, Creation& outcome, File::Entry entry);

// The directories whose entries changed through a Directory (a file
// created or removed) since they were last synced, so that sync_all can
// make those changes durable without syncing whole file systems. A
// Directory is listed while it is open and has changes that are not
// durable yet, and leaves the list when it is synced or goes.
std::vector<const Directory*>& changed_directories();
void note_change(const Directory* directory);
void forget_changes(const Directory* directory);
// A Directory moved to another object keeps its place in the list.
void move_changes(const Directory* from, const Directory* to);

}  // namespace kivsubst::platform

#endif
