/* SPDX-License-Identifier: Zlib */
// A target renamed aside so that a new file can take its name, and put
// back by a later call where the one that set it aside ended before the
// new file held the name. Only Windows sets a target aside (POSIX replaces
// a name in one rename, or removes it at once). There the aside's name says
// how far the replacement got: ".NAME.kiv-was-" and 16 hex digits while
// the target's name is empty, ".NAME.kiv-old-" once the new file holds it
// (hidden_name_for's names), so that whatever ended a call, the next one
// in the folder (an install or a front end's) knows what to do with it.
#ifndef KIVFS_ASIDE_H
#define KIVFS_ASIDE_H

#include "kivcommon/types.h"

namespace kivfs {

using kivcommon::Path;

// Settles what earlier calls left aside in the folder of `target_path` (a
// whole path): an old file is deleted where no program holds it any more;
// a file set aside is put back where its target's name is still empty,
// never over anything that took it since, else deleted as superseded. One
// whose NAME was cut cannot tell its target's whole name and stays as it
// is. Nothing is left aside on POSIX: there it does nothing.
void settle_asides(const Path& target_path);

#if defined(_WIN32)
// Renames the file at `target_path` aside to a ".NAME.kiv-was-" name
// beside it, never over anything, and gives that path. False, with the
// system's error, where the file is still at its name.
bool set_aside(const Path& target_path, Path& aside_path, unsigned long& error);

// The new file holds the target's name: the file at `aside_path` (set
// aside from `target_path`) is renamed to a ".NAME.kiv-old-" name, and
// `aside_path` follows it; where that rename fails it stays a was-file,
// which a later settling finds superseded all the same. A caller that
// holds the file open with DELETE access passes that handle as `held`:
// the file is renamed through it, so that a deletion marked through it
// later finds the file by its new name.
void mark_superseded(const Path& target_path, Path& aside_path, void* held = nullptr);
#endif

}  // namespace kivfs

#endif
