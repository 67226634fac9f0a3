// SPDX-License-Identifier: Zlib
// Win32 services for KivInstallFile: the new file renamed onto the target
// (MoveFileExW, written through), and a target that a program runs from
// replaced beside its use (kivfs/aside.h).
#include "install_platform.h"
#include "kivfs/aside.h"
#include "kivfs/hidden_names.h"
#include "kivfs/leftovers.h"
#include "kivfs/wtf8.h"

#include <windows.h>

#include <string>

#include "kivcommon/win32_paths.h"

namespace kivcopy::platform {
namespace {

bool name_taken(DWORD error) {
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
}

}  // namespace

// The folder is held by its path as open_for resolved it, which ends in
// its separator: a name in it is that path and the name.
Place place(Directory& folder, const Path& name, Path& storage) {
    storage = kivfs::wide_from_wtf8(folder.name()) + name;
    return {nullptr, storage.c_str()};
}

// The identity is read through a handle that asks for the attributes
// alone, which opens even a file that another program holds without
// sharing.
TargetStatus look_at_target(Place target) {
    TargetStatus look;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(target.name, GetFileExInfoStandard, &data)) {
        const DWORD error = ::GetLastError();
        look.kind = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                        ? TargetStatus::Kind::absent
                        : TargetStatus::Kind::failed;
        return look;
    }
    look.attributes = data.dwFileAttributes;
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        look.kind = TargetStatus::Kind::other;
        return look;
    }
    look.kind = TargetStatus::Kind::regular;
    HANDLE handle = ::CreateFileW(target.name, FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    BY_HANDLE_FILE_INFORMATION information;
    if (handle != INVALID_HANDLE_VALUE) {
        if (::GetFileInformationByHandle(handle, &information)) {
            look.identity = {information.dwVolumeSerialNumber,
                             (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
                                 information.nFileIndexLow};
        }
        ::CloseHandle(handle);
    }
    return look;
}

// KivCopyFile refuses a read-only target; an install does too, unless the
// caller allows it (KIVINSTALL_READ_ONLY).
bool refuses_replacement(const TargetStatus& target) {
    return (target.attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

namespace {

bool read_only(const TargetStatus& target) {
    return target.kind == TargetStatus::Kind::regular &&
           (target.attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// Sets or clears the read-only attribute of the file at `path`, but only if
// that is still the file `target` looked at: the attribute is read and set
// through a handle that asks for the attributes alone (which opens even a
// file that another program holds without sharing), and the handle's file
// is compared with the look's before anything is set.
bool set_read_only_of(const Path& path, const TargetStatus& target, bool on) {
    HANDLE handle = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information;
    bool set = false;
    if (::GetFileInformationByHandle(handle, &information) &&
        information.dwVolumeSerialNumber == target.identity.volume &&
        ((static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
         information.nFileIndexLow) == target.identity.index) {
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = on ? information.dwFileAttributes | FILE_ATTRIBUTE_READONLY
                                  : information.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
        if (basic.FileAttributes == 0) {
            basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        }
        set = ::SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != 0;
    }
    ::CloseHandle(handle);
    return set;
}

}  // namespace

// The attribute goes on after the data are written and synced: the handle
// was opened for writing before, so the times are still set through it,
// and the file holds the attribute when it takes the name.
bool take_read_only_of(File& staged, const TargetStatus& replaced) {
    if (!read_only(replaced)) {
        return true;
    }
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandleEx(staged.handle(), FileBasicInfo, &basic, sizeof basic)) {
        return false;
    }
    FILE_BASIC_INFO changed{};
    changed.FileAttributes = basic.FileAttributes | FILE_ATTRIBUTE_READONLY;
    return ::SetFileInformationByHandle(staged.handle(), FileBasicInfo, &changed,
                                        sizeof changed) != 0;
}

// MoveFileExW refuses to replace a read-only file, and a read-only file
// renamed aside could not be deleted: the attribute comes off just before
// the rename. The handle is closed again before it, since a file held open
// cannot be replaced.
bool lift_read_only(Directory& folder, const TargetStatus& target) {
    if (!read_only(target)) {
        return true;
    }
    Path target_path;
    place(folder, folder.entry_name(), target_path);
    return set_read_only_of(target_path, target, false);
}

// The old file is back at the target's name wherever an install fails (a
// file renamed aside is renamed back first).
void restore_read_only(Directory& folder, const TargetStatus& target) {
    if (!read_only(target)) {
        return;
    }
    Path target_path;
    place(folder, folder.entry_name(), target_path);
    set_read_only_of(target_path, target, true);
}

bool take_status_of(File& staged, const TargetStatus& replaced) {
    constexpr DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                           FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = replaced.attributes & kept;
    if (basic.FileAttributes == 0) {
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    return ::SetFileInformationByHandle(staged.handle(), FileBasicInfo, &basic, sizeof basic) != 0;
}

bool make_durable(File& staged) {
    return ::FlushFileBuffers(staged.handle()) != 0;
}

Placing put_in_place(Directory& folder, const Path& staged, bool replace, int& error) {
    Path staged_path;
    Path target_path;
    place(folder, staged, staged_path);
    place(folder, folder.entry_name(), target_path);
    if (::MoveFileExW(staged_path.c_str(), target_path.c_str(),
                      MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0))) {
        return Placing::placed;
    }
    const DWORD failure = ::GetLastError();
    error = static_cast<int>(failure);
    if (!replace) {
        return name_taken(failure) ? Placing::name_taken : Placing::failed;
    }
    if (!kivfs::held_by_another_program(failure)) {
        return Placing::failed;
    }
    unsigned long beside_error = 0;
    const kivfs::BesideUse placed =
        kivfs::replace_beside_use(staged_path, target_path, beside_error);
    error = static_cast<int>(beside_error);
    switch (placed) {
        case kivfs::BesideUse::placed: return Placing::placed;
        case kivfs::BesideUse::in_use: return Placing::in_use;
        case kivfs::BesideUse::failed: break;
    }
    return Placing::failed;
}

namespace {

// The errors of a flush that the folder's file system does not offer for a
// folder.
bool flush_not_offered(DWORD error) {
    return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
           error == ERROR_INVALID_PARAMETER || error == ERROR_ACCESS_DENIED;
}

}  // namespace

// The renames that put the new file in place were written through
// (MOVEFILE_WRITE_THROUGH); the folder's own changes are flushed besides,
// through a handle of the folder opened for writing with backup semantics
// (the only way to open a folder), where its file system allows that. A
// folder that the caller may not open for writing, or whose file system
// offers no flush for a folder, has the written-through rename alone.
bool make_entry_durable(Directory& folder, int& error) {
    Path path;
    place(folder, Path(), path);
    if (path.size() > 1 && path[path.size() - 2] != L':') {
        path.pop_back();  // the separator after the folder's name; a drive's root keeps it
    }
    HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return true;
    }
    const bool flushed = ::FlushFileBuffers(handle) != 0;
    const DWORD failure = flushed ? ERROR_SUCCESS : ::GetLastError();
    ::CloseHandle(handle);
    if (flushed || flush_not_offered(failure)) {
        return true;
    }
    error = static_cast<int>(failure);
    return false;
}

// A transaction's commit checks that the staged name still holds the file
// it made; an install alone has no use for it (target_holds below).
FileIdentity identity_of_staged(File& staged) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!::GetFileInformationByHandle(staged.handle(), &information)) {
        return {};
    }
    return {information.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
                information.nFileIndexLow};
}

bool target_holds(Directory&, const FileIdentity&, int& error) {
    error = 0;
    return true;
}

// What earlier calls left aside in the folder is settled as kivfs/aside.h
// settles it, for the front end's calls and the install's alike.
void settle_asides(Directory& folder) {
    Path target_path;
    place(folder, folder.entry_name(), target_path);
    kivfs::settle_asides(target_path);
}

// The folder's path, with its separator, is where the settling looks.
void settle_leftovers(Directory& folder) {
    Path prefix;
    place(folder, Path(), prefix);
    kivfs::settle_leftovers({nullptr, prefix});
}

// A staged file given the read-only attribute refuses deletion by name: it
// is opened, its attribute taken off and marked for deletion through the
// one handle, so that nothing that took its name meanwhile is touched.
void remove_staged(Directory& folder, const Path& staged) {
    Path path;
    place(folder, staged, path);
    HANDLE handle = ::CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        ::DeleteFileW(path.c_str());
        return;
    }
    FILE_BASIC_INFO basic{};
    if (::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        FILE_BASIC_INFO changed{};
        changed.FileAttributes = basic.FileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
        if (changed.FileAttributes == 0) {
            changed.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        }
        ::SetFileInformationByHandle(handle, FileBasicInfo, &changed, sizeof changed);
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
    ::CloseHandle(handle);
}

}  // namespace kivcopy::platform
