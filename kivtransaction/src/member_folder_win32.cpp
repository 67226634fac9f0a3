// SPDX-License-Identifier: Zlib
// A member's folder on Windows, held by its whole path as the system
// resolves it (GetFinalPathNameByHandleW: links and junctions on the way
// resolved), which the journal records: every name in it is that path and
// the name. CreateFile takes no folder handle to name a file relative to;
// identities (volume serial and file index) checked on the handles opened
// keep a swapped name from being taken for the file recorded.
#include "member_folder.h"

#include "kivfs/aside.h"
#include "kivfs/ownership.h"
#include "kivfs/restart_queue.h"

#include <windows.h>

#include <algorithm>
#include <climits>

#include "kivcommon/win32_filetime.h"
#include "kivcommon/win32_paths.h"
#include "win32_files.h"

namespace kivtransaction {
namespace {

using kivcommon::Path;

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

journal::FileId id_of(const BY_HANDLE_FILE_INFORMATION& information) {
    return {information.dwVolumeSerialNumber, win32::file_index(information)};
}

// Closes a handle when it goes.
struct Closing {
    HANDLE handle = INVALID_HANDLE_VALUE;
    ~Closing() {
        if (handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
    }
};

// The whole path of `name` in the folder, as the system's wide functions
// take it; empty where either is no WTF-8.
Path path_of(const MemberFolder& folder, const std::string& name) {
    const Path own = system_form(folder.path);
    const Path entry = system_form(name);
    if (own.empty() || entry.empty()) {
        return Path();
    }
    const bool separated = own.back() == L'\\';
    return kivcommon::system_path(separated ? own + entry : own + L'\\' + entry);
}

// Opens `name` in the folder; an invalid handle with the system's error.
HANDLE open_in(const MemberFolder& folder, const std::string& name, DWORD access, DWORD share,
               DWORD flags, int& error) {
    const Path path = path_of(folder, name);
    if (path.empty()) {
        error = ERROR_INVALID_NAME;
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, flags,
                                  nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = static_cast<int>(::GetLastError());
    }
    return handle;
}

// A path as the journal records it: without the "\\?\" form that
// GetFinalPathNameByHandleW gives ("\\?\UNC\server" a share's "\\server"),
// and without a separator at its end unless it is a drive's root.
Path whole_path(Path path) {
    if (kivcommon::starts_with(path, L"\\\\?\\UNC\\")) {
        path = L"\\\\" + path.substr(8);
    } else if (kivcommon::starts_with(path, L"\\\\?\\")) {
        path = path.substr(4);
    }
    while (path.size() > 1 && path.back() == L'\\' && path[path.size() - 2] != L':') {
        path.pop_back();
    }
    return path;
}

bool in_use(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

}  // namespace

bool describe_folder(kivfs::Directory& directory, MemberFolder& folder, int& error) {
    const Path path = directory.native_path();
    Closing opened{::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    BY_HANDLE_FILE_INFORMATION information{};
    if (opened.handle == INVALID_HANDLE_VALUE ||
        !::GetFileInformationByHandle(opened.handle, &information)) {
        error = static_cast<int>(::GetLastError());
        return false;
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        error = ERROR_DIRECTORY;
        return false;
    }
    const DWORD needed = ::GetFinalPathNameByHandleW(opened.handle, nullptr, 0,
                                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    Path final_path(needed, L'\0');
    const DWORD written = needed == 0 ? 0
                                      : ::GetFinalPathNameByHandleW(
                                            opened.handle, final_path.data(), needed,
                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (written == 0 || written >= needed) {
        error = written == 0 ? static_cast<int>(::GetLastError()) : ERROR_BUFFER_OVERFLOW;
        return false;
    }
    final_path.resize(written);
    folder.path = journal_form(whole_path(final_path));
    folder.id = id_of(information);
    return true;
}

// The folder is opened at its own name without following a reparse point
// there, as POSIX opens it without following a link.
bool open_recorded_folder(const std::string& path, const journal::FileId& id,
                          MemberFolder& folder, bool& replaced, int& error) {
    replaced = false;
    const Path wide = system_form(path);
    if (wide.empty()) {
        error = ERROR_INVALID_NAME;
        return false;
    }
    Closing opened{::CreateFileW(kivcommon::system_path(wide).c_str(), FILE_READ_ATTRIBUTES,
                                 share_all, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                 nullptr)};
    BY_HANDLE_FILE_INFORMATION information{};
    if (opened.handle == INVALID_HANDLE_VALUE ||
        !::GetFileInformationByHandle(opened.handle, &information)) {
        error = static_cast<int>(::GetLastError());
        return false;
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        !(id_of(information) == id)) {
        replaced = true;
        return false;
    }
    folder.directory = std::make_shared<kivfs::Directory>(kivfs::Directory::open(wide));
    folder.path = path;
    folder.id = id;
    return true;
}

bool names_nothing(int error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// CompareStringOrdinal, ignoring case, upper-cases each UTF-16 unit by the
// table the system's file systems use, so that two lengths that differ
// never compare equal; towlower() in the C runtime's "C" locale lowers
// ASCII letters alone.
bool same_letters(const Path& one, const Path& other) {
    if (one.size() != other.size() || one.size() > static_cast<std::size_t>(INT_MAX)) {
        return false;
    }
    const int length = static_cast<int>(one.size());
    return ::CompareStringOrdinal(one.data(), length, other.data(), length, TRUE) == CSTR_EQUAL;
}

// The handle asks for the attributes and the owner alone, which opens even
// a file that another program holds without sharing.
bool look_at(MemberFolder& folder, const std::string& name, NameLook& look, int& error,
             bool follow) {
    look = NameLook{};
    Closing opened{open_in(folder, name, FILE_READ_ATTRIBUTES | READ_CONTROL, share_all,
                           FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                           error)};
    if (opened.handle == INVALID_HANDLE_VALUE) {
        if (error == ERROR_FILE_NOT_FOUND) {
            error = 0;
            return true;
        }
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(opened.handle, &information)) {
        error = static_cast<int>(::GetLastError());
        return false;
    }
    look.exists = true;
    look.regular = win32::is_plain_file(information.dwFileAttributes);
    look.directory = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                     (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    look.callers_alone = look.regular && information.nNumberOfLinks == 1 &&
                         kivfs::owned_by_caller(opened.handle);
    look.read_only = (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    look.id = id_of(information);
    look.size = (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) |
                information.nFileSizeLow;
    return true;
}

// Tries what the step will need, as kivfs::HeldAside opens a target it
// sets aside: the file opened with DELETE access (a write: for writing),
// sharing everything, and closed at once. A holder that shares less
// refuses it with a sharing violation, as it would refuse the step.
bool may_replace(MemberFolder& folder, const std::string& name, bool by_rename, bool& in_use_now,
                 int& error) {
    in_use_now = false;
    const DWORD access = by_rename ? DELETE : GENERIC_WRITE;
    const DWORD flags = by_rename ? FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS : 0;
    Closing opened{open_in(folder, name, access, share_all, flags, error)};
    if (opened.handle != INVALID_HANDLE_VALUE) {
        return true;
    }
    if (error == ERROR_FILE_NOT_FOUND) {
        error = 0;
        return true;
    }
    in_use_now = in_use(static_cast<DWORD>(error));
    return false;
}

namespace {

// Sets the attributes of the file open as `handle` (with
// FILE_WRITE_ATTRIBUTES), FILE_ATTRIBUTE_NORMAL standing for none.
bool set_attributes(HANDLE handle, DWORD attributes) {
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    return ::SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != 0;
}

}  // namespace

// MoveFileExW refuses to replace a read-only file: where it does, the
// target's attribute is lifted through a handle of its own and the rename
// tried once more, and given back where that fails too. The new file
// carries the attribute itself where its member kept it. A target that a
// program runs from or has loaded refuses the rename too: it is set aside
// and the staged file takes its name (kivfs::replace_beside_use).
bool rename_onto(MemberFolder& folder, const std::string& from, const std::string& to,
                 int& error) {
    const Path from_path = path_of(folder, from);
    const Path to_path = path_of(folder, to);
    if (from_path.empty() || to_path.empty()) {
        error = ERROR_INVALID_NAME;
        return false;
    }
    constexpr DWORD how = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (::MoveFileExW(from_path.c_str(), to_path.c_str(), how)) {
        return true;
    }
    const DWORD refused = ::GetLastError();
    error = static_cast<int>(refused);
    if (refused != ERROR_ACCESS_DENIED) {
        return false;
    }
    int ignored = 0;
    Closing target{open_in(folder, to, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, share_all,
                           FILE_FLAG_OPEN_REPARSE_POINT, ignored)};
    BY_HANDLE_FILE_INFORMATION information{};
    if (target.handle == INVALID_HANDLE_VALUE ||
        !::GetFileInformationByHandle(target.handle, &information)) {
        return false;
    }
    const bool read_only = (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (read_only && !set_attributes(target.handle, information.dwFileAttributes &
                                                        ~DWORD{FILE_ATTRIBUTE_READONLY})) {
        return false;
    }
    ::CloseHandle(target.handle);  // a file held open cannot be replaced
    target.handle = INVALID_HANDLE_VALUE;
    if (read_only && ::MoveFileExW(from_path.c_str(), to_path.c_str(), how)) {
        return true;
    }
    // A program runs from the target or has it loaded: it is set aside,
    // and goes once the program lets go of it.
    unsigned long beside_error = 0;
    if (kivfs::replace_beside_use(from_path, to_path, beside_error) ==
        kivfs::BesideUse::placed) {
        return true;
    }
    error = static_cast<int>(beside_error);
    Closing again{open_in(folder, to, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, share_all,
                          FILE_FLAG_OPEN_REPARSE_POINT, ignored)};
    BY_HANDLE_FILE_INFORMATION now{};
    if (again.handle != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(again.handle, &now) &&
        now.dwVolumeSerialNumber == information.dwVolumeSerialNumber &&
        win32::file_index(now) == win32::file_index(information)) {
        set_attributes(again.handle, information.dwFileAttributes);
    }
    return false;
}

void settle_set_aside(MemberFolder& folder, const std::string& target) {
    const Path target_path = path_of(folder, target);
    if (!target_path.empty()) {
        kivfs::settle_asides(target_path);
    }
}

// The file at the name is opened and marked for deletion through that one
// handle (its read-only attribute lifted for it), so that nothing that
// takes the name meanwhile is removed.
// A move without MOVEFILE_REPLACE_EXISTING fails where `to` names anything.
bool rename_folder_onto_free_name(MemberFolder& folder, const std::string& from,
                                  const std::string& to, int& error) {
    const Path from_path = path_of(folder, from);
    const Path to_path = path_of(folder, to);
    if (from_path.empty() || to_path.empty()) {
        error = ERROR_INVALID_NAME;
        return false;
    }
    if (!::MoveFileExW(from_path.c_str(), to_path.c_str(), MOVEFILE_WRITE_THROUGH)) {
        error = static_cast<int>(::GetLastError());
        return false;
    }
    return true;
}

// RemoveDirectoryW removes only an empty folder (or a link itself, never
// what it leads to).
bool remove_empty_folder(MemberFolder& folder, const std::string& name, int& error) {
    const Path path = path_of(folder, name);
    if (path.empty() || !::RemoveDirectoryW(path.c_str())) {
        error = path.empty() ? ERROR_INVALID_NAME : static_cast<int>(::GetLastError());
        return false;
    }
    return true;
}

bool remove_name(MemberFolder& folder, const std::string& name, int& error) {
    Closing opened{open_in(folder, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                           share_all, FILE_FLAG_OPEN_REPARSE_POINT, error)};
    if (opened.handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (!win32::mark_for_deletion(opened.handle)) {
        error = static_cast<int>(::GetLastError());
        return false;
    }
    return true;
}

namespace {

bool copy_bytes(HANDLE from, HANDLE to, std::uint64_t length) {
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(from, start, nullptr, FILE_BEGIN) ||
        !::SetFilePointerEx(to, start, nullptr, FILE_BEGIN)) {
        return false;
    }
    char block[1 << 16];
    std::uint64_t done = 0;
    while (done < length) {
        const DWORD want =
            static_cast<DWORD>(std::min<std::uint64_t>(sizeof block, length - done));
        DWORD got = 0;
        if (!::ReadFile(from, block, want, &got, nullptr)) {
            return false;
        }
        if (got == 0) {
            ::SetLastError(ERROR_HANDLE_EOF);  // the staged file is shorter than it was made
            return false;
        }
        DWORD written = 0;
        while (written < got) {
            DWORD put = 0;
            if (!::WriteFile(to, block + written, got - written, &put, nullptr)) {
                return false;
            }
            written += put;
        }
        done += got;
    }
    return true;
}

FILETIME filetime_of(const journal::Time& time) {
    return kivcommon::to_filetime(time.seconds, time.nanoseconds);
}

}  // namespace

// The target is opened by its name, a link followed as a patch follows
// one, and taken only if it is the file that was read; the times go back
// after the last write, which would otherwise set them anew.
bool write_back(MemberFolder& folder, const WriteBack& member, bool& gone, int& error) {
    gone = false;
    Closing staged{open_in(folder, member.staged, GENERIC_READ, share_all,
                           FILE_FLAG_OPEN_REPARSE_POINT, error)};
    if (staged.handle == INVALID_HANDLE_VALUE) {
        gone = error == ERROR_FILE_NOT_FOUND;
        return gone;
    }
    BY_HANDLE_FILE_INFORMATION staged_information{};
    if (!::GetFileInformationByHandle(staged.handle, &staged_information) ||
        !win32::is_plain_file(staged_information.dwFileAttributes) ||
        !(id_of(staged_information) == member.staged_id)) {
        error = ERROR_FILE_EXISTS;
        return false;
    }
    Closing target{open_in(folder, member.target, GENERIC_WRITE, share_all, 0, error)};
    if (target.handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION target_information{};
    if (!::GetFileInformationByHandle(target.handle, &target_information)) {
        error = static_cast<int>(::GetLastError());
        return false;
    }
    if ((target_information.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0 ||
        !(id_of(target_information) == member.target_id)) {
        error = ERROR_FILE_EXISTS;
        return false;
    }
    const std::uint64_t length =
        (static_cast<std::uint64_t>(staged_information.nFileSizeHigh) << 32) |
        staged_information.nFileSizeLow;
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(length);
    const FILETIME accessed = filetime_of(member.accessed);
    const FILETIME modified = filetime_of(member.modified);
    if (!copy_bytes(staged.handle, target.handle, length) ||
        !::SetFilePointerEx(target.handle, end, nullptr, FILE_BEGIN) ||
        !::SetEndOfFile(target.handle) ||
        !::SetFileTime(target.handle, nullptr, &accessed, &modified) ||
        !::FlushFileBuffers(target.handle)) {
        error = static_cast<int>(::GetLastError());
        return false;
    }
    return true;
}

bool queue_at_restart(MemberFolder& folder, const std::string& staged, const std::string& target,
                      int& error) {
    const Path from = path_of(folder, staged);
    const Path to = path_of(folder, target);
    if (from.empty() || to.empty()) {
        error = ERROR_INVALID_NAME;
        return false;
    }
    if (!kivfs::queue_replacement_at_restart(from, to)) {
        error = static_cast<int>(::GetLastError());
        return false;
    }
    return true;
}

bool queued_at_restart(MemberFolder& folder, const std::string& staged,
                       const std::string& target) {
    const Path from = path_of(folder, staged);
    const Path to = path_of(folder, target);
    return !from.empty() && !to.empty() && kivfs::queued_at_restart(from, to);
}

bool give_times(MemberFolder& folder, const std::string& name, const journal::Time& accessed,
                const journal::Time& modified, int& error) {
    Closing opened{open_in(folder, name, FILE_WRITE_ATTRIBUTES, share_all,
                           FILE_FLAG_OPEN_REPARSE_POINT, error)};
    const FILETIME access_time = filetime_of(accessed);
    const FILETIME modification_time = filetime_of(modified);
    if (opened.handle == INVALID_HANDLE_VALUE ||
        !::SetFileTime(opened.handle, nullptr, &access_time, &modification_time)) {
        if (opened.handle != INVALID_HANDLE_VALUE) {
            error = static_cast<int>(::GetLastError());
        }
        return false;
    }
    return true;
}

bool sync_folder(MemberFolder& folder, int& error) {
    const Path path = system_form(folder.path);
    if (path.empty()) {
        error = ERROR_INVALID_NAME;
        return false;
    }
    return win32::flush_folder(kivcommon::system_path(path), error);
}

}  // namespace kivtransaction
