// SPDX-License-Identifier: Zlib
// The journal folder on Windows: held open, never through a reparse point
// at its name, and without delete sharing, so that it cannot be renamed
// or removed while a transaction or a recovery holds it; its journals are
// named by its path. A journal is held open without any sharing for as
// long as its transaction lives: that is its lock, which a recovery that
// opens a live one meets as a sharing violation.
#include "journal_folder.h"

#include "kivfs/ownership.h"

#include <windows.h>

#include <algorithm>

#include "kivcommon/win32_paths.h"
#include "kivfs/wtf8.h"
#include "win32_files.h"

namespace kivtransaction {
namespace {

// The access that a journal is opened with, by its transaction and by a
// recovery: its bytes, its removal, its owner, and the attribute lifted
// for its removal.
constexpr DWORD journal_access =
    GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL | FILE_WRITE_ATTRIBUTES;

bool write_all(HANDLE handle, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD want =
            static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1U << 30));
        DWORD wrote = 0;
        if (!::WriteFile(handle, bytes.data() + done, want, &wrote, nullptr)) {
            return false;
        }
        done += wrote;
    }
    return true;
}

// The folder's path with `name` in it; the folder's own path has no
// separator at its end unless it is a root.
Path in_folder(const Path& folder, const Path& name) {
    const bool separated = !folder.empty() && (folder.back() == L'\\' || folder.back() == L'/');
    return separated ? folder + name : folder + L'\\' + name;
}

}  // namespace

JournalFolder::~JournalFolder() {
    ::CloseHandle(handle_);
}

std::unique_ptr<JournalFolder> JournalFolder::open(const Path& path, int& error) {
    Path full = kivcommon::system_path(path);
    while (full.size() > 1 && (full.back() == L'\\' || full.back() == L'/') &&
           full[full.size() - 2] != L':') {
        full.pop_back();
    }
    HANDLE handle = ::CreateFileW(full.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = static_cast<int>(::GetLastError());
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handle, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        error = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
                    ? ERROR_CANT_ACCESS_FILE
                    : ERROR_DIRECTORY;
        ::CloseHandle(handle);
        return nullptr;
    }
    return std::unique_ptr<JournalFolder>(new JournalFolder(handle, full));
}

std::unique_ptr<JournalFile> JournalFolder::create(std::uint64_t transaction,
                                                   const std::string& header, int& error) {
    const std::string name = journal_name(transaction);
    const Path path = in_folder(path_, kivfs::wide_from_wtf8(name));
    HANDLE handle = ::CreateFileW(path.c_str(), journal_access, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = static_cast<int>(::GetLastError());
        return nullptr;
    }
    std::unique_ptr<JournalFile> journal(new JournalFile(*this, handle, name));
    if (!journal->append(header, error) || !sync(error)) {
        int ignored = 0;
        journal->remove(ignored);
        return nullptr;
    }
    return journal;
}

bool JournalFolder::journal_names(std::vector<std::string>& names, int& error) const {
    const Path pattern = in_folder(path_, L"kivtransaction-*.journal");
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD failure = ::GetLastError();
        error = static_cast<int>(failure);
        return failure == ERROR_FILE_NOT_FOUND;
    }
    do {
        const std::string name = kivfs::wtf8_from_wide(found.cFileName);
        if (is_journal_name(name)) {
            names.push_back(name);
        }
    } while (::FindNextFileW(search, &found));
    const DWORD ended = ::GetLastError();
    ::FindClose(search);
    std::sort(names.begin(), names.end());
    if (ended != ERROR_NO_MORE_FILES) {
        error = static_cast<int>(ended);
        return false;
    }
    return true;
}

std::unique_ptr<JournalFile> JournalFolder::open_journal(const std::string& name, bool& live,
                                                         int& error) {
    live = false;
    const Path path = in_folder(path_, kivfs::wide_from_wtf8(name));
    HANDLE handle = ::CreateFileW(path.c_str(), journal_access, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = static_cast<int>(::GetLastError());
        live = error == ERROR_SHARING_VIOLATION;
        return nullptr;
    }
    return std::unique_ptr<JournalFile>(new JournalFile(*this, handle, name));
}

bool JournalFolder::sync(int& error) {
    return win32::flush_folder(path_, error);
}

JournalFile::~JournalFile() {
    if (handle_ != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle_);
    }
}

bool JournalFile::append(const std::string& record, int& error) {
    return append(std::vector<std::string>{record}, error);
}

// The journal is the handle's alone (no sharing), so its end is where the
// last append left it.
bool JournalFile::append(const std::vector<std::string>& records, int& error) {
    std::string bytes;
    for (const std::string& record : records) {
        bytes += record;
    }
    LARGE_INTEGER none{};
    if (!::SetFilePointerEx(handle_, none, nullptr, FILE_END) || !write_all(handle_, bytes) ||
        !::FlushFileBuffers(handle_)) {
        error = static_cast<int>(::GetLastError());
        return false;
    }
    return true;
}

bool JournalFile::read(std::string& bytes, int& error) {
    bytes.clear();
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(handle_, start, nullptr, FILE_BEGIN)) {
        error = static_cast<int>(::GetLastError());
        return false;
    }
    char block[65536];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(handle_, block, sizeof block, &got, nullptr)) {
            error = static_cast<int>(::GetLastError());
            return false;
        }
        if (got == 0) {
            return true;
        }
        bytes.append(block, got);
    }
}

// Windows keeps no write bits for group and others: who may write the
// journal is the folder's permissions' to say, which the caller chose.
bool JournalFile::trusted(std::string& reason) const {
    return kivfs::trusted_as_callers_own(handle_, reason);
}

// The file held is marked for deletion through its own handle, so that no
// other file that took its name is ever removed; the handle is closed at
// once, which deletes it, and the folder then flushed.
bool JournalFile::remove(int& error) {
    if (handle_ == INVALID_HANDLE_VALUE) {
        return true;
    }
    if (!win32::mark_for_deletion(handle_)) {
        error = static_cast<int>(::GetLastError());
        return false;
    }
    ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return folder_.sync(error);
}

}  // namespace kivtransaction
