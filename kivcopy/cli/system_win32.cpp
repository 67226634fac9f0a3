// SPDX-License-Identifier: Zlib
// Windows keeps no owner or permission bits that the front end gives away:
// -p gives the copy the source's times (to 100 ns) and its read-only,
// hidden and system attributes, through the copy's own handle (a directory
// of the copy the same, through one of its own). Every entry is named by
// its whole wide path.
#include <windows.h>

#include "kivcommon/win32_error.h"
#include "kivcommon/win32_filetime.h"
#include "kivcli/wtf8.h"
#include "kivcommon/win32_paths.h"
#include "kivcli/paths.h"
#include "kivfs/aside.h"
#include "system.h"

namespace kivcopy_cli {
namespace {

FILETIME filetime_of(std::int64_t seconds, std::int32_t nanoseconds) {
    return kivcommon::to_filetime(seconds, nanoseconds);
}

bool give_times(HANDLE handle, const FILETIME& accessed, const FILETIME& modified,
                std::string& reason) {
    if (!::SetFileTime(handle, nullptr, &accessed, &modified)) {
        reason = "cannot set the times: " + kivcommon::error_text(::GetLastError());
        return false;
    }
    return true;
}

SystemError last_error() {
    return static_cast<SystemError>(::GetLastError());
}

// Every open of a file that is to be taken away shares it in every way, as
// the library's opens do.
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The attributes a program may give a file, of those it has.
constexpr DWORD settable_attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                      FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;

// Gives the file open as `handle` the settable ones of `attributes`,
// leaving its times as they are (a zero time is left alone).
bool set_attributes(HANDLE handle, DWORD attributes) {
    FILE_BASIC_INFO information{};
    information.FileAttributes = (attributes & settable_attributes) != 0
                                     ? attributes & settable_attributes
                                     : FILE_ATTRIBUTE_NORMAL;
    return ::SetFileInformationByHandle(handle, FileBasicInfo, &information,
                                        sizeof information) != 0;
}

// Marks the file open as `handle` (with DELETE access) for deletion when
// the last handle of it closes, or takes the mark back.
bool mark_for_deletion(HANDLE handle, bool mark) {
    FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(mark ? TRUE : FALSE)};
    return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                        sizeof disposition) != 0;
}

// Marks the file open as `handle`, whose attributes are `attributes`, for
// deletion, its read-only attribute lifted for that (a read-only file
// refuses the mark).
bool mark_for_deletion_of(HANDLE handle, DWORD attributes) {
    return set_attributes(handle, attributes & ~DWORD{FILE_ATTRIBUTE_READONLY}) &&
           mark_for_deletion(handle, true);
}

// Whether the file open as `handle` can be deleted: a running program, or a
// file another program maps, refuses the mark. The mark is taken back at
// once and the attributes given back, so that the file stays whole if the
// run ends before its new file holds the name. False with the error.
bool deletable(HANDLE handle, DWORD attributes, SystemError& error) {
    const bool marked = mark_for_deletion_of(handle, attributes);
    error = marked ? 0 : last_error();
    if (marked) {
        mark_for_deletion(handle, false);
    }
    set_attributes(handle, attributes);
    return marked;
}

// -p's attributes: those that say how a file is to be seen and kept.
constexpr DWORD kept_attributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Gives the copy (or a directory of the copy) open as `handle` the kept
// attributes of `source` and no others of them, as cp -p gives the mode; a
// file keeps the archive attribute that its writing gave it.
bool keep_attributes(HANDLE handle, DWORD source, bool file, std::string& reason) {
    if (!set_attributes(handle, (source & kept_attributes) | (file ? FILE_ATTRIBUTE_ARCHIVE : 0))) {
        reason = "cannot set the attributes: " + kivcommon::error_text(::GetLastError());
        return false;
    }
    return true;
}

}  // namespace

PlaceIn::PlaceIn(Folder& folder, const std::string& name) : path_(folder.native_path(name)) {
    place_ = {nullptr, path_.c_str()};
}

// A read-only file cannot be deleted until it is made writable; one that
// still cannot be deleted gets its attribute back.
bool remove_entry(Folder& folder, const std::string& name, SystemError& error) {
    const std::wstring path = folder.native_path(name);
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    const bool read_only =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (read_only) {
        ::SetFileAttributesW(path.c_str(),
                             attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
    if (::DeleteFileW(path.c_str())) {
        return true;
    }
    error = last_error();
    if (read_only) {
        ::SetFileAttributesW(path.c_str(), attributes);
    }
    return false;
}

// What earlier runs and installs left aside in the folder is settled
// first, as an install settles it, so that a target that a killed run set
// aside is back at its name before anything else is set aside. The target
// keeps its attributes aside, so that it goes back as it was from there
// too; its deletion is only tried, through a handle of its own, so that a
// file that cannot be deleted is put back before anything else is done.
bool TargetRemoval::take(Folder& folder, const std::string& name, SystemError& error) {
    const std::wstring path = folder.native_path(name);
    if (path.empty()) {
        error = ERROR_INVALID_NAME;
        return false;
    }
    kivfs::settle_asides(path);
    unsigned long aside_error = 0;
    if (!held_.take(path, aside_error)) {
        error = static_cast<SystemError>(aside_error);
        return false;
    }
    const std::wstring& aside_path = held_.path();
    aside_ = kivcli::wtf8_from_wide(aside_path.substr(aside_path.find_last_of(L"\\/") + 1));
    HANDLE handle = static_cast<HANDLE>(held_.handle());
    BY_HANDLE_FILE_INFORMATION information{};
    const bool known = ::GetFileInformationByHandle(handle, &information) != 0;
    error = known ? 0 : last_error();
    if (known && deletable(handle, information.dwFileAttributes, error)) {
        return true;
    }
    put_back();
    return false;
}

// The file set aside becomes an old file (kivfs/aside.h) and is marked
// for deletion: it goes when the handle closes, or, while another program
// still holds it, at the holder's close; one that refuses the mark after
// all stays as an old file, which the next call in the folder deletes.
bool TargetRemoval::finish() {
    if (!held_.held()) {
        return false;
    }
    removed_ = held_.supersede();
    held_.release();
    aside_.clear();
    return removed_;
}

bool TargetRemoval::put_back() {
    if (!held_.held()) {
        return true;
    }
    const bool back = held_.put_back();
    held_.release();
    if (back) {
        aside_.clear();
    }
    return back;
}

TargetRemoval::~TargetRemoval() {
    put_back();
}

bool rename_entry(Folder& folder, const std::string& from, const std::string& to,
                  SystemError& error) {
    if (::MoveFileExW(folder.native_path(from).c_str(), folder.native_path(to).c_str(),
                      MOVEFILE_REPLACE_EXISTING)) {
        return true;
    }
    error = last_error();
    return false;
}

// A read-only file refuses writing with access denied, a running program
// with a sharing violation.
bool removal_gets_round(SystemError error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

std::string cannot_replace_advice(bool read_only) {
    if (read_only) {
        return "; it has the read-only attribute, which refuses writing, and another program "
               "holds it, so it cannot be removed either: let the installer replace it "
               "(KivInstallFile with KIVINSTALL_READ_ONLY in the installer kit, at once or at "
               "the next restart)";
    }
    return "; a program that is running cannot be replaced on Windows until it ends: let the "
           "installer replace it (KivInstallFile in the installer kit, at once or at the next "
           "restart)";
}

// Windows links by path: a front end there lends no privilege that a file
// renamed over `existing` could take.
bool make_hard_link(Folder& from, const std::string& existing, const kivcli::FileIdentity&,
                    Folder& to, const std::string& name, SystemError& error) {
    if (::CreateHardLinkW(to.native_path(name).c_str(), from.native_path(existing).c_str(),
                          nullptr)) {
        return true;
    }
    error = last_error();
    return false;
}

bool give_mode(kivcopy::platform::NativeHandle, unsigned, std::string&) {
    return true;  // Windows keeps no permission bits
}

bool give_attributes(kivcopy::platform::NativeHandle copy, const kivcopy::platform::Source& source,
                     const Preserve& preserve, std::string& reason) {
    return !preserve.mode || keep_attributes(copy, source.attributes, true, reason);
}

bool finish_directory(Folder& directory, bool, unsigned, const Status& status,
                      const Preserve& preserve, std::string& reason) {
    if (!preserve.timestamps && !preserve.mode) {
        return true;
    }
    HANDLE handle = ::CreateFileW(directory.native_path().c_str(), FILE_WRITE_ATTRIBUTES,
                                  share_all, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                  nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        reason = "cannot open it: " + kivcommon::error_text(::GetLastError());
        return false;
    }
    const bool set =
        (!preserve.mode || keep_attributes(handle, status.attributes, false, reason)) &&
        (!preserve.timestamps ||
         give_times(handle, filetime_of(status.access.seconds, status.access.nanoseconds),
                    filetime_of(status.modification.seconds, status.modification.nanoseconds),
                    reason));
    ::CloseHandle(handle);
    return set;
}

std::int64_t size_of(kivcopy::platform::NativeHandle file) {
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(file, &size) ? static_cast<std::int64_t>(size.QuadPart) : -1;
}

// Each prefix of the path is made in turn; a drive ("C:") is not made.
std::shared_ptr<Folder> make_directories(const std::string& directory, std::string& failed,
                                         SystemError& error) {
    for (std::size_t end = 0; end != std::string::npos;) {
        end = directory.find_first_of("/\\", end + 1);
        const std::string prefix = directory.substr(0, end);
        if (prefix.empty() || kivcli::is_separator(prefix.back()) || prefix.back() == ':') {
            continue;
        }
        const std::wstring wide = kivcommon::system_path(kivcli::wide_from_wtf8(prefix));
        if (::CreateDirectoryW(wide.c_str(), nullptr)) {
            continue;
        }
        error = last_error();
        const DWORD attributes = ::GetFileAttributesW(wide.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            continue;
        }
        if (error == ERROR_ALREADY_EXISTS && end != std::string::npos) {
            continue;  // a file in the way: making the next directory tells so
        }
        failed = prefix;
        return nullptr;
    }
    failed = directory;
    return Folder::open(directory, error);
}

bool lies_within(Folder& inner, Folder& outer) {
    const std::wstring from = outer.native_path();
    const std::wstring to = inner.native_path();
    return !from.empty() && !to.empty() &&
           (to == from || (to.size() > from.size() && to.compare(0, from.size(), from) == 0 &&
                           (to[from.size()] == L'\\' || from.back() == L'\\')));
}

unsigned umask_value() {
    return 0;
}

bool caller_is_privileged() {
    return false;
}

}  // namespace kivcopy_cli
