// SPDX-License-Identifier: Zlib
// Windows only. Copies between paths a Windows user can have: names outside
// the ANSI code page through the wide export, the guard included, and
// paths past MAX_PATH, plain and in \\?\ form, through both exports.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

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

}  // namespace
