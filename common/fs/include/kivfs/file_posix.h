/* SPDX-License-Identifier: Zlib */
// Opening and creating files relative to a directory descriptor (POSIX):
// what a held directory opens its names with.
#ifndef KIVFS_FILE_POSIX_H
#define KIVFS_FILE_POSIX_H

#include "kivfs/file.h"

namespace kivfs {

// Opens an existing regular file, relative to `directory`. The name is
// resolved first without opening anything, and only a regular file found
// there is opened for data: a directory, a FIFO, a device or a terminal at
// the name is refused without ever being opened (nor waited on).
File open_regular_at(int directory, const char* path, Access access, Links links);
// Creates `path` relative to `directory`, exclusively and never through a
// link, for the owner alone.
File create_new_at(int directory, const char* path, Creation& outcome, File::Entry entry);

}  // namespace kivfs

#endif
