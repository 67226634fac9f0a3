// SPDX-License-Identifier: Zlib
#include "paths.h"

#if defined(_WIN32)
#include <direct.h>
#include <stdlib.h>
#else
#include <climits>
#include <cstdlib>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kivcli/quote.h"
#include "options.h"

namespace kivcopy_cli {
namespace {

#if defined(_WIN32)
constexpr const char* separators = "/\\";
#else
constexpr const char* separators = "/";
#endif

}  // namespace

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

int link_status(const std::string& path, struct stat* status) {
#if defined(_WIN32)
    return ::stat(path.c_str(), status);
#else
    return ::lstat(path.c_str(), status);
#endif
}

bool is_directory(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool make_directories(const std::string& directory) {
    for (std::size_t end = 0; end != std::string::npos;) {
        end = directory.find_first_of(separators, end + 1);
        std::string prefix = directory.substr(0, end);
        if (prefix.empty() || is_separator(prefix.back())) {
            continue;
        }
#if defined(_WIN32)
        if (prefix.back() == ':') {
            continue;  // a drive, as in "C:"
        }
        int made = ::_mkdir(prefix.c_str());
#else
        int made = ::mkdir(prefix.c_str(), 0755);
#endif
        int error = errno;
        if (made == 0 || is_directory(prefix)) {
            continue;
        }
        if (error == EEXIST && end != std::string::npos) {
            continue;  // a file in the way: creating the next directory tells so
        }
        std::fprintf(stderr, "%s: cannot create directory %s: %s\n", program_name,
                     kivcli::quoted(prefix).c_str(), std::strerror(error));
        return false;
    }
    return true;
}

std::string resolved(const std::string& path) {
#if defined(_WIN32)
    char full[_MAX_PATH];
    return ::_fullpath(full, path.c_str(), sizeof full) != nullptr ? std::string(full)
                                                                   : std::string();
#else
    char real[PATH_MAX];
    if (::realpath(path.c_str(), real) != nullptr) {
        return real;
    }
    const std::string directory = directory_of(path);
    if (::realpath(directory.empty() ? "." : directory.c_str(), real) == nullptr) {
        return std::string();
    }
    return join(real, base_name(path));
#endif
}

}  // namespace kivcopy_cli
