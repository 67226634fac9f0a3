// SPDX-License-Identifier: Zlib
// What both Windows files of the platform layer ask of a file held open:
// its identity, whether it is a plain file of the caller's with one name,
// and a folder's flush where its file system offers one.
#ifndef KIVTRANSACTION_WIN32_FILES_H
#define KIVTRANSACTION_WIN32_FILES_H

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kivtransaction::win32 {

inline std::uint64_t file_index(const BY_HANDLE_FILE_INFORMATION& information) {
    return (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
           information.nFileIndexLow;
}

// Whether `attributes` are a plain file's: no folder, device or reparse
// point (a link or a junction, whose name stands for something else).
inline bool is_plain_file(DWORD attributes) {
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE |
                          FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// The errors of a flush that a folder's file system does not offer.
inline bool flush_not_offered(DWORD error) {
    return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
           error == ERROR_INVALID_PARAMETER || error == ERROR_ACCESS_DENIED;
}

// Flushes the folder at `path` as kivcopy's install flushes a target's
// folder: through a handle opened for writing with backup semantics (the
// only way to open a folder), where the caller may open it so and its file
// system allows a flush; the renames and creations before it were written
// through. False, with the system's error, where a flush that is offered
// fails.
inline bool flush_folder(const std::wstring& path, int& error) {
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

// Marks the file open as `handle` (with DELETE access) for deletion at its
// close, its read-only attribute lifted for that: the file itself goes,
// whatever now has its name, and never another file at it.
inline bool mark_for_deletion(HANDLE handle) {
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
    return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                        sizeof disposition) != 0;
}

}  // namespace kivtransaction::win32

#endif
