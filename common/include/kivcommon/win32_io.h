/* SPDX-License-Identifier: Zlib */
// Reading and writing files on Windows, the same way everywhere in the
// project: transfers split to what one call takes, partial writes continued.
#ifndef KIVCOMMON_WIN32_IO_H
#define KIVCOMMON_WIN32_IO_H

#include <windows.h>

#include <cstddef>

namespace kivcommon {

// Largest transfer one ReadFile or WriteFile takes.
constexpr std::size_t largest_transfer = std::size_t{1} << 30;

// Reads up to `size` bytes; returns how many (0 at the end), or -1.
inline std::ptrdiff_t read_some(HANDLE handle, void* buffer, std::size_t size) {
    DWORD got = 0;
    DWORD wanted = static_cast<DWORD>(size < largest_transfer ? size : largest_transfer);
    if (!::ReadFile(handle, buffer, wanted, &got, nullptr)) {
        return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    }
    return static_cast<std::ptrdiff_t>(got);
}

// Writes every byte; false as soon as a write fails or makes no progress.
inline bool write_all(HANDLE handle, const void* bytes, std::size_t size) {
    const char* next = static_cast<const char*>(bytes);
    while (size > 0) {
        DWORD written = 0;
        DWORD wanted = static_cast<DWORD>(size < largest_transfer ? size : largest_transfer);
        if (!::WriteFile(handle, next, wanted, &written, nullptr) || written == 0) {
            return false;
        }
        next += written;
        size -= written;
    }
    return true;
}

inline bool close_handle(HANDLE handle) {
    return ::CloseHandle(handle) != 0;
}

}  // namespace kivcommon

#endif
