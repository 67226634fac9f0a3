// SPDX-License-Identifier: Zlib
// Directories on Windows, held by their path: the entries in one are named
// by their whole wide path, which the libraries' cores open. Names are
// WTF-8 here, the exact UTF-16 names in 8-bit form.
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "kivfs/directory.h"
#include "kivcommon/win32_error.h"
#include "kivcommon/win32_filetime.h"
#include "kivcommon/win32_paths.h"
#include "kivfs/wtf8.h"

namespace kivfs {
namespace {

std::wstring wide_of(const std::string& path) {
    return wide_from_wtf8(path);
}

Status status_from(DWORD attributes, DWORD size_high, DWORD size_low, const FILETIME& accessed,
                   const FILETIME& written) {
    Status status;
    status.type = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? Status::Type::link
                  : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0    ? Status::Type::directory
                  : (attributes & FILE_ATTRIBUTE_DEVICE) != 0       ? Status::Type::other
                                                                    : Status::Type::file;
    status.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(size_high) << 32) |
                                            size_low);
    status.access = kivcommon::from_filetime(accessed);
    status.modification = kivcommon::from_filetime(written);
    status.read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    status.attributes = attributes;
    status.mode = status.read_only ? 0555 : 0777;
    return status;
}

// The identity of what is at a path, and how many names it has, read
// through a handle that opens nothing but its attributes (and a link
// itself, not what it leads to): the attributes alone count every file
// once, so that -a would keep no hard link.
bool identity_of(const std::wstring& path, Status& status) {
    HANDLE handle = ::CreateFileW(path.c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const bool read = ::GetFileInformationByHandle(handle, &information) != 0;
    ::CloseHandle(handle);
    if (read) {
        status.identity = {information.dwVolumeSerialNumber,
                           (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
                               information.nFileIndexLow};
        status.links = information.nNumberOfLinks;
    }
    return read;
}

bool status_at(const std::wstring& path, Status& status, SystemError& error) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (path.empty() || !::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        error = path.empty() ? ERROR_INVALID_NAME : static_cast<SystemError>(::GetLastError());
        return false;
    }
    status = status_from(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow,
                         data.ftLastAccessTime, data.ftLastWriteTime);
    identity_of(path, status);
    return true;
}

}  // namespace

// The errors that the C runtime also knows are told in its words, as the
// same failure is on POSIX, so that a message reads the same on both
// systems; the others in the system's own.
std::string describe(SystemError error) {
    if (error == replaced_meanwhile) {
        return "it was replaced while this program worked on it";
    }
    struct Alike {
        DWORD windows;
        int posix;
    };
    static constexpr Alike alike[] = {
        {ERROR_FILE_NOT_FOUND, ENOENT},    {ERROR_PATH_NOT_FOUND, ENOENT},
        {ERROR_BAD_NETPATH, ENOENT},       {ERROR_BAD_PATHNAME, ENOENT},
        {ERROR_DIRECTORY, ENOTDIR},        {ERROR_ACCESS_DENIED, EACCES},
        {ERROR_LOCK_VIOLATION, EACCES},    {ERROR_ALREADY_EXISTS, EEXIST},
        {ERROR_FILE_EXISTS, EEXIST},       {ERROR_DISK_FULL, ENOSPC},
        {ERROR_HANDLE_DISK_FULL, ENOSPC},  {ERROR_DIR_NOT_EMPTY, ENOTEMPTY},
        {ERROR_NOT_ENOUGH_MEMORY, ENOMEM}, {ERROR_OUTOFMEMORY, ENOMEM},
    };
    for (const Alike& pair : alike) {
        if (pair.windows == static_cast<DWORD>(error)) {
            return std::strerror(pair.posix);
        }
    }
    return kivcommon::error_text(static_cast<DWORD>(error));
}

SystemError not_found_error() {
    return ERROR_FILE_NOT_FOUND;
}

Directory::~Directory() = default;

std::shared_ptr<Directory> Directory::make_below(const std::shared_ptr<Directory>& parent,
                                           const std::string& name, unsigned, bool& existed,
                                           SystemError& error) {
    existed = false;
    if (!::CreateDirectoryW(parent->native_path(name).c_str(), nullptr)) {
        error = static_cast<SystemError>(::GetLastError());
        if (error != ERROR_ALREADY_EXISTS) {
            return nullptr;
        }
        existed = true;
    }
    return open_below(parent, name, error);
}

// The folder of an install's target is held as the library always held
// it: by its path as the system resolves the target's, up to and with the
// last separator, which its entries' names then follow.
std::shared_ptr<Directory> Directory::open_for(const Path& path, SystemError& error) {
    const Path full = kivcommon::system_path(path);
    const auto separator = full.find_last_of(L"\\/");
    if (separator == Path::npos || separator + 1 == full.size()) {
        error = ERROR_INVALID_NAME;
        return nullptr;
    }
    std::shared_ptr<Directory> directory(new Directory());
    directory->name_ = wtf8_from_wide(full.substr(0, separator + 1));
    directory->links_ = Links::follow;
    directory->shown_ = directory->name_;
    directory->entry_name_ = full.substr(separator + 1);
    directory->open_ = true;
    return directory;
}

std::shared_ptr<Directory> Directory::lent_for(Directory& folder, const Path& name,
                                               SystemError& error) {
    const std::wstring path = folder.native_path(wtf8_from_wide(name));
    if (name.empty() || path.empty()) {
        error = ERROR_INVALID_NAME;
        return nullptr;
    }
    return open_for(path, error);
}

// A directory reached through a reparse point (a link or a junction) below
// its root is refused, as a link is on POSIX.
bool Directory::reopen(SystemError& error) {
    const std::wstring path =
        parent_ == nullptr ? kivcommon::system_path(wide_of(name_)) : parent_->native_path(name_);
    Status now;
    if (!status_at(path, now, error)) {
        return false;
    }
    if (!now.is_directory() && !(links_ == Links::follow && now.is_link())) {
        error = now.is_link() ? ERROR_CANT_ACCESS_FILE : ERROR_DIRECTORY;
        return false;
    }
    readable_ = true;
    return take(now, error);
}

NativeHandle Directory::handle(SystemError& error) {
    if (!open_ && !reopen(error)) {
        return INVALID_HANDLE_VALUE;
    }
    return nullptr;
}

void Directory::release() {
    open_ = false;
}

std::wstring Directory::native_path() const {
    return parent_ == nullptr ? kivcommon::system_path(wide_of(name_))
                              : parent_->native_path(name_);
}

// A name that is a path of its own (absolute, or with a drive, as one from
// the command line may be) is resolved as the system resolves it, the way
// a POSIX name relative to a directory handle is when it starts with '/'.
std::wstring Directory::native_path(const std::string& name) const {
    const std::wstring own = native_path();
    const std::wstring entry = wide_of(name);
    if (own.empty() || entry.empty()) {
        return std::wstring();
    }
    const bool absolute = entry[0] == L'\\' || entry[0] == L'/' ||
                          (entry.size() >= 2 && entry[1] == L':');
    if (absolute) {
        return kivcommon::system_path(entry);
    }
    const bool separated = own.back() == L'\\' || own.back() == L'/';
    return kivcommon::system_path(separated ? own + entry : own + L"\\" + entry);
}

// A directory that kivsubst keeps for its temporary file is held by its
// name: CreateFile takes no directory handle to create or open names
// relative to. CREATE_NEW and the identity check of the write-back still
// keep a planted or swapped name from being written through.
Directory Directory::open(const Path& path) {
    Directory directory;
    directory.path_ = path;
    const Path named = path.empty() ? Path(L".") : path;
    directory.name_ = wtf8_from_wide(named);
    directory.shown_ = directory.name_;
    const DWORD attributes = ::GetFileAttributesW(kivcommon::system_path(named).c_str());
    directory.open_ =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    directory.error_ = directory.open_ ? 0
                       : attributes == INVALID_FILE_ATTRIBUTES
                           ? static_cast<SystemError>(::GetLastError())
                           : static_cast<SystemError>(ERROR_DIRECTORY);
    return directory;
}

Directory Directory::held(NativeHandle, const Path& path, bool) {
    return open(path);
}

NameState Directory::check(const Path& name) const {
    if (!open_) {
        return NameState::unchecked;
    }
    if (::GetFileAttributesW(kivcommon::system_path(path_of(name)).c_str()) !=
        INVALID_FILE_ATTRIBUTES) {
        return NameState::taken;
    }
    switch (::GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
            return NameState::free;
        case ERROR_ACCESS_DENIED:
            return NameState::taken;
        default:
            return NameState::unchecked;
    }
}

// The path an entry is opened by. A folder held for an install's target
// (open_for, lent_for) keeps no path of the caller's spelling, only the
// one the system resolved, which its entries then follow.
Path Directory::reached(const Path& name) const {
    return path_.empty() ? native_path(wtf8_from_wide(name)) : path_of(name);
}

File Directory::create_new(const Path& name, Creation& outcome) {
    if (!open_) {
        outcome = Creation::failed;
        ::SetLastError(static_cast<DWORD>(error_));  // why the directory is not there
        return File();
    }
    File file = File::create_new(reached(name), outcome);
    unsynced_entries_ = unsynced_entries_ || file.is_open();
    return file;
}

// CreateFile follows a link at the name; where links are refused, the file
// opened must be the one the name itself stands for: no reparse point at
// the name, and the same file by identity as the handle, so that a link
// put there at any moment is never read through.
File Directory::open_for_reading(const Path& name, Links links) {
    const Path path = reached(name);
    File file = File::open_for_reading(path);
    if (links == Links::follow || !file.is_open()) {
        return file;
    }
    Status named;
    Status opened;
    SystemError error = 0;
    if (!status_at(kivcommon::system_path(path), named, error) ||
        !status_of(file.handle(), opened, error) || named.is_link() ||
        named.identity != opened.identity) {
        file.close();
        ::SetLastError(error != 0 ? static_cast<DWORD>(error) : ERROR_CANT_ACCESS_FILE);
        return File();
    }
    return file;
}

File Directory::open_for_overwriting(const Path& name, Links) {
    return File::open_for_overwriting(reached(name));
}

// Directory entries cannot be flushed through a handle here; NTFS logs them
// in its journal.
bool Directory::sync_entry(File&) {
    unsynced_entries_ = false;
    return true;
}

bool Directory::remove(const Path& name) {
    if (::DeleteFileW(kivcommon::system_path(path_of(name)).c_str()) == 0) {
        return false;
    }
    unsynced_entries_ = true;
    return true;
}

bool Directory::status_of(const std::string& name, Links links, Status& status, SystemError& error) {
    if (!status_at(native_path(name), status, error)) {
        return false;
    }
    if (links == Links::follow && status.is_link()) {
        HANDLE handle = ::CreateFileW(native_path(name).c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            error = static_cast<SystemError>(::GetLastError());
            return false;
        }
        const bool read = status_of(handle, status, error);
        ::CloseHandle(handle);
        return read;
    }
    return true;
}

bool Directory::status_of(NativeHandle handle, Status& status, SystemError& error) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handle, &information)) {
        error = static_cast<SystemError>(::GetLastError());
        return false;
    }
    status = status_from(information.dwFileAttributes, information.nFileSizeHigh,
                         information.nFileSizeLow, information.ftLastAccessTime,
                         information.ftLastWriteTime);
    status.identity = {information.dwVolumeSerialNumber,
                       (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
                           information.nFileIndexLow};
    status.links = information.nNumberOfLinks;
    return true;
}

bool Directory::names(std::vector<std::string>& names, SystemError& error) {
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileExW(native_path("*").c_str(), FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        error = static_cast<SystemError>(::GetLastError());
        return error == ERROR_FILE_NOT_FOUND;
    }
    error = 0;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        names.push_back(wtf8_from_wide(name));
    } while (::FindNextFileW(search, &found));
    if (error == 0 && ::GetLastError() != ERROR_NO_MORE_FILES) {
        error = static_cast<SystemError>(::GetLastError());
    }
    ::FindClose(search);
    std::sort(names.begin(), names.end());
    return error == 0;
}

// Windows keeps no owner or group that the front ends give away: every
// link is taken as the user's own, and no directory gives a group.
bool Directory::trusts_link(const Status&) const {
    return true;
}

// A front end on Windows runs with no privilege that it would lend through
// a hard link (it never takes the caller for one that may read any file).
bool Directory::vouches_for_hard_link(const Status&, const Status&) {
    return true;
}

bool Directory::only_caller_changes_names(const Status&) {
    return true;
}

bool Directory::gives_group_other_than(std::uint64_t) const {
    return false;
}

}  // namespace kivfs
