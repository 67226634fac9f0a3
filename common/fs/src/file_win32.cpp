// SPDX-License-Identifier: Zlib
// Win32 files: handles, file identity by volume and file index, times at
// 100-nanosecond precision set through the open file. Every path is UTF-16
// and goes to the system's wide functions in the form that reaches it
// whatever its length (kivcommon::system_path).
#include "kivfs/file.h"

#include <windows.h>

#include <utility>

#include "kivcommon/win32_filetime.h"
#include "kivcommon/win32_io.h"
#include "kivcommon/win32_paths.h"

namespace kivfs {
namespace {

// Every open shares the file with every other holder, one that may delete
// or rename it included: a file is written in place, never replaced by name.
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

File adopt(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? File() : File(handle);
}

DWORD access_rights(Access access) {
    return access == Access::read ? GENERIC_READ : GENERIC_WRITE;
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
// holder. Directories cannot be opened as files without backup semantics,
// so CreateFile refuses them; pipes and devices (NUL, CON, COM1, \\.\NUL)
// are refused by their type. The times are read before the type is told,
// which under Wine reads the file's first bytes.
HANDLE open_disk_file(const Path& path, Access access, std::optional<FileTimes>& times) {
    HANDLE handle = ::CreateFileW(kivcommon::system_path(path).c_str(), access_rights(access),
                                  share_all, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                  nullptr);
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

File File::open_for_reading(const Path& path) {
    std::optional<FileTimes> times;
    File file = adopt(open_disk_file(path, Access::read, times));
    file.times_at_open_ = times;
    return file;
}

// CREATE_NEW fails on any existing name, a symbolic link included, so a
// name planted by someone else is never opened.
File File::create_new(const Path& path, Creation& outcome) {
    HANDLE handle = ::CreateFileW(kivcommon::system_path(path).c_str(),
                                  GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
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

std::int64_t File::length() const {
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(handle_, &size)) {
        return -1;
    }
    return size.QuadPart;
}

// Needs FILE_WRITE_ATTRIBUTES, which GENERIC_WRITE carries.
bool File::set_times(const FileTimes& times) {
    FILETIME access = kivcommon::to_filetime(times.access.seconds, times.access.nanoseconds);
    FILETIME modification =
        kivcommon::to_filetime(times.modification.seconds, times.modification.nanoseconds);
    return ::SetFileTime(handle_, nullptr, &access, &modification) != 0;
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

// The system writes behind on its own; there is nothing to ask.
void File::hint_writeback(std::int64_t) {}

bool File::seek_to(std::int64_t offset) {
    LARGE_INTEGER to;
    to.QuadPart = offset;
    return ::SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN) != 0;
}

bool File::set_size(std::int64_t size) {
    return seek_to(size) && ::SetEndOfFile(handle_) != 0;
}

// Raising the allocation size reserves clusters from the file's start
// without moving its end. A range further on may lie in a sparse file,
// where raising the allocation would fill the holes before it: its writes
// find their room as they go.
Reservation File::reserve(std::int64_t offset, std::int64_t length) {
    if (length <= 0) {
        return Reservation::reserved;
    }
    if (offset != 0) {
        return Reservation::unsupported;
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

// The whole file and everything past its end, at once or not at all.
bool File::lock_for_writing() {
    OVERLAPPED whole{};
    return ::LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                        MAXDWORD, &whole) != 0;
}

bool File::sync() {
    return ::FlushFileBuffers(handle_) != 0;
}

bool File::close() {
    return !std::exchange(open_, false) || kivcommon::close_handle(handle_);
}

}  // namespace kivfs
