/* SPDX-License-Identifier: Zlib */
// Names as the front end takes them apart and puts them together: text
// only, nothing here looks at the file system.
#ifndef KIVCOPY_CLI_PATHS_H
#define KIVCOPY_CLI_PATHS_H

#include <string>

namespace kivcopy_cli {

bool is_separator(char c);
// The last component of a path, as cp names a file copied into a directory.
std::string base_name(const std::string& path);
// The directory part of a path, empty when the path has none.
std::string directory_of(const std::string& path);
std::string join(const std::string& directory, const std::string& name);

}  // namespace kivcopy_cli

#endif
