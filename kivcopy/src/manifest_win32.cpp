// SPDX-License-Identifier: Zlib
// A manifest key on Windows: the target's full path as the system
// resolves it, without a \\?\ prefix, upper-cased as NTFS compares names,
// so that every spelling of one target finds one record.
#include "manifest.h"

#include <windows.h>

#include <string>

#include "kivfs/wtf8.h"

namespace kivcopy {

std::string manifest_key(kivfs::Directory& target_folder) {
    std::wstring path = target_folder.native_path(kivfs::wtf8_from_wide(target_folder.entry_name()));
    if (path.empty()) {
        ::SetLastError(ERROR_INVALID_NAME);
        return std::string();
    }
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        path.erase(2, 6);
    } else if (path.compare(0, 4, L"\\\\?\\") == 0) {
        path.erase(0, 4);
    }
    // The invariant upper case, one unit for one, as the file system's own
    // case table maps names (and from KERNEL32, which the library already
    // imports).
    std::wstring upper(path.size(), L'\0');
    const int size = static_cast<int>(path.size());
    if (::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, path.c_str(), size, upper.data(),
                        size, nullptr, nullptr, 0) != size) {
        return std::string();
    }
    return kivfs::wtf8_from_wide(upper);
}

}  // namespace kivcopy
