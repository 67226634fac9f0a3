// SPDX-License-Identifier: Zlib
// Win32 services for the substitution: names, the environment and what a
// write may strip from a file (kivfs::File is the file itself,
// kivfs::Directory a directory); a batch's syncs are in durability.cpp.
// Every path is UTF-16 and goes to the system's wide
// functions in the form that reaches it whatever its length
// (kivcommon::system_path).
#include "platform.h"

#include <windows.h>

#include "kivcommon/win32_error.h"
#include "kivcommon/win32_paths.h"
#include "paths.h"

namespace kivsubst::platform {

std::optional<Path> path_from_narrow(const char* path) {
    return kivcommon::from_ansi(path);
}

std::string narrow_path(const Path& path) {
    return kivcommon::to_ansi(path);
}

Path ascii_path(const std::string& text) {
    return Path(text.begin(), text.end());
}

// Read from the process's environment block, which installers change with
// SetEnvironmentVariable and the C runtime's _putenv keeps up to date.
std::optional<Path> environment(const char* name) {
    const Path wide_name = ascii_path(name);
    DWORD needed = ::GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
    if (needed == 0) {
        return std::nullopt;
    }
    Path value(needed, L'\0');
    DWORD written = ::GetEnvironmentVariableW(wide_name.c_str(), value.data(), needed);
    if (written == 0 || written >= needed) {
        return written == 0 ? std::optional<Path>(Path()) : std::nullopt;
    }
    value.resize(written);
    return value;
}

int last_error() {
    return static_cast<int>(::GetLastError());
}

std::string describe(int error) {
    return kivcommon::error_text(static_cast<DWORD>(error));
}

bool exists(const Path& path) {
    return !path.empty() &&
           ::GetFileAttributesW(kivcommon::system_path(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Windows has no set-ID bits, and a write takes nothing else away.
Privileges privileges_of(const File&, const FileStatus&) {
    return Privileges();
}

void restore(File&, const Privileges&) {}

// Windows moves every byte through the process.
KernelCopy copy_inside_system(File&, File&, std::int64_t, std::int64_t& copied) {
    copied = 0;
    return KernelCopy::unsupported;
}

// Strictly: no best fit, and a character that only the code page's default
// character could stand for makes the whole text unwritable. UTF-8 as the
// code page (65001) takes neither flag nor default character.
std::optional<std::string> ansi_from_utf16(const std::u16string& text) {
    if (text.empty()) {
        return std::string();
    }
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int units = static_cast<int>(text.size());
    const bool utf8 = GetACP() == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL used_default = FALSE;
    BOOL* const asked = utf8 ? nullptr : &used_default;
    const int size = WideCharToMultiByte(CP_ACP, flags, wide, units, nullptr, 0, nullptr, asked);
    if (size <= 0 || used_default) {
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    if (WideCharToMultiByte(CP_ACP, flags, wide, units, bytes.data(), size, nullptr, asked) !=
            size ||
        used_default) {
        return std::nullopt;
    }
    return bytes;
}

// From the code page's own table of lead-byte ranges (pairs, ended by two
// zero bytes).
bool ansi_lead_bytes(std::array<bool, 256>& lead) {
    lead.fill(false);
    CPINFO info{};
    if (!GetCPInfo(CP_ACP, &info)) {
        return false;
    }
    for (int i = 0; i + 1 < MAX_LEADBYTES && info.LeadByte[i] != 0; i += 2) {
        for (unsigned byte = info.LeadByte[i]; byte <= info.LeadByte[i + 1]; ++byte) {
            lead[byte] = true;
        }
    }
    return true;
}

}  // namespace kivsubst::platform
