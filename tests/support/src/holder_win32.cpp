// SPDX-License-Identifier: Zlib
#include "kivtest/holder.h"

#include <windows.h>

#include <string>

#include "kivtest/wide.h"

namespace kivtest {

std::wstring HeldByAnotherProcess::program() {
    return widen(KIV_HOLD_FILE_PATH);
}

HeldByAnotherProcess::HeldByAnotherProcess(Way way, const std::wstring& path)
    : HeldByAnotherProcess(way, path, program()) {}

HeldByAnotherProcess::HeldByAnotherProcess(Way way, const std::wstring& path,
                                           const std::wstring& program) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE input_read = nullptr;
    HANDLE output_read = nullptr;
    HANDLE output_write = nullptr;
    HANDLE input_write = nullptr;
    if (!::CreatePipe(&input_read, &input_write, &inherit, 0) ||
        !::CreatePipe(&output_read, &output_write, &inherit, 0)) {
        error_ = "cannot make pipes for the holder";
        return;
    }
    ::SetHandleInformation(input_write, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(output_read, HANDLE_FLAG_INHERIT, 0);
    const wchar_t* verb = way == Way::map    ? L"map"
                          : way == Way::lock ? L"lock"
                          : way == Way::read ? L"read"
                                             : L"open";
    std::wstring command = L"\"" + program + L"\" " + verb + L" \"" + path + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input_read;
    startup.hStdOutput = output_write;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    const bool started = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                                          nullptr, nullptr, &startup, &process);
    ::CloseHandle(input_read);
    ::CloseHandle(output_write);
    input_ = input_write;
    if (!started) {
        ::CloseHandle(output_read);
        error_ = "cannot start the holder: error " + std::to_string(::GetLastError());
        return;
    }
    ::CloseHandle(process.hThread);
    process_ = process.hProcess;
    char said[16] = {};
    DWORD got = 0;
    const bool answered = ::ReadFile(output_read, said, sizeof said - 1, &got, nullptr) &&
                          std::string(said, got).rfind("held", 0) == 0;
    ::CloseHandle(output_read);
    if (!answered) {
        error_ = "the holder could not hold the file";
    }
}

HeldByAnotherProcess::~HeldByAnotherProcess() {
    if (input_ != nullptr) {
        ::CloseHandle(input_);
    }
    if (process_ != nullptr) {
        ::WaitForSingleObject(process_, 10000);
        ::CloseHandle(process_);
    }
}

}  // namespace kivtest
