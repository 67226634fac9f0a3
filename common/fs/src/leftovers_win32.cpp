// SPDX-License-Identifier: Zlib
// Settling on Windows, where a folder is held by its path: the files that
// a killed install renamed aside are settled. A staged file there is
// created with every kind of sharing, so a live call's cannot be told from
// a killed one's, and a numbered temporary that a call kept on purpose
// carries no mark: both stay.
#include <windows.h>

#include "leftovers_platform.h"

namespace kivfs {

bool hold_while_alive(NativeHandle, NativeHandle, const Path&) {
    return true;
}

bool leave_for_the_user(NativeHandle) {
    return true;
}

namespace leftovers {
namespace {

// Whether `path` names a file that is neither a directory nor a reparse
// point: only such a one is renamed or deleted.
bool is_plain_file(const Path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

}  // namespace

void for_each_name(const FolderToSettle& folder, const std::function<void(const Path&)>& fn) {
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileExW((folder.prefix + L"*").c_str(), FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        fn(Path(found.cFileName));
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
}

// An old file whose replacement is in place is deleted where no program
// holds it any more; one still held stays for a later call, or for its
// queued deletion.
void remove_file(const FolderToSettle& folder, const Path& entry, const HiddenName& name) {
    const Path path = folder.prefix + entry;
    if (name.is(old_kind) && is_plain_file(path)) {
        ::DeleteFileW(path.c_str());
    }
}

// Windows makes no private directories.
void remove_private_directory(const FolderToSettle&, const Path&) {}

// Never over anything that took the target's name since: such a target
// is deleted as an old file.
void put_back(const FolderToSettle& folder, const Path& entry, const Path& target) {
    const Path from = folder.prefix + entry;
    const Path to = folder.prefix + target;
    if (is_plain_file(from) && !::MoveFileExW(from.c_str(), to.c_str(), 0) &&
        ::GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES) {
        ::DeleteFileW(from.c_str());
    }
}

}  // namespace leftovers
}  // namespace kivfs
