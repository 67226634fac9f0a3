/* SPDX-License-Identifier: Zlib */
// Paths on Windows, the same way in both libraries: UTF-16 inside, narrow
// text taken and given in the ANSI code page without best fit, and paths
// too long for the plain form reached through their verbatim form.
#ifndef KIVCOMMON_WIN32_PATHS_H
#define KIVCOMMON_WIN32_PATHS_H

#include <windows.h>

#include <optional>
#include <string>

namespace kivcommon {

// Narrow text in the ANSI code page as UTF-16; none when it is not valid
// text in that code page, so that no byte is ever guessed at.
inline std::optional<std::wstring> from_ansi(const char* text) {
    int needed = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (needed <= 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    if (::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, wide.data(), needed) !=
        needed) {
        return std::nullopt;
    }
    wide.resize(static_cast<std::size_t>(needed) - 1);  // the terminating NUL
    return wide;
}

// UTF-16 as the ANSI code page writes it: a character without an exact
// equivalent becomes '?', never a look-alike (no best fit).
inline std::string to_ansi(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    const int length = static_cast<int>(text.size());
    DWORD flags = WC_NO_BEST_FIT_CHARS;
    int needed =
        ::WideCharToMultiByte(CP_ACP, flags, text.data(), length, nullptr, 0, "?", nullptr);
    if (needed <= 0 && ::GetLastError() == ERROR_INVALID_FLAGS) {
        flags = 0;  // code pages such as UTF-8 take no flags
        needed = ::WideCharToMultiByte(CP_ACP, flags, text.data(), length, nullptr, 0, nullptr,
                                       nullptr);
    }
    if (needed <= 0) {
        return std::string(text.size(), '?');
    }
    std::string narrow(static_cast<std::size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_ACP, flags, text.data(), length, narrow.data(), needed,
                          flags != 0 ? "?" : nullptr, nullptr);
    return narrow;
}

inline bool starts_with(const std::wstring& text, const wchar_t* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The form of a path to hand to the system's wide functions: the path made
// absolute as Windows resolves it (GetFullPathNameW: a relative name
// against the current folder, "C:name" against the current folder of drive
// C), and, when that is too long for the plain form (MAX_PATH), the same
// path behind the verbatim prefix "\\?\" ("\\?\UNC\server\share" for
// "\\server\share"), which the system takes up to 32,767 characters. A
// path that already starts with "\\?\" or "\\.\" is taken as it is; so is
// one that cannot be resolved, which opening it then refuses.
inline std::wstring system_path(const std::wstring& path) {
    if (starts_with(path, L"\\\\?\\") || starts_with(path, L"\\\\.\\")) {
        return path;
    }
    DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return path;
    }
    std::wstring full(needed, L'\0');
    DWORD written = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (written == 0 || written >= needed) {
        return path;
    }
    full.resize(written);
    if (full.size() < MAX_PATH || starts_with(full, L"\\\\.\\")) {
        return full;
    }
    if (starts_with(full, L"\\\\")) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

}  // namespace kivcommon

#endif
