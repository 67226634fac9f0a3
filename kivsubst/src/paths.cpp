// SPDX-License-Identifier: Zlib
#include "paths.h"

#include <filesystem>
#include <system_error>

#include "platform.h"

namespace kivsubst::paths {
namespace {

// Where the directory part ends: after the last separator, else after a
// drive ("C:") where paths have drives, else at the start.
std::size_t directory_length(const std::string& path) {
    std::size_t last = path.find_last_of(platform::path_separators);
    if (last != std::string::npos) {
        return last + 1;
    }
    return platform::paths_have_drives && path.size() >= 2 && path[1] == ':' ? 2 : 0;
}

}  // namespace

std::string directory_part(const std::string& path) {
    return path.substr(0, directory_length(path));
}

std::string name_part(const std::string& path) {
    return path.substr(directory_length(path));
}

bool ends_with_separator(const std::string& path) {
    const std::string separators = platform::path_separators;
    return !path.empty() && separators.find(path.back()) != std::string::npos;
}

std::string join(const std::string& directory, const std::string& name) {
    if (ends_with_separator(directory)) {
        return directory + name;
    }
    return directory + platform::separator + name;
}

std::string current_directory() {
    std::error_code error;
    std::filesystem::path current = std::filesystem::current_path(error);
    return error ? std::string(".") : current.string();
}

}  // namespace kivsubst::paths
