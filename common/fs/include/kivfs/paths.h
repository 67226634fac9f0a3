/* SPDX-License-Identifier: Zlib */
// Paths as text, taken apart the way the front ends name files: nothing
// here looks at the file system.
#ifndef KIVFS_PATHS_H
#define KIVFS_PATHS_H

#include <string>

#include "kivfs/types.h"

namespace kivfs {

// '/', and on Windows '\' too.
bool is_separator(char c);

// The last component of a path, its trailing separators left out ("a/b/"
// gives "b"); on Windows what follows a drive ("C:app.ini" gives
// "app.ini").
std::string base_name(const std::string& path);

// The directory part of a path without the separator that ends it ("/"
// for the root, "C:" for a drive's current folder on Windows), empty when
// the path has none.
std::string directory_of(const std::string& path);

// A name put after a directory the command line gave (or a name joined
// to one), so that a path that messages show goes on with one kind of
// separator: the one the directory's text already uses (its last; on
// Windows '\\' or '/'), else '/', which both systems take. Nothing comes
// between where the directory is empty, ends in a separator, or on
// Windows is a drive alone ("C:" and "app.ini" give "C:app.ini", the file
// in the drive's current folder, as the system reads it).
std::string join(const std::string& directory, const std::string& name);

// A name joined to a directory's system path (bytes on POSIX, UTF-16 on
// Windows) as a library call's messages show it: a separator goes between
// them unless the directory already ends in one; the directory's own last
// one, else '/', except in the Windows \\?\ form, which takes only '\'.
Path join_path(const Path& directory, const Path& name);

}  // namespace kivfs

#endif
