// SPDX-License-Identifier: Zlib
// windows_copy_driver: the helper program of bench/windows-copy (Windows
// builds only, run under Wine).
//
//   windows_copy_driver kivcopy SOURCE TARGET
//   windows_copy_driver install SOURCE TARGET
//   windows_copy_driver copyfile SOURCE TARGET
//
// Copies SOURCE to TARGET once, with KivCopyFileW (told to leave an existing
// target alone), with KivInstallFileW (flags 1, replace) or with the
// system's CopyFileW (told to leave an existing target alone), and prints
// the microseconds the one call took. The clock runs around the call alone,
// the same way for all, so that Wine's start-up is not counted.
// KivInstallFileW is looked up in the loaded DLL by name, so that the driver
// also runs beside a DLL that does not export it.
//
// Exit status: 0 when the copy succeeded, 2 when it failed (the measurement
// is then not valid), 3 when the DLL does not export KivInstallFileW, 64 on
// a wrong command line.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>

#include "kivcopy.h"

namespace {

constexpr int exit_ok = 0;
constexpr int exit_not_copied = 2;
constexpr int exit_not_exported = 3;
constexpr int exit_usage = 64;

// KivInstallFileW's flag that lets an existing target be replaced.
constexpr std::int32_t install_replace = 1;

using InstallFileW = std::int32_t(KIVCOPY_CALL*)(const wchar_t*, const wchar_t*, std::int32_t);

long long now_us() {
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    ::QueryPerformanceCounter(&count);
    ::QueryPerformanceFrequency(&frequency);
    return count.QuadPart / frequency.QuadPart * 1000000 +
           count.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

// The DLL's KivInstallFileW, or null where the DLL does not export it. The
// DLL is already loaded for KivCopyFileW, which the driver imports.
InstallFileW find_install_file() {
    HMODULE library = ::GetModuleHandleW(L"kivcopy.dll");
    if (library == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<InstallFileW>(
        reinterpret_cast<void*>(::GetProcAddress(library, "KivInstallFileW")));
}

enum class Contender { kivcopy, install, copyfile, unknown };

Contender contender_named(const wchar_t* name) {
    if (std::wcscmp(name, L"kivcopy") == 0) {
        return Contender::kivcopy;
    }
    if (std::wcscmp(name, L"install") == 0) {
        return Contender::install;
    }
    if (std::wcscmp(name, L"copyfile") == 0) {
        return Contender::copyfile;
    }
    return Contender::unknown;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const Contender contender = argc == 4 ? contender_named(argv[1]) : Contender::unknown;
    if (contender == Contender::unknown) {
        std::fputs("Usage: windows_copy_driver kivcopy|install|copyfile SOURCE TARGET\n", stderr);
        return exit_usage;
    }
    const InstallFileW install_file = find_install_file();
    if (contender == Contender::install && install_file == nullptr) {
        std::fputs("windows_copy_driver: kivcopy.dll does not export KivInstallFileW\n", stderr);
        return exit_not_exported;
    }
    const long long started = now_us();
    bool copied = false;
    switch (contender) {
        case Contender::kivcopy:
            copied = KivCopyFileW(argv[2], argv[3], 0) == KIVCOPY_OK;
            break;
        case Contender::install:
            copied = install_file(argv[2], argv[3], install_replace) == KIVCOPY_OK;
            break;
        default:
            copied = ::CopyFileW(argv[2], argv[3], TRUE) != 0;
            break;
    }
    const long long took = now_us() - started;
    if (!copied) {
        std::fprintf(stderr, "windows_copy_driver: the copy failed (%lu)\n",
                     static_cast<unsigned long>(::GetLastError()));
        return exit_not_copied;
    }
    std::printf("%lld\n", took);
    return exit_ok;
}
