// SPDX-License-Identifier: Zlib
// Targets set aside by name (MoveFileExW, never over anything) beside the
// target, and settled by a search of the target's folder for the names
// of the aside kinds.
#include "kivfs/aside.h"
#include "kivfs/hidden_names.h"
#include "kivfs/restart_queue.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace kivfs {
namespace {

// How many hidden names a rename aside tries before it gives up.
constexpr int attempts_at_an_aside_name = 16;

bool name_taken(DWORD error) {
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
}

// The folder's part of a whole path, its separator included, and the
// target's name after it.
Path folder_of(const Path& target_path) {
    const std::size_t separator = target_path.find_last_of(L"\\/");
    return separator == Path::npos ? Path() : target_path.substr(0, separator + 1);
}

Path name_of(const Path& target_path) {
    return target_path.substr(folder_of(target_path).size());
}

// Calls fn with the name of each file in `folder` that is an aside file of
// `kind` (kivfs/hidden_names.h) and with the name of its target, which
// ends in "." where it was cut.
template <typename Fn>
void for_each_aside(const Path& folder, const char* kind, Fn fn) {
    const Path pattern = folder + L".*";
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const auto hidden = parse_hidden_name(found.cFileName);
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && hidden &&
            hidden->is(kind)) {
            fn(std::wstring(found.cFileName), hidden->target);
        }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
}

// The system's own form of a whole path, which a rename through a handle
// takes: "\??\" before a drive's path, "\??\UNC\" before a share's, in
// place of a "\\?\" or "\\.\" prefix.
Path object_path(const Path& path) {
    if (path.rfind(L"\\\\?\\", 0) == 0 || path.rfind(L"\\\\.\\", 0) == 0) {
        return L"\\??\\" + path.substr(4);
    }
    if (path.rfind(L"\\\\", 0) == 0) {
        return L"\\??\\UNC\\" + path.substr(2);
    }
    return L"\\??\\" + path;
}

// Renames the file open as `held` (with DELETE access) to `to`, never
// over anything: the file itself, whatever name it has by now, and a
// deletion marked through that handle later deletes it by its new name.
bool rename_held(void* held, const Path& to) {
    const Path name = object_path(to);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::copy(name.begin(), name.end(), rename->FileName);
    return ::SetFileInformationByHandle(static_cast<HANDLE>(held), FileRenameInfo, rename,
                                        static_cast<DWORD>(buffer.size())) != 0;
}

// Marks the file open as `held` (with DELETE access) for deletion at its
// last close; a read-only file refuses the mark, so its attribute is lifted
// first (and given back where the mark is refused all the same).
bool mark_for_deletion(void* held) {
    const HANDLE handle = static_cast<HANDLE>(held);
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
        return false;
    }
    const DWORD attributes = basic.FileAttributes;
    const bool read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (read_only) {
        FILE_BASIC_INFO lifted{};
        lifted.FileAttributes = attributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
        if (lifted.FileAttributes == 0) {
            lifted.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        }
        ::SetFileInformationByHandle(handle, FileBasicInfo, &lifted, sizeof lifted);
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                     sizeof disposition)) {
        return true;
    }
    const DWORD refused = ::GetLastError();
    if (read_only) {
        FILE_BASIC_INFO given_back{};
        given_back.FileAttributes = attributes;
        ::SetFileInformationByHandle(handle, FileBasicInfo, &given_back, sizeof given_back);
    }
    ::SetLastError(refused);
    return false;
}

}  // namespace

// A name taken (by a file of someone else's, or one of ours left by an
// earlier call) is passed over for the next.
bool HeldAside::take(const Path& target_path, unsigned long& error) {
    release();
    HANDLE handle = ::CreateFileW(target_path.c_str(),
                                  DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                  nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = ::GetLastError();
        return false;
    }
    const Path folder = folder_of(target_path);
    for (int attempt = 0; attempt < attempts_at_an_aside_name; ++attempt) {
        const Path aside_path = folder + hidden_name_for(name_of(target_path), set_aside_kind);
        if (rename_held(handle, aside_path)) {
            handle_ = handle;
            target_path_ = target_path;
            aside_path_ = aside_path;
            return true;
        }
        error = ::GetLastError();
        if (!name_taken(error)) {
            break;
        }
    }
    ::CloseHandle(handle);
    return false;
}

bool HeldAside::supersede() {
    if (handle_ == nullptr) {
        return false;
    }
    const Path old_path = folder_of(target_path_) + hidden_name_for(name_of(target_path_), old_kind);
    if (rename_held(handle_, old_path)) {
        aside_path_ = old_path;
    }
    return mark_for_deletion(handle_);
}

bool HeldAside::put_back() {
    if (handle_ == nullptr || !rename_held(handle_, target_path_)) {
        return false;
    }
    aside_path_ = target_path_;
    return true;
}

void HeldAside::release() {
    if (handle_ != nullptr) {
        ::CloseHandle(static_cast<HANDLE>(handle_));
        handle_ = nullptr;
    }
}

HeldAside::~HeldAside() {
    release();
}

// The old files go first, so that a was-file that finds its name taken
// is deleted as one of them. A file whose NAME was cut is neither put back
// at a name it may not belong to (the system would even drop the marking
// "." and take the cut name for the whole) nor deleted, as it may be the
// only copy of the old file.
void settle_asides(const Path& target_path) {
    const Path folder = folder_of(target_path);
    if (folder.empty()) {
        return;
    }
    for_each_aside(folder, old_kind, [&](const std::wstring& aside, const std::wstring&) {
        ::DeleteFileW((folder + aside).c_str());
    });
    for_each_aside(folder, set_aside_kind, [&](const std::wstring& aside, const std::wstring& target) {
        if (parse_hidden_name(aside)->target_is_cut()) {
            return;
        }
        const Path from = folder + aside;
        const Path to = folder + target;
        if (!::MoveFileExW(from.c_str(), to.c_str(), 0) &&
            ::GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES) {
            ::DeleteFileW(from.c_str());
        }
    });
}

bool held_by_another_program(unsigned long error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_USER_MAPPED_FILE || error == ERROR_LOCK_VIOLATION;
}

// The old file is held from before it is set aside until its fate is
// settled, so that another call's set-aside or settling cannot move it
// meanwhile; a call killed between the two renames leaves the one file
// that a later settling in the folder puts back.
BesideUse replace_beside_use(const Path& staged_path, const Path& target_path,
                             unsigned long& error) {
    HeldAside aside;
    if (!aside.take(target_path, error)) {
        return held_by_another_program(error) ? BesideUse::in_use : BesideUse::failed;
    }
    if (!::MoveFileExW(staged_path.c_str(), target_path.c_str(), MOVEFILE_WRITE_THROUGH)) {
        const DWORD failure = ::GetLastError();
        error = failure;
        // Another call's file took the name after the old one left it: the
        // old file is superseded, and stays so even where a third call has
        // set that newer file aside by now and left the name empty.
        if (name_taken(failure) || (!aside.put_back() && name_taken(::GetLastError()))) {
            aside.supersede();
        }
        return BesideUse::failed;
    }
    if (!aside.supersede()) {
        queue_deletion_at_restart(aside.path());
    }
    return BesideUse::placed;
}

}  // namespace kivfs
