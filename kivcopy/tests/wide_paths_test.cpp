// SPDX-License-Identifier: Zlib
// Windows only. Copies between paths a Windows user can have: names outside
// the ANSI code page through the wide export, the guard included, and
// paths past MAX_PATH, plain and in \\?\ form, through both exports; and
// installs at names as long as a name may be.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kivcopy.h"
#include "kivtest/files.h"
#include "kivtest/wide.h"

namespace {

class WideCopy : public kivtest::WorkDirTest {
protected:
    std::wstring wide(const std::string& name) const { return kivtest::wide_path(dir(), name); }
};

TEST_F(WideCopy, CopiesBetweenFoldersNamedOutsideTheCodePage) {
    for (const char* folder : {"Кириллица", "漢字フォルダ", "emoji 😀", "Łódź"}) {
        SCOPED_TRACE(folder);
        const std::wstring directory = wide(folder);
        kivtest::make_directory(directory);
        const std::wstring source = directory + L"\\źródło.txt";
        const std::wstring target = directory + L"\\копия.txt";
        kivtest::write_file(source, "new");
        EXPECT_EQ(KivCopyFileW(source.c_str(), target.c_str(), 0), KIVCOPY_OK);
        kivtest::write_file(source, "newer");
        EXPECT_EQ(KivCopyFileW(source.c_str(), target.c_str(), 0), KIVCOPY_TARGET_EXISTS);
        EXPECT_EQ(kivtest::read_file(target), "new");
        EXPECT_EQ(KivCopyFileW(source.c_str(), target.c_str(), 1), KIVCOPY_OK);
        EXPECT_EQ(kivtest::read_file(target), "newer");
    }
    // A best-fit look-alike of a name is never reached instead of it.
    kivtest::make_directory(wide("Lodz"));
    kivtest::write_file(wide("Lodz\\app.ini"), "old");
    kivtest::write_file(wide("Łódź\\app.ini"), "old");
    EXPECT_EQ(KivCopyFileW(wide("Łódź\\źródło.txt").c_str(), wide("Łódź\\app.ini").c_str(), 1),
              KIVCOPY_OK);
    EXPECT_EQ(kivtest::read_file(wide("Lodz\\app.ini")), "old");
}

TEST_F(WideCopy, CopiesFilesPastMaxPathPlainAndInVerbatimForm) {
    std::wstring deep = kivtest::widen(dir());
    for (int level = 0; deep.size() < 300; ++level) {
        deep += L"\\" + std::wstring(40, static_cast<wchar_t>(L'a' + level));
        kivtest::make_directory(deep);
    }
    const std::wstring source = deep + L"\\source";
    kivtest::write_file(source, "payload");
    const std::wstring targets[] = {deep + L"\\wide", kivtest::verbatim(deep + L"\\wide-verbatim")};
    for (const std::wstring& target : targets) {
        EXPECT_EQ(KivCopyFileW(source.c_str(), target.c_str(), 0), KIVCOPY_OK);
        EXPECT_EQ(KivCopyFileW(source.c_str(), target.c_str(), 0), KIVCOPY_TARGET_EXISTS);
        EXPECT_EQ(kivtest::read_file(target), "payload");
    }
    const std::string narrow_source = kivtest::to_ansi(kivtest::verbatim(source));
    const std::string narrow_target = kivtest::to_ansi(deep + L"\\narrow");
    EXPECT_EQ(KivCopyFile(narrow_source.c_str(), narrow_target.c_str(), 1), KIVCOPY_OK);
    EXPECT_EQ(kivtest::read_file(deep + L"\\narrow"), "payload");
}

// Targets whose names leave no room for the whole hidden name beside them,
// up to the 255 UTF-16 units a name may have, one with a character outside
// the basic plane (two units) where the hidden name's NAME is cut: each is
// installed anew and over an old file, and no hidden file stays. (Wine
// keeps names in the host's file system as UTF-8, 255 bytes at most: the
// names here fit there too.)
TEST_F(WideCopy, InstallsTargetsWithTheLongestNames) {
    const std::wstring folder = wide("long");
    kivtest::make_directory(folder);
    const std::wstring source = wide("source");
    kivtest::write_file(source, "new");
    const std::wstring face = kivtest::widen("\xf0\x9f\x98\x80");  // two units
    const std::wstring straddling = std::wstring(227, L'a') + face + L"z";
    for (const std::wstring& name :
         {std::wstring(230, L'a'), std::wstring(255, L'b'), straddling}) {
        SCOPED_TRACE(name.size());
        const std::wstring target = folder + L"\\" + name;
        EXPECT_EQ(KivInstallFileW(source.c_str(), target.c_str(), 0), KIVCOPY_OK);
        kivtest::write_file(target, "old");
        EXPECT_EQ(KivInstallFileW(source.c_str(), target.c_str(), KIVINSTALL_REPLACE), KIVCOPY_OK);
        EXPECT_EQ(kivtest::read_file(target), "new");
        EXPECT_EQ(kivtest::entries(folder), std::vector<std::wstring>{name});
        ASSERT_TRUE(::DeleteFileW(kivtest::verbatim(target).c_str()));
    }
}

// A file left renamed aside from a target whose name was cut in its hidden
// name (".NAM..kiv-was-" and the digits) cannot tell that target's whole
// name: the next install in the folder leaves it where it is, and puts
// nothing at the cut name.
TEST_F(WideCopy, LeavesAnAsideFileOfACutNameWhereItIs) {
    const std::wstring folder = wide("aside");
    kivtest::make_directory(folder);
    const std::wstring cut(228, L'c');
    const std::wstring aside = L"." + cut + L"..kiv-was-0123456789abcdef";
    kivtest::write_file(folder + L"\\" + aside, "old");
    kivtest::write_file(wide("source"), "new");
    EXPECT_EQ(KivInstallFileW(wide("source").c_str(), (folder + L"\\app.exe").c_str(), 0),
              KIVCOPY_OK);
    std::vector<std::wstring> expected = {aside, L"app.exe"};
    std::sort(expected.begin(), expected.end());
    std::vector<std::wstring> found = kivtest::entries(folder);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, expected);
    EXPECT_EQ(kivtest::read_file(folder + L"\\" + aside), "old");
}

}  // namespace
