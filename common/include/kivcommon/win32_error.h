/* SPDX-License-Identifier: Zlib */
// The system's words for a Windows error, as one line in the ANSI code
// page, the same in every message of the project.
#ifndef KIVCOMMON_WIN32_ERROR_H
#define KIVCOMMON_WIN32_ERROR_H

#include <windows.h>

#include <string>

#include "kivcommon/win32_paths.h"

namespace kivcommon {

inline std::string error_text(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length > 0 ? std::wstring(text, length) : std::wstring();
    if (text != nullptr) {
        ::LocalFree(text);
    }
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L'.' || message.back() == L' ')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(error) : to_ansi(message);
}

}  // namespace kivcommon

#endif
