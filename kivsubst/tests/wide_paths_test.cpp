// SPDX-License-Identifier: Zlib
// Windows only. Every path a Windows user can have: names outside the ANSI
// code page through the wide export, TMP outside it for both exports, paths
// past MAX_PATH plain and in \\?\ form, and narrow paths in a double-byte
// code page whose characters end in the byte of a backslash.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kivtest/holder.h"
#include "kivtest/programs.h"
#include "kivtest/wide.h"
#include "subst_fixture.h"

namespace {

using kivtest::widen;

class WidePaths : public kivtest::SubstTest {
protected:
    // A path in the work directory, from a name in UTF-8 or, for ansi(),
    // in the ANSI code page.
    std::wstring wide(const std::string& name) const { return kivtest::wide_path(dir(), name); }
    std::wstring ansi(const std::string& name) const {
        return widen(dir()) + L"\\" + kivtest::from_ansi(name);
    }

    // A call of the wide export that captures its line.
    static kivtest::Call replace_wide(const std::wstring& file, const std::string& pattern,
                                      const std::string& replacement) {
        ::testing::internal::CaptureStdout();
        kivtest::Call made;
        made.result = replaceStringW(file.c_str(), pattern.data(),
                                     static_cast<int32_t>(pattern.size()), replacement.data(),
                                     static_cast<int32_t>(replacement.size()));
        made.printed = ::testing::internal::GetCapturedStdout();
        return made;
    }

    // A directory under the work directory whose path is longer than
    // MAX_PATH, made one level at a time.
    std::wstring deep_directory() const {
        std::wstring deep = widen(dir());
        for (int level = 0; deep.size() < 300; ++level) {
            deep += L"\\" + std::wstring(40, static_cast<wchar_t>(L'a' + level));
            kivtest::make_directory(deep);
        }
        return deep;
    }
};

// Folders named in scripts that code page 1252 cannot write, and one whose
// best-fit look-alike exists beside it ("Łódź" and "Lodz"): the wide export
// patches the one it is given and never the look-alike.
TEST_F(WidePaths, PatchesFilesInFoldersNamedOutsideTheCodePage) {
    kivtest::make_directory(wide("Lodz"));
    kivtest::write_file(wide("Lodz\\app.ini"), "version=1");
    for (const char* folder : {"Кириллица", "漢字フォルダ", "emoji 😀", "Łódź"}) {
        SCOPED_TRACE(folder);
        const std::wstring directory = wide(folder);
        kivtest::make_directory(directory);
        kivtest::write_file(directory + L"\\app.ini", "version=1");
        kivtest::Call made = replace_wide(directory + L"\\app.ini", "1", "2");
        EXPECT_EQ(made.result, KIVSUBST_REPLACED) << made.printed;
        EXPECT_EQ(kivtest::read_file(directory + L"\\app.ini"), "version=2");
    }
    EXPECT_EQ(kivtest::read_file(wide("Lodz\\app.ini")), "version=1");
    EXPECT_TRUE(entries(path("tmp")).empty());
}

// A path in a line is written in the ANSI code page, '?' for what it cannot
// write, as the narrow export writes it.
TEST_F(WidePaths, WritesPathsInItsLinesInTheAnsiCodePage) {
    if (::GetACP() != 1252) {
        GTEST_SKIP() << "the line is checked under code page 1252; this run has " << ::GetACP();
    }
    kivtest::Call made = replace_wide(wide("Łódź\\missing"), "a", "b");
    EXPECT_EQ(made.result, KIVSUBST_CANNOT_OPEN);
    EXPECT_EQ(made.printed, "Cannot open " + dir() + "\\?\xf3" "d?\\missing; rc=3\n");
}

// TMP is read as UTF-16, so a TMP that the code page cannot write works for
// the narrow export too. A TMP that names a plain file shows that it was
// read: the temporary file cannot be made there (4). The calls print
// straight to standard output: capturing it would need a TMP that the
// test framework's narrow functions can reach.
TEST_F(WidePaths, TakesATmpNamedOutsideTheCodePage) {
    const std::wstring tmp = wide("врем");
    kivtest::make_directory(tmp);
    kivtest::write_file(path("file"), "version=1");
    const std::wstring file = wide("file");
    {
        kivtest::ScopedWideEnvironment set(L"TMP", &tmp);
        EXPECT_EQ(replaceString(path("file").c_str(), "1", 1, "2", 1), KIVSUBST_REPLACED);
        EXPECT_EQ(replaceStringW(file.c_str(), "2", 1, "3", 1), KIVSUBST_REPLACED);
    }
    EXPECT_EQ(kivtest::read_file(path("file")), "version=3");
    EXPECT_TRUE(kivtest::entries(tmp).empty());

    const std::wstring plain = wide("файл");
    kivtest::write_file(plain, "");
    kivtest::ScopedWideEnvironment set(L"TMP", &plain);
    EXPECT_EQ(replaceString(path("file").c_str(), "3", 1, "4", 1), KIVSUBST_NO_TEMP_FILE);
}

// Past MAX_PATH, plain and in \\?\ form, through both exports; and a TMP in
// \\?\ form, which takes only '\' as a separator.
TEST_F(WidePaths, ReachesFilesPastMaxPathAndTmpInVerbatimForm) {
    const std::wstring file = deep_directory() + L"\\app.ini";
    ASSERT_GT(file.size(), static_cast<std::size_t>(MAX_PATH));
    kivtest::write_file(file, "version=1");
    EXPECT_EQ(replace_wide(file, "1", "2").result, KIVSUBST_REPLACED);
    EXPECT_EQ(replace_wide(kivtest::verbatim(file), "2", "3").result, KIVSUBST_REPLACED);
    EXPECT_EQ(replace(kivtest::to_ansi(file), "3", "4").result, KIVSUBST_REPLACED);
    EXPECT_EQ(replace(kivtest::to_ansi(kivtest::verbatim(file)), "4", "5").result,
              KIVSUBST_REPLACED);
    EXPECT_EQ(kivtest::read_file(file), "version=5");

    const std::wstring tmp = kivtest::verbatim(wide("tmp"));
    kivtest::ScopedWideEnvironment set(L"TMP", &tmp);
    EXPECT_EQ(replace(kivtest::to_ansi(file), "5", "6").result, KIVSUBST_REPLACED);
    EXPECT_EQ(kivtest::read_file(file), "version=6");
    EXPECT_TRUE(entries(path("tmp")).empty());
}

// The lead byte of a double-byte character, as Shift-JIS (code page 932)
// writes it, followed by the byte of a backslash: ソ is 83 5C, 表 is 95 5C.
// Held open without write sharing, the file cannot be written back (7) and
// the temporary file is kept, which shows where it was made.
TEST_F(WidePaths, SplitsNarrowPathsInADoubleByteCodePageByCharacters) {
    if (::GetACP() != 932) {
        GTEST_SKIP() << "needs code page 932: run on its own as "
                        "kivsubst_narrow_paths_under_code_page_932";
    }
    const std::string so = "\x83\x5c";
    const std::string hyo = "\x95\x5c";
    kivtest::make_directory(path("tmp" + so));
    kivtest::write_file(path(hyo), "version=1");
    {
        kivtest::ScopedEnvironment tmp("TMP", path("tmp" + so));
        {
            kivtest::UnwritableFile held(path(hyo));
            ASSERT_TRUE(held.ok()) << held.error();
            EXPECT_EQ(replace(path(hyo), "1", "2").result, KIVSUBST_COPY_ERROR);
        }
        std::vector<std::wstring> kept = kivtest::entries(ansi("tmp" + so));
        ASSERT_EQ(kept.size(), 1u) << "the temporary file was made elsewhere";
        EXPECT_EQ(kivtest::read_file(ansi("tmp" + so) + L"\\" + kept[0]), "version=2");
        ::DeleteFileW((ansi("tmp" + so) + L"\\" + kept[0]).c_str());
        EXPECT_EQ(replace(path(hyo), "1", "2").result, KIVSUBST_REPLACED);
    }
    // With TMP unset the temporary file goes beside the file, in its own
    // folder, never in the drive's root.
    const std::string soft = so + "\x83\x74\x83\x67.ini";
    kivtest::write_file(path(soft), "version=1");
    kivtest::ScopedEnvironment no_tmp("TMP", std::nullopt);
    EXPECT_EQ(replace(path(hyo), "2", "3").result, KIVSUBST_REPLACED);
    EXPECT_EQ(kivtest::read_file(path(hyo)), "version=3");
    {
        kivtest::UnwritableFile held(path(soft));
        ASSERT_TRUE(held.ok()) << held.error();
        EXPECT_EQ(replace(path(soft), "1", "2").result, KIVSUBST_COPY_ERROR);
    }
    std::vector<std::wstring> beside;
    for (const std::wstring& name : kivtest::entries(widen(dir()))) {
        if (name.rfind(L"KIV", 0) == 0) {
            beside.push_back(name);
        }
    }
    EXPECT_EQ(beside.size(), 1u) << "the temporary file was not made beside the file";
}

// Another program that maps the file, or locks a part of it, would stop a
// shorter result from being cut to its length, or a write midway: the
// write-back finds out before it writes anything, gives 7, and leaves the
// file byte for byte as it was, the result kept in the KIVn file. The front
// end says where that is.
TEST_F(WidePaths, FailsBeforeWritingAFileThatAnotherProgramMapsOrLocks) {
    using Way = kivtest::HeldByAnotherProcess::Way;
    const std::string before = "key=old-old-old\r\nline2\r\nold-old-old\r\nline2\r\n";
    const std::string after = "key=n\r\nline2\r\nn\r\nline2\r\n";
    for (const Way way : {Way::map, Way::lock}) {
        SCOPED_TRACE(way == Way::map ? "mapped" : "locked");
        const std::wstring file = wide("f.ini");
        kivtest::write_file(file, before);
        kivtest::HeldByAnotherProcess holder(way, file);
        ASSERT_TRUE(holder.ok()) << holder.error();
        const kivtest::Call made = replace_wide(file, "old-old-old", "n");
        EXPECT_EQ(made.result, KIVSUBST_COPY_ERROR) << made.printed;
        EXPECT_EQ(kivtest::read_file(file), before);
        const kivtest::ProgramRun run = kivtest::run_program(
            KIVSUBST_CLI_PATH, {"--", "old-old-old", "n", path("f.ini")}, {"TMP=" + path("tmp")});
        EXPECT_EQ(run.exit_status, KIVSUBST_COPY_ERROR) << run.err;
        EXPECT_NE(run.err.find("the result is kept in"), std::string::npos) << run.err;
        EXPECT_EQ(kivtest::read_file(file), before);
        int kept = 0;
        for (const std::string& name : entries(path("tmp"))) {
            if (name.rfind("KIV", 0) == 0) {
                EXPECT_EQ(kivtest::read_file(path("tmp\\" + name)), after) << name;
                ++kept;
                std::remove(path("tmp\\" + name).c_str());
            }
        }
        EXPECT_EQ(kept, 2) << "one result kept by the call, one by the front end";
    }
}

}  // namespace
