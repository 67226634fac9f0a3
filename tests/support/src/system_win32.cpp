// SPDX-License-Identifier: Zlib
#include <windows.h>

#include <direct.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include "kivcommon/win32_filetime.h"
#include "kivtest/system.h"

namespace kivtest {
namespace {

FILETIME to_filetime(const Time& time) {
    return kivcommon::to_filetime(time.seconds, time.nanoseconds);
}

WIN32_FILE_ATTRIBUTE_DATA attributes_of(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        throw std::runtime_error("cannot read the status of " + path);
    }
    return data;
}

// Opens an existing `path` to hold it while a test runs: the handle, or
// nullptr with `error` set.
void* hold_open(const std::string& path, DWORD access, DWORD sharing, DWORD flags,
                std::string& error) {
    HANDLE handle = ::CreateFileA(path.c_str(), access, sharing, nullptr, OPEN_EXISTING, flags,
                                  nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = "cannot hold " + path + " open: error " + std::to_string(::GetLastError());
        return nullptr;
    }
    return handle;
}

void let_go(void* handle) {
    if (handle != nullptr) {
        ::CloseHandle(handle);
    }
}

}  // namespace

bool exists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::int64_t file_size(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = attributes_of(path);
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
                                     data.nFileSizeLow);
}

Time access_time(const std::string& path) {
    return kivcommon::from_filetime(attributes_of(path).ftLastAccessTime);
}

Time modification_time(const std::string& path) {
    return kivcommon::from_filetime(attributes_of(path).ftLastWriteTime);
}

void set_times(const std::string& path, Time access, Time modification) {
    HANDLE handle = ::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    FILETIME a = to_filetime(access);
    FILETIME m = to_filetime(modification);
    bool set = handle != INVALID_HANDLE_VALUE && ::SetFileTime(handle, nullptr, &a, &m);
    if (handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
    }
    if (!set) {
        throw std::runtime_error("cannot set the times of " + path);
    }
}

void make_directory(const std::string& path) {
    if (!::CreateDirectoryA(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
        throw std::runtime_error("cannot make the directory " + path);
    }
}

bool hard_link(const std::string& existing, const std::string& link) {
    return ::CreateHardLinkA(link.c_str(), existing.c_str(), nullptr) != 0;
}

// A link counts only if the system shows it as a link (a reparse point):
// some systems accept the call but make something else, and a test that
// relied on it would prove nothing.
bool symbolic_link(const std::string& target, const std::string& link) {
    if (!::CreateSymbolicLinkA(link.c_str(), target.c_str(), 0)) {
        return false;
    }
    DWORD attributes = ::GetFileAttributesA(link.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return true;
    }
    ::DeleteFileA(link.c_str());
    return false;
}

void remove_tree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string make_work_directory() {
    char base[MAX_PATH];
    DWORD length = ::GetTempPathA(sizeof base, base);
    if (length == 0 || length >= sizeof base) {
        return std::string();
    }
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        std::string candidate = std::string(base) + "kivtest." +
                                std::to_string(::GetCurrentProcessId()) + "." +
                                std::to_string(::GetTickCount() + attempt);
        if (::CreateDirectoryA(candidate.c_str(), nullptr)) {
            return candidate;
        }
    }
    return std::string();
}

// The C runtime's copy of the environment is the one the libraries read.
void set_environment(const char* name, const std::string& value) {
    ::_putenv_s(name, value.c_str());
}

void unset_environment(const char* name) {
    ::_putenv_s(name, "");
}

std::string current_directory() {
    char buffer[MAX_PATH];
    return ::_getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string();
}

bool change_directory(const std::string& path) {
    return ::_chdir(path.c_str()) == 0;
}

// Another handle that reads the file and shares only reading keeps every
// open for writing out, whatever the caller's rights.
UnwritableFile::UnwritableFile(std::string path) : path_(std::move(path)) {
    handle_ = hold_open(path_, GENERIC_READ, FILE_SHARE_READ, FILE_FLAG_BACKUP_SEMANTICS, error_);
}

UnwritableFile::~UnwritableFile() {
    let_go(handle_);
}

SharedHolder::SharedHolder(const std::string& path) {
    handle_ = hold_open(path, GENERIC_READ | DELETE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        FILE_ATTRIBUTE_NORMAL, error_);
}

SharedHolder::~SharedHolder() {
    let_go(handle_);
}

TmpfsMount::TmpfsMount(std::string directory, unsigned long long)
    : directory_(std::move(directory)) {
    error_ = "Windows has no tmpfs to mount at " + directory_;
}

TmpfsMount::~TmpfsMount() = default;

bool TmpfsMount::make_read_only() {
    return false;
}

LoadedLibrary::LoadedLibrary(const std::string& path) {
    handle_ = reinterpret_cast<void*>(::LoadLibraryA(path.c_str()));
    if (handle_ == nullptr) {
        error_ = "LoadLibraryA failed with error " + std::to_string(::GetLastError());
    }
}

LoadedLibrary::~LoadedLibrary() {
    if (handle_ != nullptr) {
        ::FreeLibrary(reinterpret_cast<HMODULE>(handle_));
    }
}

void* LoadedLibrary::address(const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
}

}  // namespace kivtest
