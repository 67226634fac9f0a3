// SPDX-License-Identifier: Zlib
#include "kivfs/paths.h"

namespace kivfs {
namespace {

#if defined(_WIN32)
constexpr bool have_drives = true;
#else
constexpr bool have_drives = false;
#endif

// The separators of a system path, in its own characters.
#if defined(_WIN32)
constexpr const PathChar* path_separators = L"\\/";
#else
constexpr const PathChar* path_separators = "/";
#endif

// How many characters of `path` name its drive ("C:"), if any.
std::size_t drive_length(const std::string& path) {
    const bool drive = have_drives && path.size() >= 2 && path[1] == ':' &&
                       ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    return drive ? 2 : 0;
}

// Where the last component starts: after the last separator, or the drive.
std::size_t name_start(const std::string& path) {
    for (std::size_t at = path.size(); at > drive_length(path); --at) {
        if (is_separator(path[at - 1])) {
            return at;
        }
    }
    return drive_length(path);
}

// Whether a path is in the Windows form that the system takes verbatim
// (\\?\C:\..., \\?\UNC\...): there '/' is an ordinary character.
bool is_verbatim(const Path& path) {
    const PathChar prefix[] = {'\\', '\\', '?', '\\', 0};
    return have_drives && path.rfind(prefix, 0) == 0;
}

}  // namespace

bool is_separator(char c) {
    return c == '/' || (have_drives && c == '\\');
}

std::string base_name(const std::string& path) {
    std::string trimmed(path);
    while (trimmed.size() > drive_length(trimmed) + 1 && is_separator(trimmed.back())) {
        trimmed.pop_back();
    }
    return trimmed.substr(name_start(trimmed));
}

std::string directory_of(const std::string& path) {
    const std::size_t start = name_start(path);
    const std::size_t drive = drive_length(path);
    if (start == drive) {
        return path.substr(0, drive);
    }
    // The root keeps its one separator; any other directory loses its own.
    return start == drive + 1 ? path.substr(0, start) : path.substr(0, start - 1);
}

std::string join(const std::string& directory, const std::string& name) {
    const bool separated = directory.empty() || is_separator(directory.back()) ||
                           drive_length(directory) == directory.size();
    if (separated) {
        return directory + name;
    }
    const std::size_t last = directory.find_last_of(have_drives ? "/\\" : "/");
    return directory + (last == std::string::npos ? '/' : directory[last]) + name;
}

// The separator is the one the directory's text uses last, so that a path
// made in TMP's "C:\Temp" is shown with one kind throughout.
Path join_path(const Path& directory, const Path& name) {
    if (!directory.empty() && Path(path_separators).find(directory.back()) != Path::npos) {
        return directory + name;
    }
    if (is_verbatim(directory)) {
        return directory + path_separators[0] + name;
    }
    const std::size_t last = directory.find_last_of(path_separators);
    return directory + (last == Path::npos ? PathChar('/') : directory[last]) + name;
}

}  // namespace kivfs
