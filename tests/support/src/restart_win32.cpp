// SPDX-License-Identifier: Zlib
#include "kivtest/restart.h"

#include <windows.h>

namespace kivtest {

bool restart_with_wineboot() {
    wchar_t command[] = L"wineboot.exe -r";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process)) {
        return false;
    }
    ::WaitForSingleObject(process.hProcess, 120000);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return true;
}

}  // namespace kivtest
