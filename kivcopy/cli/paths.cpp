// SPDX-License-Identifier: Zlib
#include "paths.h"

#include <cstring>

#include "system.h"

namespace kivcopy_cli {

bool is_separator(char c) {
    return std::strchr(separators, c) != nullptr;
}

std::string base_name(const std::string& path) {
    std::string name(path);
    while (name.size() > 1 && is_separator(name.back())) {
        name.pop_back();
    }
    std::size_t separator = name.find_last_of(separators);
    return separator == std::string::npos ? name : name.substr(separator + 1);
}

std::string directory_of(const std::string& path) {
    std::size_t separator = path.find_last_of(separators);
    if (separator == std::string::npos) {
        return std::string();
    }
    return separator == 0 ? path.substr(0, 1) : path.substr(0, separator);
}

std::string join(const std::string& directory, const std::string& name) {
    std::string joined(directory);
    if (joined.empty() || !is_separator(joined.back())) {
        joined += '/';
    }
    return joined + name;
}

}  // namespace kivcopy_cli
