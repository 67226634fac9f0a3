/* SPDX-License-Identifier: Zlib */
// Paths as this system writes them, and as the temporary-name rule splits
// and joins them.
#ifndef KIVSUBST_PATHS_H
#define KIVSUBST_PATHS_H

#include <string>

#include "kivcommon/types.h"
#include "kivfs/paths.h"

namespace kivsubst {

// A path as the system takes it: bytes on POSIX, UTF-16 on Windows, where
// every name is split, joined and opened in UTF-16, so that no byte of a
// double-byte character is ever taken for a separator.
using kivcommon::Path;
using kivcommon::PathChar;

namespace paths {

// The characters that separate a path's parts, whether a path may start
// with a drive ("C:"), and the root directory (on Windows, of the current
// drive). Names are joined with the separator the directory's text uses,
// '/' (which both systems take) where it has none, except to a Windows path
// in \\?\ form, which takes only '\'.
#if defined(_WIN32)
constexpr const PathChar* separators = L"\\/";
constexpr bool have_drives = true;
constexpr const PathChar* root_directory = L"\\";
#else
constexpr const PathChar* separators = "/";
constexpr bool have_drives = false;
constexpr const PathChar* root_directory = "/";
#endif
constexpr PathChar separator = '/';

// The drive and directory part of a path, with its trailing separator
// (empty when the path has neither), and the rest: the file's own name.
Path directory_part(const Path& path);
Path name_part(const Path& path);

bool ends_with_separator(const Path& path);

// A name in a directory: a separator goes between them unless the
// directory already ends in one; the directory's own last one, else '/'.
// (kivfs::join_path, which the temporary file's directory joins by).
inline Path join(const Path& directory, const Path& name) {
    return kivfs::join_path(directory, name);
}

// The process's current directory, or "." if it cannot be read.
Path current_directory();

}  // namespace paths
}  // namespace kivsubst

#endif
