// SPDX-License-Identifier: Zlib
// A manifest key on POSIX: the held folder's path as the kernel knows it
// (its /proc/self/fd link, whatever path or links reached it) and the
// target's name.
#include "manifest.h"

#include <unistd.h>

#include <string>

namespace kivcopy {

std::string manifest_key(kivfs::Directory& target_folder) {
    const int handle = target_folder.handle();
    if (handle < 0) {
        return std::string();
    }
    const std::string link = "/proc/self/fd/" + std::to_string(handle);
    std::string path(4096, '\0');
    const ssize_t length = ::readlink(link.c_str(), path.data(), path.size());
    if (length <= 0 || static_cast<std::size_t>(length) == path.size() || path[0] != '/') {
        return std::string();
    }
    path.resize(static_cast<std::size_t>(length));
    return (path == "/" ? path : path + "/") + target_folder.entry_name();
}

}  // namespace kivcopy
