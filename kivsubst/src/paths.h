/* SPDX-License-Identifier: Zlib */
// Paths as the temporary-name rule splits and joins them. The platform
// layer says which characters separate (platform.h); the rest is the same
// everywhere.
#ifndef KIVSUBST_PATHS_H
#define KIVSUBST_PATHS_H

#include <string>

namespace kivsubst::paths {

// The drive and directory part of a path, with its trailing separator
// (empty when the path has neither), and the rest: the file's own name.
std::string directory_part(const std::string& path);
std::string name_part(const std::string& path);

bool ends_with_separator(const std::string& path);

// A name in a directory: a separator goes between them unless the
// directory already ends in one.
std::string join(const std::string& directory, const std::string& name);

// The process's current directory, or "." if it cannot be read.
std::string current_directory();

}  // namespace kivsubst::paths

#endif
