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

// Whether a path is in the Windows form that the system takes verbatim
// (\\?\C:\..., \\?\UNC\...): there '/' is an ordinary character.
bool is_verbatim(const Path& path) {
    const PathChar prefix[] = {'\\', '\\', '?', '\\', 0};
    return have_drives && path.rfind(prefix, 0) == 0;
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

// The separator is the one the directory's text uses last, so that a path
// made in TMP's "C:\Temp" is shown with one kind throughout; '/' where the
// text has none, and '\' in the \\?\ form, which takes no other.
Path join(const Path& directory, const Path& name) {
    if (ends_with_separator(directory)) {
        return directory + name;
    }
    if (is_verbatim(directory)) {
        return directory + separators[0] + name;
    }
    const std::size_t last = directory.find_last_of(separators);
    return directory + (last == Path::npos ? separator : directory[last]) + name;
}

Path current_directory() {
    std::error_code error;
    std::filesystem::path current = std::filesystem::current_path(error);
    return error ? Path(1, '.') : current.native();
}

}  // namespace kivsubst::paths
