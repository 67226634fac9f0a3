// SPDX-License-Identifier: Zlib
// The caller's own files on Windows: a plain file's attributes and one
// name, read through its handle, and its owner from its security
// descriptor, matched against the process token.
#include "kivfs/ownership.h"

#include <windows.h>
#include <aclapi.h>

#include <vector>

namespace kivfs {
namespace {

// The process token's information of `kind`, or none.
std::vector<unsigned char> token_information(TOKEN_INFORMATION_CLASS kind) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return {};
    }
    DWORD needed = 0;
    ::GetTokenInformation(token, kind, nullptr, 0, &needed);
    std::vector<unsigned char> information(needed);
    if (needed == 0 ||
        !::GetTokenInformation(token, kind, information.data(), needed, &needed)) {
        information.clear();
    }
    ::CloseHandle(token);
    return information;
}

}  // namespace

// Whether the file open as `handle` (with READ_CONTROL) belongs to the
// caller: its owner is the caller's user, or, for a caller that runs
// elevated (whose new files the Administrators group owns), that group.
// Who else may write it is for the folder's permissions to keep: Windows
// gives a new file the folder's inherited permissions, which this check
// does not read.
bool owned_by_caller(HANDLE handle) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                          nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    bool callers = false;
    const std::vector<unsigned char> user = token_information(TokenUser);
    if (!user.empty() &&
        ::EqualSid(owner, reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid)) {
        callers = true;
    } else {
        const std::vector<unsigned char> elevation = token_information(TokenElevation);
        unsigned char administrators[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof administrators;
        callers = !elevation.empty() &&
                  reinterpret_cast<const TOKEN_ELEVATION*>(elevation.data())->TokenIsElevated &&
                  ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators,
                                       &size) &&
                  ::EqualSid(owner, administrators);
    }
    ::LocalFree(descriptor);
    return callers;
}

bool trusted_as_callers_own(NativeHandle file, std::string& reason) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file, &information)) {
        reason = "its status cannot be read";
        return false;
    }
    if ((information.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        reason = "it is not a regular file";
    } else if (!owned_by_caller(file)) {
        reason = "it belongs to another user";
    } else if (information.nNumberOfLinks != 1) {
        reason = "it has other names";
    } else {
        return true;
    }
    return false;
}

}  // namespace kivfs
