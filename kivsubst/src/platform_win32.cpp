// SPDX-License-Identifier: Zlib
// Win32 services for the substitution: files, names and the environment;
// directories in directory_win32.cpp, a batch's syncs in
// durability_win32.cpp. Every path is UTF-16 and goes to the system's wide
// functions in the form that reaches it whatever its length
// (kivcommon::system_path).
#include "platform.h"

#include <windows.h>

#include <utility>

#include "kivcommon/win32_error.h"
#include "kivcommon/win32_filetime.h"
#include "kivcommon/win32_io.h"
#include "kivcommon/win32_paths.h"
#include "paths.h"

namespace kivsubst::platform {
namespace {

FILETIME to_filetime(const FileTime& time) {
    return kivcommon::to_filetime(time.seconds, time.nanoseconds);
}

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

File adopt(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? File() : File(handle);
}

DWORD access_rights(Access access) {
    return access == Access::read ? GENERIC_READ : GENERIC_WRITE;
}

// A path as the system's wide functions take it: the caller's name made
// absolute as Windows resolves it ("C:app.ini" against the current folder
// of drive C), in its \\?\ form when it is too long for the plain one.
std::wstring system_path(const Path& path) {
    return kivcommon::system_path(path);
}

std::optional<FileStatus> status_of(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!::GetFileInformationByHandle(handle, &information)) {
        return std::nullopt;
    }
    FileStatus status;
    status.identity = {information.dwVolumeSerialNumber,
                       (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
                           information.nFileIndexLow};
    status.length = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow);
    status.times = {kivcommon::from_filetime(information.ftLastAccessTime),
                    kivcommon::from_filetime(information.ftLastWriteTime)};
    return status;
}

// Opens an existing file by the caller's name, sharing it with every other
// holder (one that may delete or rename it included: the file is written
// in place, never replaced by name). Directories cannot be opened as files
// without backup semantics, so CreateFile refuses them; pipes and devices
// (NUL, CON, COM1, \\.\NUL) are refused by their type. The times are read
// before the type is told, which under Wine reads the file's first bytes.
HANDLE open_disk_file(const Path& path, Access access, std::optional<FileTimes>& times) {
    HANDLE handle = ::CreateFileW(system_path(path).c_str(), access_rights(access), share_all,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return handle;
    }
    std::optional<FileStatus> status = status_of(handle);
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        ::CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    times = status ? std::optional<FileTimes>(status->times) : std::nullopt;
    return handle;
}

}  // namespace

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
           ::GetFileAttributesW(system_path(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

File File::open_for_reading(const Path& path) {
    std::optional<FileTimes> times;
    File file = adopt(open_disk_file(path, Access::read, times));
    file.times_at_open_ = times;
    return file;
}

// CREATE_NEW fails on any existing name, a symbolic link included, so a
// name planted by someone else is never opened.
File File::create_new(const Path& path, Creation& outcome) {
    HANDLE handle = ::CreateFileW(system_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        outcome = Creation::created;
    } else {
        DWORD error = ::GetLastError();
        outcome = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? Creation::name_taken
                                                                              : Creation::failed;
    }
    return adopt(handle);
}

File File::open_for_overwriting(const Path& path) {
    std::optional<FileTimes> times;
    File file = adopt(open_disk_file(path, Access::write, times));
    file.times_at_open_ = times;
    return file;
}

std::optional<FileStatus> File::status() const {
    std::optional<FileStatus> status = status_of(handle_);
    if (status && times_at_open_) {
        status->times = *times_at_open_;
    }
    return status;
}

// Windows has no set-ID bits, and a write takes nothing else away.
Privileges File::privileges(const FileStatus&) const {
    return Privileges();
}

void File::restore(const Privileges&) {}

// Needs FILE_WRITE_ATTRIBUTES, which GENERIC_WRITE carries.
bool File::set_times(const FileTimes& times) {
    FILETIME access = to_filetime(times.access);
    FILETIME modification = to_filetime(times.modification);
    return ::SetFileTime(handle_, nullptr, &access, &modification) != 0;
}

std::int64_t File::length() const {
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(handle_, &size)) {
        return -1;
    }
    return size.QuadPart;
}

std::ptrdiff_t File::read_some(void* buffer, std::size_t size) {
    return kivcommon::read_some(handle_, buffer, size);
}

std::ptrdiff_t File::read_at(std::int64_t offset, void* buffer, std::size_t size) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xffffffffu);
    where.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    DWORD got = 0;
    if (!::ReadFile(handle_, buffer, static_cast<DWORD>(size), &got, &where)) {
        return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    }
    return static_cast<std::ptrdiff_t>(got);
}

bool File::write_all(const void* bytes, std::size_t size) {
    return kivcommon::write_all(handle_, bytes, size);
}

bool File::rewind() {
    LARGE_INTEGER start;
    start.QuadPart = 0;
    return ::SetFilePointerEx(handle_, start, nullptr, FILE_BEGIN) != 0;
}

// Raising the allocation size reserves clusters without moving the end of
// the file.
Reservation File::reserve(std::int64_t length) {
    if (length <= 0) {
        return Reservation::reserved;
    }
    FILE_ALLOCATION_INFO allocation;
    allocation.AllocationSize.QuadPart = length;
    if (::SetFileInformationByHandle(handle_, FileAllocationInfo, &allocation,
                                     sizeof allocation)) {
        return Reservation::reserved;
    }
    DWORD error = ::GetLastError();
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? Reservation::no_space
                                                                       : Reservation::unsupported;
}

bool File::truncate(std::int64_t length) {
    LARGE_INTEGER end;
    end.QuadPart = length;
    return ::SetFilePointerEx(handle_, end, nullptr, FILE_BEGIN) &&
           ::SetEndOfFile(handle_);
}

// The whole file and everything past its end, at once or not at all.
bool File::lock_for_writing() {
    OVERLAPPED whole{};
    return ::LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                        MAXDWORD, &whole) != 0;
}

KernelCopy File::copy_from(File&, std::int64_t, std::int64_t& copied) {
    copied = 0;
    return KernelCopy::unsupported;
}

bool File::sync() {
    return ::FlushFileBuffers(handle_) != 0;
}

bool File::close() {
    return !std::exchange(open_, false) || ::CloseHandle(handle_) != 0;
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
