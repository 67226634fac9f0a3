// SPDX-License-Identifier: Zlib
// Windows names every target by its whole wide path, made from its held
// directory's; the operands are text in the ANSI code page, split as
// UTF-16 so that the second byte of a double-byte character is never taken
// for a separator.
#include <windows.h>

#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kivcommon/win32_paths.h"
#include "system.h"

namespace kivsubst_cli {

using kivsubst::platform::File;

namespace {

std::wstring wide_of(const std::string& text) {
    return kivcommon::from_ansi(text.c_str()).value_or(std::wstring());
}

}  // namespace

kivsubst::FileAt file_at(const Target& target) {
    kivsubst::FileAt at;
    at.directory = kivsubst::platform::Directory::held(nullptr, target.folder->native_path());
    at.name = wide_of(target.name);
    at.shown = wide_of(target.shown);
    at.links = kivsubst::platform::Links::follow;
    at.expected = kivsubst::platform::FileIdentity{target.identity.volume, target.identity.index};
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
    directory = kivcommon::to_ansi(kivsubst::paths::directory_part(wide));
    name = kivcommon::to_ansi(kivsubst::paths::name_part(wide));
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

}  // namespace kivsubst_cli
