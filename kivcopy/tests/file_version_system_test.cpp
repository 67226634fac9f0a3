// SPDX-License-Identifier: Zlib
// KivFileVersionW beside the system's own reader of versions: every
// program and DLL of the system folders (under Wine, those of the suite's
// prefix), read both ways, must give the same version, or have none both
// ways.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kivcopy.h"

namespace {

// What the system reads as the file's version: GetFileVersionInfoW, then
// VerQueryValueW of the root block.
bool system_version(const std::wstring& path, std::uint32_t& high, std::uint32_t& low) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) {
        return false;
    }
    std::vector<unsigned char> block(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) {
        return false;
    }
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\", &value, &length) || value == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        return false;
    }
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    high = fixed->dwFileVersionMS;
    low = fixed->dwFileVersionLS;
    return true;
}

// The programs and DLLs directly in `folder`.
std::vector<std::wstring> images_in(const std::wstring& folder) {
    std::vector<std::wstring> images;
    for (const wchar_t* pattern : {L"\\*.dll", L"\\*.exe"}) {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder + pattern).c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) {
            continue;
        }
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                images.push_back(folder + L"\\" + found.cFileName);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return images;
}

std::string narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

TEST(FileVersionOfSystemFiles, AgreesWithTheSystemOnEveryProgramAndDllOfItsFolders) {
    std::vector<std::wstring> folders;
    wchar_t folder[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, static_cast<UINT>(MAX_PATH));
    folders.emplace_back(folder, length);
    // The 32-bit system folder of a 64-bit system, where it has one.
    length = GetSystemWow64DirectoryW(folder, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        folders.emplace_back(folder, length);
    }

    int files = 0;
    int agree = 0;
    int without = 0;
    for (const std::wstring& where : folders) {
        for (const std::wstring& image : images_in(where)) {
            ++files;
            std::uint32_t high = 0;
            std::uint32_t low = 0;
            const std::int32_t ours = KivFileVersionW(image.c_str(), &high, &low);
            std::uint32_t system_high = 0;
            std::uint32_t system_low = 0;
            const bool has_version = system_version(image, system_high, system_low);
            if (has_version ? ours == KIVCOPY_OK && high == system_high && low == system_low
                            : ours == KIVVERSION_NONE) {
                ++agree;
                without += has_version ? 0 : 1;
            } else {
                ADD_FAILURE() << narrow(image) << ": KivFileVersionW gives " << ours << " ("
                              << std::hex << high << ", " << low << "), the system "
                              << (has_version ? "" : "no version ") << system_high << ", "
                              << system_low << std::dec;
            }
        }
    }
    std::printf("%d files in %zu folder(s), %d agree, %d of them without a version\n", files,
                folders.size(), agree, without);
    EXPECT_GT(files, 100) << "the system folders hold too few programs to judge by";
    EXPECT_EQ(agree, files);
}

}  // namespace
