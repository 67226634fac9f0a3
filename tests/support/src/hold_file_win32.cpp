// SPDX-License-Identifier: Zlib
// Windows only. A second program for the tests that holds a file as another
// program of the machine would: `kiv_hold_file map FILE` maps it for
// reading, `kiv_hold_file lock FILE` opens it with full sharing and locks
// its bytes 4 to 7; with write access and delete access and full sharing,
// `kiv_hold_file open FILE` only holds it open; `kiv_hold_file read FILE`
// holds it open for reading as a reader that lets others read, rename or
// delete it but not write it (a deleted file then keeps its name until the
// holder lets go). It says "held" on standard output once it holds the file
// and lets go when its standard input ends.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: kiv_hold_file map|lock|open|read FILE\n", stderr);
        return 64;
    }
    const bool reading = std::wcscmp(argv[1], L"read") == 0;
    const bool writing = std::wcscmp(argv[1], L"map") != 0 && !reading;
    HANDLE file = ::CreateFileW(argv[2], GENERIC_READ | (writing ? GENERIC_WRITE | DELETE : 0),
                                FILE_SHARE_READ | FILE_SHARE_DELETE |
                                    (reading ? 0 : FILE_SHARE_WRITE),
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open the file: error %lu\n", ::GetLastError());
        return 1;
    }
    bool held = true;
    if (std::wcscmp(argv[1], L"map") == 0) {
        HANDLE mapping = ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        held = mapping != nullptr && ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) != nullptr;
    } else if (std::wcscmp(argv[1], L"lock") == 0) {
        OVERLAPPED from{};
        from.Offset = 4;
        held = ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 4, 0,
                            &from) != 0;
    }
    if (!held) {
        std::fprintf(stderr, "cannot hold the file: error %lu\n", ::GetLastError());
        return 1;
    }
    std::fputs("held\n", stdout);
    std::fflush(stdout);
    char rest[64];
    DWORD got = 0;
    while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), rest, sizeof rest, &got, nullptr) &&
           got > 0) {
    }
    return 0;
}
