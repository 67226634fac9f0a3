// SPDX-License-Identifier: Zlib
// Windows names every target by its whole wide path, made from its held
// directory's; operands and names are WTF-8, the exact UTF-16 names in
// 8-bit form.
#include <windows.h>

#include <io.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kivcli/output.h"
#include "kivcli/wtf8.h"
#include "kivcommon/win32_paths.h"
#include "system.h"

namespace kivsubst_cli {

using kivsubst::engine::File;

namespace {

std::wstring wide_of(const std::string& text) {
    return kivcli::wide_from_wtf8(text);
}

// Text in the ANSI code page: each character exactly, never a look-alike
// (best fit); a character the code page has no bytes for is an error.
bool text_in_code_page(const std::string& text, std::string& bytes, std::string& error) {
    if (text.empty()) {
        bytes.clear();  // nothing to convert: an empty REPLACEMENT deletes
        return true;
    }
    const std::wstring wide = wide_of(text);
    if (wide.empty()) {
        error = "the text is no Unicode";
        return false;
    }
    const int length = static_cast<int>(wide.size());
    DWORD flags = WC_NO_BEST_FIT_CHARS;
    BOOL defaulted = FALSE;
    int needed = ::WideCharToMultiByte(CP_ACP, flags, wide.data(), length, nullptr, 0, nullptr,
                                       &defaulted);
    if (needed <= 0 && ::GetLastError() == ERROR_INVALID_PARAMETER) {
        flags = 0;  // code pages such as UTF-8 take no flags, and no default character
        needed = ::WideCharToMultiByte(CP_ACP, flags, wide.data(), length, nullptr, 0, nullptr,
                                       nullptr);
    }
    if (needed <= 0 || defaulted) {
        error = "a character of it has no bytes in the ANSI code page (" +
                std::to_string(::GetACP()) + "); --utf8 takes it as UTF-8";
        return false;
    }
    bytes.assign(static_cast<std::size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_ACP, flags, wide.data(), length, bytes.data(), needed, nullptr,
                          flags != 0 ? &defaulted : nullptr);
    return true;
}

// Text in UTF-8: a name may hold a lone surrogate, which WTF-8 carries, but
// text to search for must be Unicode.
bool text_in_utf8(const std::string& text, std::string& bytes, std::string& error) {
    const std::wstring wide = wide_of(text);
    bool surrogate = false;
    for (std::size_t at = 0; at + 1 < text.size(); ++at) {
        surrogate = surrogate || (static_cast<unsigned char>(text[at]) == 0xED &&
                                  static_cast<unsigned char>(text[at + 1]) >= 0xA0);
    }
    if (!text.empty() && (wide.empty() || surrogate)) {
        error = "the text is no Unicode";
        return false;
    }
    bytes = text;
    return true;
}

}  // namespace

TextBytes text_bytes(bool utf8) {
    return utf8 ? text_in_utf8 : text_in_code_page;
}

kivsubst::engine::FileAt file_at(const Target& target) {
    kivsubst::engine::FileAt at;
    at.directory =
        kivsubst::engine::Directory::held(nullptr, target.folder->native_path(), true);
    at.name = wide_of(target.name);
    at.shown = wide_of(target.shown);
    at.links = kivsubst::engine::Links::follow;
    at.expected = target.identity;
    return at;
}

// The library's own open. Windows sets access times on reads only where
// the volume has them turned on, and then with a delay of up to an hour.
File open_to_examine(Target& target, std::string& reason) {
    const std::wstring path = target.folder->native_path(target.name);
    File file = path.empty() ? File() : File::open_for_reading(path);
    if (!file.is_open()) {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            reason = std::strerror(EISDIR);
        } else {
            reason = _waccess(path.c_str(), 4) != 0 ? std::strerror(errno)
                                                    : "not a regular file, or in use";
        }
    }
    return file;
}

// A file that another program holds open without write sharing passes
// _waccess but cannot be opened for writing: the open itself is the test.
// Opening for writing changes nothing in the file.
bool is_writable(Target& target, File&, std::string& reason) {
    const std::wstring path = target.folder->native_path(target.name);
    if (_waccess(path.c_str(), 2) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    if (!File::open_for_overwriting(path).is_open()) {
        reason = "in use by another program";
        return false;
    }
    return true;
}

void split_operand(const std::string& operand, std::string& directory, std::string& name) {
    const std::wstring wide = wide_of(operand);
    if (wide.empty()) {
        directory.clear();
        name = operand;
        return;
    }
    directory = kivcli::wtf8_from_wide(kivsubst::engine::directory_part(wide));
    name = kivcli::wtf8_from_wide(kivsubst::engine::name_part(wide));
}

File open_discarding_output(std::string& reason) {
    HANDLE handle = ::CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        reason = "cannot open the null device";
        return File();
    }
    return File(handle);
}

File standard_stream(bool input) {
    std::fflush(stdout);
    HANDLE own = nullptr;
    HANDLE stream = ::GetStdHandle(input ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE);
    if (!::DuplicateHandle(::GetCurrentProcess(), stream, ::GetCurrentProcess(), &own, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        return File();
    }
    return File(own);
}

std::size_t batch_files(std::size_t most) {
    return most;
}

bool caller_is_privileged() {
    return false;
}

std::string shown_path(const kivsubst::engine::Path& path) {
    return kivcli::wtf8_from_wide(path);
}

namespace {

std::atomic<bool> stop_asked{false};

// Runs on a thread of its own: it only notes the request, which the run
// acts on where it can stop. Closing the console, logging off and shutting
// down are left to the handlers after it.
BOOL WINAPI note_stop(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        stop_asked = true;
        return TRUE;
    }
    return FALSE;
}

}  // namespace

HeldStops::HeldStops() {
    ::SetConsoleCtrlHandler(note_stop, TRUE);
}

// Ends the process as the system's own handler of Ctrl-C does.
HeldStops::~HeldStops() {
    ::SetConsoleCtrlHandler(note_stop, FALSE);
    if (stop_asked) {
        std::fflush(stdout);
        ::ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    }
}

bool HeldStops::asked() const {
    return stop_asked;
}

}  // namespace kivsubst_cli
