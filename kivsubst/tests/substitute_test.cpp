// SPDX-License-Identifier: Zlib
// What a substitution leaves on disk and prints: contents, results, times,
// the file's identity, the temporary file's place, and invalid arguments.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "subst_fixture.h"

namespace {

using kivtest::Call;
using kivtest::read_file;
using kivtest::Time;
using kivtest::write_file;

class Substitution : public kivtest::SubstTest {
protected:
    // Writes `input`, replaces, and returns the file's new content.
    std::string after(const std::string& input, const std::string& pattern,
                      const std::string& replacement, int expected_result) {
        write_file(path("file"), input);
        Call made = replace(path("file"), pattern, replacement);
        EXPECT_EQ(made.result, expected_result) << made.printed;
        EXPECT_EQ(made.printed, "");
        EXPECT_TRUE(entries(path("tmp")).empty()) << "a temporary file was left behind";
        return read_file(path("file"));
    }
};

TEST_F(Substitution, ReplacesEveryOccurrenceFromLeftToRightWithoutOverlap) {
    EXPECT_EQ(after("aaa", "aa", "b", 0), "ba");
    EXPECT_EQ(after("abab", "ab", "X", 0), "XX");
    EXPECT_EQ(after("one two one", "one", "1", 0), "1 two 1");
    EXPECT_EQ(after("xxxab", "ab", "Y", 0), "xxxY");
    EXPECT_EQ(after("a.b.c", ".", "", 0), "abc");
    EXPECT_EQ(after("a.b", ".", "-->", 0), "a-->b");
    EXPECT_EQ(after("aaaa", "a", "aa", 0), "aaaaaaaa");
}

TEST_F(Substitution, LeavesAFileWithoutOccurrencesAsItWas) {
    EXPECT_EQ(after("abc", "abcd", "x", 1), "abc");
    EXPECT_EQ(after("", "a", "x", 1), "");
    EXPECT_EQ(after("hello", "world", "x", 1), "hello");
}

TEST_F(Substitution, ComparesRawBytesIncludingNulAndUtf16Text) {
    const std::string utf16_old("o\0l\0d\0", 6);
    const std::string utf16_new("n\0e\0w\0!\0", 8);
    const std::string file = std::string("\xff\xfe", 2) + "<\0" + utf16_old + ">\0";
    EXPECT_EQ(after(file, utf16_old, utf16_new, 0),
              std::string("\xff\xfe", 2) + "<\0" + utf16_new + ">\0");
    EXPECT_EQ(after(std::string("\0\0\0", 3), std::string("\0", 1), "\x80", 0), "\x80\x80\x80");
}

// Whatever the recorded times are: an access time in the future, and one
// older than the modification time, which a file system that updates
// access times lazily (relatime) moves forward on the next read.
TEST_F(Substitution, RestoresBothTimesToTheirFullPrecision) {
    const std::pair<Time, Time> recorded[] = {
        {Time{4000000000, 111111100}, Time{1400000000, 222222200}},
        {Time{1000000000, 333333300}, Time{1200000000, 444444400}},
    };
    for (const auto& [access, modification] : recorded) {
        for (const char* pattern : {"needle", "absent"}) {
            SCOPED_TRACE(std::string(pattern) + " " + std::to_string(access.seconds));
            write_file(path("file"), "hay needle hay");
            kivtest::set_times(path("file"), access, modification);
            Call made = replace(path("file"), pattern, "pin");
            EXPECT_LE(made.result, 1);
            EXPECT_EQ(kivtest::access_time(path("file")), access);
            EXPECT_EQ(kivtest::modification_time(path("file")), modification);
        }
    }
}

TEST_F(Substitution, KeepsTheFilesHardLinks) {
    write_file(path("file"), "version=1");
    ASSERT_TRUE(kivtest::hard_link(path("file"), path("link")));
    EXPECT_EQ(replace(path("file"), "1", "2").result, 0);
    EXPECT_EQ(read_file(path("link")), "version=2");
}

TEST_F(Substitution, PatchesTheTargetOfASymbolicLink) {
    write_file(path("real"), "old");
    if (!kivtest::symbolic_link(path("real"), path("alias"))) {
        GTEST_SKIP() << "this system refused to make a symbolic link";
    }
    EXPECT_EQ(replace(path("alias"), "old", "new").result, 0);
    EXPECT_EQ(read_file(path("real")), "new");
}

TEST_F(Substitution, WorksWithTheTemporaryFileOnAnyOfItsPlaces) {
    // TMP in quotes; TMP naming nothing, and no TMP at all, both of which
    // put it in the file's own directory, here named by a relative path.
    // (A path without a directory part sends it to the root directory, a
    // rule that TempName's tests check without writing there.)
    for (const std::string& tmp : {"\"" + path("tmp") + "\"", path("missing"), std::string()}) {
        SCOPED_TRACE(tmp);
        write_file(path("file"), "from A to B");
        const std::string here = kivtest::current_directory();
        ASSERT_TRUE(kivtest::change_directory(dir()));
        Call made = replace_with_tmp(tmp.empty() ? std::nullopt : std::optional<std::string>(tmp),
                                     "./file", "A", "Z");
        ASSERT_TRUE(kivtest::change_directory(here));
        EXPECT_EQ(made.result, 0) << made.printed;
        EXPECT_EQ(read_file(path("file")), "from Z to B");
        EXPECT_EQ(entries(dir()).size(), 2u) << "a temporary file was left behind";
    }
}

// Another program that holds the file open, with the right to delete it
// and sharing it in every way, keeps no one from patching it.
TEST_F(Substitution, PatchesAFileThatAnotherProgramHoldsOpen) {
    write_file(path("file"), "version=1");
    {
        kivtest::SharedHolder holder(path("file"));
        ASSERT_TRUE(holder.ok()) << holder.error();
        Call made = replace(path("file"), "1", "2");
        EXPECT_EQ(made.result, KIVSUBST_REPLACED) << made.printed;
    }
    // Read once the holder is gone: the C runtime's own open shares no
    // deleting.
    EXPECT_EQ(read_file(path("file")), "version=2");
}

#if defined(_WIN32)
// "C:app.ini" names app.ini in the current folder of drive C. With TMP
// unset the temporary file goes to "C:" joined with its name, the drive's
// root, as the temporary-name rule has it; the file itself is the one the
// caller named, never "C:/app.ini" in that root.
TEST_F(Substitution, PatchesTheFileADriveRelativeNameStandsFor) {
    write_file(path("app.ini"), "version=1");
    const std::string drive_relative = dir().substr(0, 2) + "app.ini";
    const std::string here = kivtest::current_directory();
    ASSERT_TRUE(kivtest::change_directory(dir()));
    Call made = replace_with_tmp(std::nullopt, drive_relative, "1", "2");
    ASSERT_TRUE(kivtest::change_directory(here));
    EXPECT_EQ(made.result, KIVSUBST_REPLACED) << made.printed;
    EXPECT_EQ(read_file(path("app.ini")), "version=2");
}

TEST_F(Substitution, RefusesADeviceAsTheFile) {
    for (const char* device : {"NUL", "nul.txt", "\\\\.\\NUL"}) {
        Call made = replace(device, "a", "b");
        EXPECT_EQ(made.result, KIVSUBST_CANNOT_OPEN) << device;
        EXPECT_EQ(made.printed, std::string("Cannot open ") + device + "; rc=3\n");
    }
    EXPECT_TRUE(entries(path("tmp")).empty());
}
#endif

TEST_F(Substitution, ReportsAFileThatCannotBeOpened) {
    Call missing = replace(path("missing"), "a", "b");
    EXPECT_EQ(missing.result, KIVSUBST_CANNOT_OPEN);
    EXPECT_EQ(missing.printed, "Cannot open " + path("missing") + "; rc=3\n");

    kivtest::make_directory(path("folder"));
    Call folder = replace(path("folder"), "a", "b");
    EXPECT_EQ(folder.result, KIVSUBST_CANNOT_OPEN);
    EXPECT_EQ(folder.printed, "Cannot open " + path("folder") + "; rc=3\n");
    EXPECT_TRUE(entries(path("tmp")).empty());
}

TEST_F(Substitution, RefusesInvalidArgumentsWithoutTouchingAnything) {
    write_file(path("file"), "abc");
    const std::string file = path("file");
    const Call calls[] = {
        call(nullptr, "a", 1, "b", 1),
        call(file.c_str(), nullptr, 1, "b", 1),
        call(file.c_str(), "a", 0, "b", 1),
        call(file.c_str(), "a", -1, "b", 1),
        call(file.c_str(), "a", 1, "b", -1),
        call(file.c_str(), "a", 1, nullptr, 1),
    };
    for (const Call& made : calls) {
        EXPECT_EQ(made.result, KIVSUBST_INVALID_ARGUMENT);
        EXPECT_EQ(made.printed, "Invalid argument; rc=8\n");
    }
    EXPECT_EQ(read_file(file), "abc");
    EXPECT_TRUE(entries(path("tmp")).empty());

    // No replacement at all is fine when its length is 0.
    EXPECT_EQ(call(file.c_str(), "b", 1, nullptr, 0).result, 0);
    EXPECT_EQ(read_file(file), "ac");
}

}  // namespace
