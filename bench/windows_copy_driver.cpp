// SPDX-License-Identifier: Zlib
// windows_copy_driver: the helper program of bench/windows-copy (Windows
// builds only, run under Wine).
//
//   windows_copy_driver kivcopy SOURCE TARGET
//   windows_copy_driver copyfile SOURCE TARGET
//
// Copies SOURCE to TARGET once, with KivCopyFileW or with the system's
// CopyFileW, both told to leave an existing target alone, and prints the
// microseconds the one call took. The clock runs around the call alone, the
// same way for both, so that Wine's start-up is not counted.
//
// Exit status: 0 when the copy succeeded, 2 when it failed (the measurement
// is then not valid), 64 on a wrong command line.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "kivcopy.h"

namespace {

constexpr int exit_ok = 0;
constexpr int exit_not_copied = 2;
constexpr int exit_usage = 64;

long long now_us() {
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    ::QueryPerformanceCounter(&count);
    ::QueryPerformanceFrequency(&frequency);
    return count.QuadPart / frequency.QuadPart * 1000000 +
           count.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4 || (std::wcscmp(argv[1], L"kivcopy") != 0 &&
                      std::wcscmp(argv[1], L"copyfile") != 0)) {
        std::fputs("Usage: windows_copy_driver kivcopy|copyfile SOURCE TARGET\n", stderr);
        return exit_usage;
    }
    const bool ours = std::wcscmp(argv[1], L"kivcopy") == 0;
    const long long started = now_us();
    const bool copied = ours ? KivCopyFileW(argv[2], argv[3], 0) == KIVCOPY_OK
                             : ::CopyFileW(argv[2], argv[3], TRUE) != 0;
    const long long took = now_us() - started;
    if (!copied) {
        std::fprintf(stderr, "windows_copy_driver: the copy failed (%lu)\n",
                     static_cast<unsigned long>(::GetLastError()));
        return exit_not_copied;
    }
    std::printf("%lld\n", took);
    return exit_ok;
}
