// SPDX-License-Identifier: Zlib
// A console shows UTF-16 written with WriteConsoleW whatever its code page;
// anything else (a file, a pipe) gets the UTF-8 bytes.
#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "kivcli/output.h"
#include "kivcli/wtf8.h"

namespace kivcli {
namespace {

// The console behind a standard stream, or null when it is no console.
HANDLE console_of(DWORD stream) {
    HANDLE handle = ::GetStdHandle(stream);
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && ::GetConsoleMode(handle, &mode)
               ? handle
               : nullptr;
}

void write(FILE* stream, DWORD which, const std::string& text) {
    static HANDLE const consoles[2] = {console_of(STD_OUTPUT_HANDLE),
                                       console_of(STD_ERROR_HANDLE)};
    HANDLE console = consoles[which == STD_OUTPUT_HANDLE ? 0 : 1];
    std::u16string units;
    if (console == nullptr || !utf16_from_wtf8(text, units)) {
        if (std::fwrite(text.data(), 1, text.size(), stream) != text.size() && stream == stdout) {
            note_output_error(errno);
        }
        return;
    }
    std::fflush(stream);
    const std::wstring wide(units.begin(), units.end());
    DWORD written = 0;
    ::WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

}  // namespace

void print(const std::string& text) {
    write(stdout, STD_OUTPUT_HANDLE, text);
}

void print_error(const std::string& text) {
    write(stderr, STD_ERROR_HANDLE, text);
}

bool error_is_terminal() {
    return console_of(STD_ERROR_HANDLE) != nullptr;
}

}  // namespace kivcli
