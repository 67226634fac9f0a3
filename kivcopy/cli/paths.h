/* SPDX-License-Identifier: Zlib */
// Names as the front end takes them apart and puts them together, and the
// directories it looks at and makes.
#ifndef KIVCOPY_CLI_PATHS_H
#define KIVCOPY_CLI_PATHS_H

#include <sys/stat.h>

#include <string>

namespace kivcopy_cli {

bool is_separator(char c);
// The last component of a path, as cp names a file copied into a directory.
std::string base_name(const std::string& path);
// The directory part of a path, empty when the path has none.
std::string directory_of(const std::string& path);
std::string join(const std::string& directory, const std::string& name);

// The status of the name itself, not of what a symbolic link at it points
// to (plain stat on Windows, which has no such links for the C runtime).
int link_status(const std::string& path, struct stat* status);
bool is_directory(const std::string& path);

// Creates `directory` and every missing directory above it, each with mode
// 0755 less the umask. Prints the reason and returns false on failure.
bool make_directories(const std::string& directory);

// The path with every link and "." and ".." resolved; empty if it cannot be
// resolved (for a path that does not exist yet, its directory is resolved
// and its name kept).
std::string resolved(const std::string& path);

}  // namespace kivcopy_cli

#endif
