// SPDX-License-Identifier: Zlib
// Directories on Windows, held by their path: every name in one is joined
// to it and given to the system's wide functions whole.
#include <windows.h>

#include "kivcommon/win32_paths.h"
#include "platform.h"

namespace kivsubst::platform {

// A path in the form that reaches it whatever its length.
using kivcommon::system_path;

// Windows holds the directory by its name: CreateFile takes no directory
// handle to create or open names relative to. CREATE_NEW and the identity
// check of the write-back still keep a planted or swapped name from being
// written through.
Directory::~Directory() = default;
Directory::Directory(Directory&& other) noexcept = default;
Directory& Directory::operator=(Directory&& other) noexcept = default;

Directory Directory::open(const Path& path) {
    Directory directory;
    directory.path_ = path;
    DWORD attributes = ::GetFileAttributesW(system_path(path.empty() ? L"." : path).c_str());
    directory.open_ =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    directory.error_ = directory.open_                          ? 0
                       : attributes == INVALID_FILE_ATTRIBUTES ? static_cast<int>(::GetLastError())
                                                               : ERROR_DIRECTORY;
    return directory;
}

Directory Directory::held(NativeHandle, const Path& path, bool) {
    return open(path);
}

NameState Directory::check(const Path& name) const {
    if (!open_) {
        return NameState::unchecked;
    }
    if (::GetFileAttributesW(system_path(path_of(name)).c_str()) != INVALID_FILE_ATTRIBUTES) {
        return NameState::taken;
    }
    switch (::GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
            return NameState::free;
        case ERROR_ACCESS_DENIED:
            return NameState::taken;
        default:
            return NameState::unchecked;
    }
}

File Directory::create_new(const Path& name, Creation& outcome) {
    if (!open_) {
        outcome = Creation::failed;
        ::SetLastError(static_cast<DWORD>(error_));  // why the directory is not there
        return File();
    }
    File file = File::create_new(path_of(name), outcome);
    unsynced_entries_ = unsynced_entries_ || file.is_open();
    return file;
}

File Directory::open_for_reading(const Path& name, Links) {
    return File::open_for_reading(path_of(name));
}

File Directory::open_for_overwriting(const Path& name, Links) {
    return File::open_for_overwriting(path_of(name));
}

// Directory entries cannot be flushed through a handle here; NTFS logs them
// in its journal.
bool Directory::sync_entry(File&) {
    unsynced_entries_ = false;
    return true;
}

bool Directory::remove(const Path& name) {
    if (::DeleteFileW(system_path(path_of(name)).c_str()) == 0) {
        return false;
    }
    unsynced_entries_ = true;
    return true;
}

}  // namespace kivsubst::platform
