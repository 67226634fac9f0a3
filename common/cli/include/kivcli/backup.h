/* SPDX-License-Identifier: Zlib */
// Backups of files the front ends are about to change: NAME+SUFFIX beside
// the file, in the directory that holds it, which replaces an earlier
// backup only when that is a regular file, and never writes through a link
// at its name.
#ifndef KIVCLI_BACKUP_H
#define KIVCLI_BACKUP_H

#include <string>

#include "kivcli/folder.h"

namespace kivcli {

// Keeps a copy of the bytes of `original`, the file `name` in `folder` open
// for reading (its position is left alone), as `backup` in the same
// directory, with its permission bits (less the set-user-ID and
// set-group-ID bits: a backup is no program to run with another's rights),
// its access control list where it has one (and none that the directory
// would pass on: a backup is never open to more users than the original),
// its owner and group where the caller may set them, and the `times` it had.
// The copy is written under a new name beside it and renamed into place, so
// that an earlier backup is replaced whole, and only when it is a regular
// file. With `durable`, the copy and its name are durable when this
// returns; else `made` receives an open handle of the copy, for the caller
// to sync with other files and close. False, with the reason, when no
// backup was made.
bool keep_copy(Folder& folder, const std::string& name, NativeHandle original,
               const FileTimes& times, const std::string& backup, bool durable,
               NativeHandle& made, std::string& reason);

}  // namespace kivcli

#endif
