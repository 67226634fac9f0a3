// SPDX-License-Identifier: Zlib
// Backups on Windows: the copy is written under a new name beside the file
// and moved over the backup's name, which holds a regular file or nothing.
// It keeps the file's hidden and system attributes.
#include <windows.h>

#include <optional>

#include "kivcli/backup.h"
#include "kivcli/quote.h"
#include "kivfs/hidden_names.h"
#include "kivcommon/win32_error.h"
#include "kivcommon/win32_filetime.h"
#include "kivcommon/win32_paths.h"

namespace kivcli {
namespace {

std::string system_reason(const std::string& what) {
    return what + ": " + kivcommon::error_text(::GetLastError());
}

// Copies every byte of `from`, from its start, to `to`, reading at offsets
// so that the original's position is left alone.
bool copy_bytes(HANDLE from, HANDLE to) {
    char buffer[1 << 16];
    for (ULONGLONG at = 0;;) {
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(at & 0xffffffffu);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD got = 0;
        if (!::ReadFile(from, buffer, sizeof buffer, &got, &where)) {
            return ::GetLastError() == ERROR_HANDLE_EOF;
        }
        if (got == 0) {
            return true;
        }
        DWORD written = 0;
        if (!::WriteFile(to, buffer, got, &written, nullptr) || written != got) {
            return false;
        }
        at += got;
    }
}

// An earlier backup may be replaced when nothing is there or a plain file
// is: a directory or a reparse point (a link) is left alone.
bool slot_is_free(const std::wstring& wide, const std::string& shown, std::string& reason) {
    const DWORD attributes = ::GetFileAttributesW(kivcommon::system_path(wide).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        reason = "the backup " + quoted(shown) + " exists and is not a regular file";
        return false;
    }
    return true;
}

}  // namespace

bool keep_copy(Folder& folder, [[maybe_unused]] const std::string& name, NativeHandle original,
               const FileTimes& times, const std::string& backup, bool durable,
               NativeHandle& made, std::string& reason) {
    const std::string shown = folder.shown(backup);
    const std::wstring wide = folder.native_path(backup);
    if (wide.empty()) {
        reason = "cannot name the backup " + quoted(shown);
        return false;
    }
    if (!slot_is_free(wide, shown, reason)) {
        return false;
    }
    // The copy is staged under a hidden name of the backup's, created anew,
    // never opened through whatever someone put at its name (a link would
    // send the original's bytes elsewhere). Shared for deleting, so that it
    // can be renamed while it is open.
    // A backup is seen as its file is: hidden and system where it is.
    const std::size_t name_at = wide.find_last_of(L"\\/") + 1;
    const std::wstring temporary =
        wide.substr(0, name_at) + kivfs::hidden_name_for(wide.substr(name_at), kivfs::staged_kind);
    BY_HANDLE_FILE_INFORMATION information{};
    const DWORD seen = ::GetFileInformationByHandle(original, &information)
                           ? information.dwFileAttributes &
                                 (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)
                           : 0;
    HANDLE copy = ::CreateFileW(temporary.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE,
                                nullptr, CREATE_NEW, seen != 0 ? seen : FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    bool kept = copy != INVALID_HANDLE_VALUE && copy_bytes(original, copy);
    if (kept) {
        const FILETIME accessed =
            kivcommon::to_filetime(times.access.seconds, times.access.nanoseconds);
        const FILETIME written =
            kivcommon::to_filetime(times.modification.seconds, times.modification.nanoseconds);
        ::SetFileTime(copy, nullptr, &accessed, &written);
        kept = !durable || ::FlushFileBuffers(copy);
    }
    if (kept) {
        kept = ::MoveFileExW(temporary.c_str(), wide.c_str(),
                             MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0));
    }
    if (!kept) {
        reason = system_reason("cannot write the backup " + quoted(shown));
        if (copy != INVALID_HANDLE_VALUE) {
            ::CloseHandle(copy);
            copy = INVALID_HANDLE_VALUE;
        }
        ::DeleteFileW(temporary.c_str());
        return false;
    }
    if (durable) {
        ::CloseHandle(copy);
    } else {
        made = copy;
    }
    return true;
}

}  // namespace kivcli
