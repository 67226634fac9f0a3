// SPDX-License-Identifier: Zlib
#include "kivtest/wide.h"

#include <windows.h>

#include <stdexcept>

#include "kivcommon/win32_filetime.h"
#include "kivcommon/win32_paths.h"

namespace kivtest {
namespace {

std::runtime_error failure(const std::string& what, const std::wstring& path) {
    return std::runtime_error(what + " " + to_ansi(path) + ": error " +
                              std::to_string(::GetLastError()));
}

// Every path reaches the system in \\?\ form when it is too long.
std::wstring system(const std::wstring& path) {
    return kivcommon::system_path(path);
}

}  // namespace

std::wstring wide_path(const std::string& directory, const std::string& name) {
    return widen(directory) + L"\\" + widen(name);
}

std::wstring widen(const std::string& utf8) {
    int needed = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                       nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                          needed);
    return wide;
}

std::string to_ansi(const std::wstring& text) {
    return kivcommon::to_ansi(text);
}

std::wstring from_ansi(const std::string& text) {
    return kivcommon::from_ansi(text.c_str()).value_or(L"");
}

void write_file(const std::wstring& path, const std::string& bytes) {
    HANDLE handle = ::CreateFileW(system(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    bool ok = handle != INVALID_HANDLE_VALUE &&
              ::WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                          nullptr) &&
              written == bytes.size();
    if (handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
    }
    if (!ok) {
        throw failure("cannot write", path);
    }
}

std::string read_file(const std::wstring& path) {
    HANDLE handle = ::CreateFileW(system(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        throw failure("cannot read", path);
    }
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(handle, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        bytes.append(buffer, got);
    }
    ::CloseHandle(handle);
    return bytes;
}

bool exists(const std::wstring& path) {
    return ::GetFileAttributesW(system(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void make_directory(const std::wstring& path) {
    if (!::CreateDirectoryW(system(path).c_str(), nullptr) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS) {
        throw failure("cannot make the directory", path);
    }
}

std::vector<std::wstring> entries(const std::wstring& directory) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW((system(directory) + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
}

std::wstring verbatim(const std::wstring& path) {
    return L"\\\\?\\" + path;
}

ScopedWideEnvironment::ScopedWideEnvironment(const wchar_t* name, const std::wstring* value)
    : name_(name) {
    wchar_t buffer[32768];
    DWORD length = ::GetEnvironmentVariableW(name, buffer, 32768);
    was_set_ = length > 0 || ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    saved_.assign(buffer, length < 32768 ? length : 0);
    ::SetEnvironmentVariableW(name, value != nullptr ? value->c_str() : nullptr);
}

ScopedWideEnvironment::~ScopedWideEnvironment() {
    ::SetEnvironmentVariableW(name_, was_set_ ? saved_.c_str() : nullptr);
}

Time modification_time(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(system(path).c_str(), GetFileExInfoStandard, &data)) {
        throw failure("cannot read the status of", path);
    }
    return kivcommon::from_filetime(data.ftLastWriteTime);
}

void set_times(const std::wstring& path, Time access, Time modification) {
    HANDLE handle = ::CreateFileW(system(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const FILETIME accessed = kivcommon::to_filetime(access.seconds, access.nanoseconds);
    const FILETIME modified = kivcommon::to_filetime(modification.seconds, modification.nanoseconds);
    const bool set = handle != INVALID_HANDLE_VALUE &&
                     ::SetFileTime(handle, nullptr, &accessed, &modified);
    if (handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
    }
    if (!set) {
        throw failure("cannot set the times of", path);
    }
}

}  // namespace kivtest
