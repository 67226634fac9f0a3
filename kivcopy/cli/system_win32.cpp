// SPDX-License-Identifier: Zlib
// Windows keeps no owner or permission bits that the front end gives away:
// -p gives the copy the source's times (to 100 ns) and its read-only
// attribute, through the copy's own handle. Every entry is named by its
// whole wide path.
#include <windows.h>

#include "kivcommon/win32_error.h"
#include "kivcommon/win32_filetime.h"
#include "kivcli/wtf8.h"
#include "kivcommon/win32_paths.h"
#include "kivcli/paths.h"
#include "system.h"

namespace kivcopy_cli {
namespace {

FILETIME filetime_of(std::int64_t seconds, std::int32_t nanoseconds) {
    return kivcommon::to_filetime(seconds, nanoseconds);
}

bool give_times(HANDLE handle, const FILETIME& accessed, const FILETIME& modified,
                std::string& reason) {
    if (!::SetFileTime(handle, nullptr, &accessed, &modified)) {
        reason = "cannot set the times: " + kivcommon::error_text(::GetLastError());
        return false;
    }
    return true;
}

SystemError last_error() {
    return static_cast<SystemError>(::GetLastError());
}

}  // namespace

PlaceIn::PlaceIn(Folder& folder, const std::string& name) : path_(folder.native_path(name)) {
    place_ = {nullptr, path_.c_str()};
}

// A read-only file cannot be deleted until it is made writable.
bool remove_entry(Folder& folder, const std::string& name, SystemError& error) {
    const std::wstring path = folder.native_path(name);
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        ::SetFileAttributesW(path.c_str(),
                             attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
    if (::DeleteFileW(path.c_str())) {
        return true;
    }
    error = last_error();
    return false;
}

bool rename_entry(Folder& folder, const std::string& from, const std::string& to,
                  SystemError& error) {
    if (::MoveFileExW(folder.native_path(from).c_str(), folder.native_path(to).c_str(),
                      MOVEFILE_REPLACE_EXISTING)) {
        return true;
    }
    error = last_error();
    return false;
}

// A read-only file refuses writing with access denied, a running program
// with a sharing violation.
bool removal_gets_round(SystemError error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

std::string cannot_replace_advice() {
    return "; a program that is running cannot be replaced on Windows until it ends: let the "
           "installer replace it at the next restart (MoveFileEx with "
           "MOVEFILE_DELAY_UNTIL_REBOOT)";
}

// Windows links by path: a front end there lends no privilege that a file
// renamed over `existing` could take.
bool make_hard_link(Folder& from, const std::string& existing, const kivcli::FileIdentity&,
                    Folder& to, const std::string& name, SystemError& error) {
    if (::CreateHardLinkW(to.native_path(name).c_str(), from.native_path(existing).c_str(),
                          nullptr)) {
        return true;
    }
    error = last_error();
    return false;
}

bool give_mode(kivcopy::platform::NativeHandle, unsigned, std::string&) {
    return true;  // Windows keeps no permission bits
}

bool give_attributes(kivcopy::platform::NativeHandle copy, const kivcopy::platform::Source& source,
                     const Preserve& preserve, std::string& reason) {
    if (preserve.mode && source.read_only) {
        FILE_BASIC_INFO information{};
        if (!::GetFileInformationByHandleEx(copy, FileBasicInfo, &information,
                                            sizeof information)) {
            reason = "cannot read the attributes: " + kivcommon::error_text(::GetLastError());
            return false;
        }
        information.FileAttributes |= FILE_ATTRIBUTE_READONLY;
        information.CreationTime.QuadPart = 0;  // zero leaves a time as it is
        information.LastAccessTime.QuadPart = 0;
        information.LastWriteTime.QuadPart = 0;
        information.ChangeTime.QuadPart = 0;
        if (!::SetFileInformationByHandle(copy, FileBasicInfo, &information,
                                          sizeof information)) {
            reason = "cannot make it read-only: " + kivcommon::error_text(::GetLastError());
            return false;
        }
    }
    return true;
}

bool finish_directory(Folder& directory, bool, unsigned, const Status& status,
                      const Preserve& preserve, std::string& reason) {
    if (!preserve.timestamps) {
        return true;
    }
    HANDLE handle = ::CreateFileW(directory.native_path().c_str(), FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        reason = "cannot set the times: " + kivcommon::error_text(::GetLastError());
        return false;
    }
    const bool set = give_times(
        handle, filetime_of(status.access.seconds, status.access.nanoseconds),
        filetime_of(status.modification.seconds, status.modification.nanoseconds), reason);
    ::CloseHandle(handle);
    return set;
}

std::int64_t size_of(kivcopy::platform::NativeHandle file) {
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(file, &size) ? static_cast<std::int64_t>(size.QuadPart) : -1;
}

// Each prefix of the path is made in turn; a drive ("C:") is not made.
std::shared_ptr<Folder> make_directories(const std::string& directory, std::string& failed,
                                         SystemError& error) {
    for (std::size_t end = 0; end != std::string::npos;) {
        end = directory.find_first_of("/\\", end + 1);
        const std::string prefix = directory.substr(0, end);
        if (prefix.empty() || kivcli::is_separator(prefix.back()) || prefix.back() == ':') {
            continue;
        }
        const std::wstring wide = kivcommon::system_path(kivcli::wide_from_wtf8(prefix));
        if (::CreateDirectoryW(wide.c_str(), nullptr)) {
            continue;
        }
        error = last_error();
        const DWORD attributes = ::GetFileAttributesW(wide.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            continue;
        }
        if (error == ERROR_ALREADY_EXISTS && end != std::string::npos) {
            continue;  // a file in the way: making the next directory tells so
        }
        failed = prefix;
        return nullptr;
    }
    failed = directory;
    return Folder::open(directory, error);
}

bool lies_within(Folder& inner, Folder& outer) {
    const std::wstring from = outer.native_path();
    const std::wstring to = inner.native_path();
    return !from.empty() && !to.empty() &&
           (to == from || (to.size() > from.size() && to.compare(0, from.size(), from) == 0 &&
                           (to[from.size()] == L'\\' || from.back() == L'\\')));
}

unsigned umask_value() {
    return 0;
}

bool caller_is_privileged() {
    return false;
}

}  // namespace kivcopy_cli
