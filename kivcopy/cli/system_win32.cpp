// SPDX-License-Identifier: Zlib
#include <windows.h>

#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "kivcli/quote.h"
#include "kivcommon/win32_error.h"
#include "kivcommon/win32_filetime.h"
#include "kivcommon/win32_paths.h"
#include "system.h"

namespace kivcopy_cli {
namespace {

std::wstring wide(const std::string& path) {
    return kivcommon::system_path(kivcommon::from_ansi(path.c_str()).value_or(L""));
}

}  // namespace

// A read-only file cannot be deleted until it is made writable.
bool remove_target(const std::string& path, std::string& reason) {
    const DWORD attributes = ::GetFileAttributesW(wide(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        ::SetFileAttributesW(wide(path).c_str(),
                             attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
    if (::DeleteFileW(wide(path).c_str())) {
        return true;
    }
    reason = kivcommon::error_text(::GetLastError());
    return false;
}

bool rename_to_backup(const std::string& path, const std::string& suffix, std::string& reason) {
    const std::string backup = path + suffix;
    const DWORD attributes = ::GetFileAttributesW(wide(backup).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        reason = "the backup " + kivcli::quoted(backup) + " exists and is not a regular file";
        return false;
    }
    if (!::MoveFileExW(wide(path).c_str(), wide(backup).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        reason = "cannot rename it to " + kivcli::quoted(backup) + ": " +
                 kivcommon::error_text(::GetLastError());
        return false;
    }
    return true;
}

// A read-only file says so in its attributes; a running program cannot be
// opened for writing at all.
bool refuses_writing(const std::string& path, std::string& reason) {
    const DWORD attributes = ::GetFileAttributesW(wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        reason = "it is read-only";
        return true;
    }
    HANDLE handle = ::CreateFileW(wide(path).c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
        return false;
    }
    reason = kivcommon::error_text(::GetLastError());
    return true;
}

std::string cannot_replace_advice() {
    return "; a program that is running cannot be replaced on Windows until it ends: let the "
           "installer replace it at the next restart (MoveFileEx with "
           "MOVEFILE_DELAY_UNTIL_REBOOT)";
}

bool copy_link(const std::string&, const std::string&, std::string& reason) {
    reason = "links are not copied on Windows";
    return false;
}

// Windows keeps no owner and no mode bits for the C runtime: the times,
// and a source that cannot be written makes a read-only copy.
bool preserve_attributes(const std::string& target, const struct stat& status,
                         const Preserve& preserve, std::string& reason) {
    if (preserve.timestamps) {
        HANDLE handle = ::CreateFileW(wide(target).c_str(), FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        const FILETIME accessed = kivcommon::to_filetime(status.st_atime, 0);
        const FILETIME modified = kivcommon::to_filetime(status.st_mtime, 0);
        const bool set = handle != INVALID_HANDLE_VALUE &&
                         ::SetFileTime(handle, nullptr, &accessed, &modified) != 0;
        if (handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
        if (!set) {
            reason = "cannot set the times: " + kivcommon::error_text(::GetLastError());
            return false;
        }
    }
    if (preserve.mode && (status.st_mode & _S_IWRITE) == 0) {
        const DWORD attributes = ::GetFileAttributesW(wide(target).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            ::SetFileAttributesW(wide(target).c_str(), attributes | FILE_ATTRIBUTE_READONLY);
        }
    }
    return true;
}

unsigned umask_value() {
    return 0;
}

bool older_than(const struct stat& target, const struct stat& source) {
    return target.st_mtime < source.st_mtime;
}

}  // namespace kivcopy_cli
