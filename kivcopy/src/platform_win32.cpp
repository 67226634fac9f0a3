// SPDX-License-Identifier: Zlib
// Win32 services for the copy: handles, file identity by volume and file
// index, the runs of data of sparse files as their volume lists them, and
// times at 100-nanosecond precision set through the open copy.
// Every path is UTF-16 and goes to the system's wide functions in the form
// that reaches it whatever its length (kivcommon::system_path).
#include "platform.h"

#include <windows.h>
#include <winioctl.h>

#include <limits>


#include "kivcommon/win32_filetime.h"
#include "kivcommon/win32_paths.h"

namespace kivcopy::platform {
namespace {

FileIdentity identity_of(const BY_HANDLE_FILE_INFORMATION& information) {
    return {information.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
                information.nFileIndexLow};
}

// Every open shares the file with every other holder, one that may delete
// or rename it included: the copy never replaces a file by name.
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Keeps a handle only if it is a disk file: a pipe or a device (NUL, CON,
// COM1, also under names such as "nul.txt" or \\.\NUL) is closed and
// refused as access denied.
HANDLE only_disk_file(HANDLE handle) {
    if (handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) != FILE_TYPE_DISK) {
        ::CloseHandle(handle);
        ::SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

HANDLE open_existing(const PathChar* path, DWORD access) {
    return ::CreateFileW(kivcommon::system_path(path).c_str(), access, share_all, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Opens an existing disk file; directories cannot be opened this way.
HANDLE open_existing_disk_file(const PathChar* path, DWORD access) {
    return only_disk_file(open_existing(path, access));
}

bool not_found(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// The answer of a volume, or of a system, that keeps no list of a file's
// runs of data (FAT; Wine answers ERROR_NOT_SUPPORTED).
bool lists_no_runs(DWORD error) {
    return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
}

}  // namespace

// The volume is asked for the first run of data from `from` to the file's
// end (FSCTL_QUERY_ALLOCATED_RANGES) with room for that one run alone: when
// more follow it answers ERROR_MORE_DATA, and the first is there all the
// same. A run listed from before `from` counts from `from`.
DataSearch find_data(File& file, std::int64_t from, DataRun& run) {
    const HANDLE handle = file.handle();
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(handle, &size)) {
        return DataSearch::failed;
    }
    if (from >= size.QuadPart) {
        return DataSearch::none;
    }
    FILE_ALLOCATED_RANGE_BUFFER wanted{};
    wanted.FileOffset.QuadPart = from;
    wanted.Length.QuadPart = size.QuadPart - from;
    FILE_ALLOCATED_RANGE_BUFFER first{};
    DWORD returned = 0;
    if (!::DeviceIoControl(handle, FSCTL_QUERY_ALLOCATED_RANGES, &wanted, sizeof wanted, &first,
                           sizeof first, &returned, nullptr)) {
        DWORD error = ::GetLastError();
        if (lists_no_runs(error)) {
            run = {from, std::numeric_limits<std::int64_t>::max()};
            return file.seek_to(from) ? DataSearch::found : DataSearch::failed;
        }
        if (error != ERROR_MORE_DATA) {
            return DataSearch::failed;
        }
    }
    if (returned < sizeof first) {
        return DataSearch::none;
    }
    std::int64_t start = first.FileOffset.QuadPart > from ? first.FileOffset.QuadPart : from;
    std::int64_t end = first.FileOffset.QuadPart + first.Length.QuadPart;
    if (end <= start || !file.seek_to(start)) {
        return DataSearch::failed;
    }
    run = {start, end};
    return DataSearch::found;
}

// Only a sparse file leaves unallocated what is skipped: any other file has
// the skipped range allocated and filled with zeros.
bool allow_holes(File& file) {
    DWORD returned = 0;
    return ::DeviceIoControl(file.handle(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned,
                             nullptr) != 0;
}

// The file system frees the allocation past the file's end itself when
// the last handle to it closes.
void release_room_past_end(File&, std::int64_t) {}

Place place_of(const PathChar* path) {
    return {nullptr, path};
}

int last_error() {
    return static_cast<int>(::GetLastError());
}

// Windows moves every byte through the process: neither shared blocks
// (which only ReFS keeps) nor a copy inside the system are used.
bool clone_range(File&, File&, std::int64_t, std::int64_t) {
    return false;
}

std::int64_t copy_range(File&, File&, std::int64_t) {
    return -1;
}

// The status is read before the type is told: under Wine telling a file's
// type reads its first bytes, which would move an access time that the
// system deems stale before the copy could take it.
bool open_source(Place where, Source& source) {
    HANDLE handle = open_existing(where.name, GENERIC_READ);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information;
    bool has_status = ::GetFileInformationByHandle(handle, &information) != 0;
    handle = only_disk_file(handle);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    source.file = File(handle);
    if (!has_status) {
        source.file.close();
        return false;
    }
    source.access = kivcommon::from_filetime(information.ftLastAccessTime);
    source.modification = kivcommon::from_filetime(information.ftLastWriteTime);
    source.read_only = (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    source.attributes = information.dwFileAttributes;
    source.permissions = 0;
    source.identity = identity_of(information);
    source.size = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow);
    source.may_have_holes = (information.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0;
    return true;
}

// Windows resolves a name only by its whole path. A directory, or what is
// no disk file, is told by its attributes before anything is opened, so
// that a device name is never opened for the source.
SourceOpening open_source_for(Place where, Links, const FileIdentity* expected, Source& source,
                              int& error) {
    const DWORD attributes = ::GetFileAttributesW(kivcommon::system_path(where.name).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        error = static_cast<int>(::GetLastError());
        return not_found(static_cast<DWORD>(error)) ? SourceOpening::absent
                                                    : SourceOpening::refused;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return SourceOpening::directory;
    }
    if (!open_source(where, source)) {
        error = static_cast<int>(::GetLastError());
        return error == ERROR_ACCESS_DENIED && (attributes & FILE_ATTRIBUTE_DEVICE) != 0
                   ? SourceOpening::not_regular
                   : SourceOpening::refused;
    }
    if (expected != nullptr && !(source.identity.volume == expected->volume &&
                                 source.identity.index == expected->index)) {
        source.file.close();
        return SourceOpening::replaced;
    }
    return SourceOpening::opened;
}

File probe_target(Place where) {
    HANDLE handle = open_existing_disk_file(where.name, GENERIC_READ | GENERIC_WRITE);
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
        handle = open_existing_disk_file(where.name, GENERIC_WRITE);
    }
    return handle == INVALID_HANDLE_VALUE ? File() : File(handle);
}

// FILE_WRITE_ATTRIBUTES comes with GENERIC_WRITE, so the times can be set
// through the same handle. CREATE_NEW fails on any existing name, a link
// included; a device name ("NUL") opens its device instead, which is
// refused by its type like an existing target that is no file.
File create_target(Place where, unsigned, Creation& outcome) {
    HANDLE handle = only_disk_file(::CreateFileW(kivcommon::system_path(where.name).c_str(),
                                                 GENERIC_WRITE, share_all, nullptr, CREATE_NEW,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr));
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
File open_target_to_replace(Place where, Links, const FileIdentity& source,
                            Replacing& outcome) {
    HANDLE handle = open_existing_disk_file(where.name, GENERIC_WRITE);
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
