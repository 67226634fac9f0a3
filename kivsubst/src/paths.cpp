// SPDX-License-Identifier: Zlib
#include "paths.h"

#include <filesystem>
#include <system_error>

namespace kivsubst::paths {
namespace {

// Where the directory part ends: after the last separator, else after a
// drive ("C:") where paths have drives, else at the start.
std::size_t directory_length(const Path& path) {
    std::size_t last = path.find_last_of(separators);
    if (last != Path::npos) {
        return last + 1;
    }
    return have_drives && path.size() >= 2 && path[1] == ':' ? 2 : 0;
}

}  // namespace

Path directory_part(const Path& path) {
    return path.substr(0, directory_length(path));
}

Path name_part(const Path& path) {
    return path.substr(directory_length(path));
}

bool ends_with_separator(const Path& path) {
    return !path.empty() && Path(separators).find(path.back()) != Path::npos;
}

Path current_directory() {
    std::error_code error;
    std::filesystem::path current = std::filesystem::current_path(error);
    return error ? Path(1, '.') : current.native();
}

}  // namespace kivsubst::paths
