// SPDX-License-Identifier: Zlib
// Win32 services for the copy: handles, file identity by volume and file
// index, and times at 100-nanosecond precision set through the open copy.
#include "platform.h"

#include <windows.h>


#include "kivcommon/win32_filetime.h"

namespace kivcopy::platform {
namespace {

FileIdentity identity_of(const BY_HANDLE_FILE_INFORMATION& information) {
    return {information.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
                information.nFileIndexLow};
}

constexpr DWORD share_read_write = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Opens an existing file; directories cannot be opened this way, and
// anything that is not a disk file (a pipe, a device) is refused by its type.
HANDLE open_existing_disk_file(const char* path, DWORD access) {
    HANDLE handle = ::CreateFileA(path, access, share_read_write, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) != FILE_TYPE_DISK) {
        ::CloseHandle(handle);
        ::SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

bool not_found(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

bool File::set_both_times(FileTime time) {
    FILETIME stamp = kivcommon::to_filetime(time.seconds, time.nanoseconds);
    return ::SetFileTime(handle_, nullptr, &stamp, &stamp) != 0;
}

bool open_source(const char* path, Source& source) {
    HANDLE handle = open_existing_disk_file(path, GENERIC_READ);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    source.file = File(handle);
    BY_HANDLE_FILE_INFORMATION information;
    if (!::GetFileInformationByHandle(handle, &information)) {
        source.file.close();
        return false;
    }
    source.access = kivcommon::from_filetime_as<FileTime>(information.ftLastAccessTime);
    source.permissions = 0;
    source.identity = identity_of(information);
    return true;
}

File probe_target(const char* path) {
    HANDLE handle = open_existing_disk_file(path, GENERIC_READ | GENERIC_WRITE);
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
        handle = open_existing_disk_file(path, GENERIC_WRITE);
    }
    return handle == INVALID_HANDLE_VALUE ? File() : File(handle);
}

// FILE_WRITE_ATTRIBUTES comes with GENERIC_WRITE, so the times can be set
// through the same handle. CREATE_NEW fails on any existing name, a link
// included.
File create_target(const char* path, unsigned, Creation& outcome) {
    HANDLE handle = ::CreateFileA(path, GENERIC_WRITE, share_read_write, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = ::GetLastError();
        outcome = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? Creation::name_taken
                                                                               : Creation::failed;
        return File();
    }
    outcome = Creation::created;
    return File(handle);
}

// The target is opened without truncation and cut to nothing only once it is
// known not to be the source: truncating first would destroy the very data
// that is about to be copied.
File open_target_to_replace(const char* path, const FileIdentity& source, Replacing& outcome) {
    HANDLE handle = open_existing_disk_file(path, GENERIC_WRITE);
    if (handle == INVALID_HANDLE_VALUE) {
        outcome = not_found(::GetLastError()) ? Replacing::absent : Replacing::refused;
        return File();
    }
    File target(handle);
    BY_HANDLE_FILE_INFORMATION information;
    if (!::GetFileInformationByHandle(handle, &information)) {
        outcome = Replacing::refused;
        return File();
    }
    FileIdentity identity = identity_of(information);
    if (identity.volume == source.volume && identity.index == source.index) {
        outcome = Replacing::is_source;
        return File();
    }
    if (!::SetEndOfFile(handle)) {
        outcome = Replacing::refused;
        return File();
    }
    outcome = Replacing::opened;
    return target;
}

}  // namespace kivcopy::platform
