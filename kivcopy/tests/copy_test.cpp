// SPDX-License-Identifier: Zlib
// What a copy leaves on disk: contents, the overwrite guard, missing files
// and the copy's times.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "kivcopy.h"
#include "kivtest/files.h"

namespace {

using kivtest::read_file;
using kivtest::Time;
using kivtest::write_file;

class FileCopy : public kivtest::WorkDirTest {
protected:
    int copy(const std::string& source, const std::string& target, int overwrite) {
        return KivCopyFile(source.c_str(), target.c_str(), overwrite);
    }
};

// Bytes of every value, NUL included, in a sequence that does not repeat
// at block boundaries.
std::string sample_bytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    }
    return bytes;
}

TEST_F(FileCopy, CopiesFilesOfEverySizeAroundTheBlockSize) {
    for (std::size_t size : {0u, 1u, 2047u, 2048u, 2049u, 4096u, 700001u}) {
        SCOPED_TRACE(size);
        std::string bytes = sample_bytes(size);
        write_file(path("source"), bytes);
        ASSERT_EQ(copy(path("source"), path("target"), 1), KIVCOPY_OK);
        EXPECT_EQ(read_file(path("target")), bytes);
    }
}

TEST_F(FileCopy, ReplacesALongerTargetWithExactlyTheSource) {
    write_file(path("source"), "short");
    write_file(path("target"), std::string(10000, 'x'));
    ASSERT_EQ(copy(path("source"), path("target"), 1), KIVCOPY_OK);
    EXPECT_EQ(read_file(path("target")), "short");
}

// The access time the source had before the copy read it: one in the
// future, and one older than its modification time, which a read moves
// forward where access times are updated lazily (relatime), and which
// Windows' look at a file's type moves too under Wine.
TEST_F(FileCopy, StampsBothTimesOfTheCopyWithTheSourcesAccessTime) {
    const std::pair<Time, Time> recorded[] = {
        {Time{4000000000, 123456700}, Time{1600000000, 987654300}},
        {Time{1000000000, 123456700}, Time{1200000000, 987654300}},
    };
    for (const auto& [access, modification] : recorded) {
        SCOPED_TRACE(access.seconds);
        write_file(path("source"), sample_bytes(5000));
        kivtest::set_times(path("source"), access, modification);
        ASSERT_EQ(copy(path("source"), path("target"), 1), KIVCOPY_OK);
        EXPECT_EQ(kivtest::access_time(path("target")), access);
        EXPECT_EQ(kivtest::modification_time(path("target")), access);
    }
}

TEST_F(FileCopy, StampsAnEmptyCopyToo) {
    const Time access{3900000000, 100};
    write_file(path("source"), "");
    kivtest::set_times(path("source"), access, Time{1400000100, 200});
    ASSERT_EQ(copy(path("source"), path("target"), 0), KIVCOPY_OK);
    EXPECT_EQ(read_file(path("target")), "");
    EXPECT_EQ(kivtest::modification_time(path("target")), access);
}

TEST_F(FileCopy, LeavesAnExistingTargetAloneUnlessReplacingIsAllowed) {
    write_file(path("source"), "new");
    write_file(path("target"), "old");
    EXPECT_EQ(copy(path("source"), path("target"), 0), KIVCOPY_TARGET_EXISTS);
    EXPECT_EQ(read_file(path("target")), "old");

    EXPECT_EQ(copy(path("source"), path("target"), 7), KIVCOPY_OK);
    EXPECT_EQ(read_file(path("target")), "new");
}

// A copy that is refused leaves its target as it was, or makes none. The
// guard against replacing comes first, before the source is opened.
TEST_F(FileCopy, RefusesWithoutTouchingTheTarget) {
    write_file(path("source"), "data");
    write_file(path("target"), "old");
    kivtest::make_directory(path("folder"));
    const struct {
        std::string source;
        std::string target;
        int overwrite;
        int result;
    } refusals[] = {
        {path("missing"), path("target"), 0, KIVCOPY_TARGET_EXISTS},
        {path("missing"), path("target"), 1, KIVCOPY_SOURCE_NOT_OPENED},
        {path("folder"), path("target"), 1, KIVCOPY_SOURCE_NOT_OPENED},
        {path("missing"), path("new"), 1, KIVCOPY_SOURCE_NOT_OPENED},
        {path("source"), path("no/such/dir/target"), 1, KIVCOPY_TARGET_NOT_WRITTEN},
    };
    for (const auto& refused : refusals) {
        SCOPED_TRACE(refused.source + " to " + refused.target);
        EXPECT_EQ(copy(refused.source, refused.target, refused.overwrite), refused.result);
        EXPECT_EQ(read_file(path("target")), "old");
    }
    EXPECT_FALSE(kivtest::exists(path("new")));
}

TEST_F(FileCopy, FailsOnAReadOnlyTargetWhateverOverwriteSays) {
    write_file(path("source"), "new");
    write_file(path("target"), "old");
    kivtest::UnwritableFile read_only(path("target"));
    if (!read_only.ok()) {
        GTEST_SKIP() << read_only.error();
    }
    EXPECT_EQ(copy(path("source"), path("target"), 0), KIVCOPY_TARGET_NOT_WRITTEN);
    EXPECT_EQ(copy(path("source"), path("target"), 1), KIVCOPY_TARGET_NOT_WRITTEN);
    EXPECT_EQ(read_file(path("target")), "old");
}

// A device is no file to keep or to replace, whatever name it goes by.
TEST_F(FileCopy, RefusesADeviceAsTarget) {
    write_file(path("source"), "data");
#if defined(_WIN32)
    const char* devices[] = {"NUL", "nul.txt", "\\\\.\\NUL"};
#else
    const char* devices[] = {"/dev/null"};
#endif
    for (const char* device : devices) {
        for (int overwrite : {0, 1}) {
            SCOPED_TRACE(std::string(device) + " " + std::to_string(overwrite));
            EXPECT_EQ(copy(path("source"), device, overwrite), KIVCOPY_TARGET_NOT_WRITTEN);
        }
    }
}

// Another program that holds the source or the target open, with the right
// to delete it and sharing it in every way, keeps no one from the file.
TEST_F(FileCopy, CopiesFilesThatAnotherProgramHoldsOpen) {
    write_file(path("source"), "new");
    write_file(path("target"), "old");
    {
        kivtest::SharedHolder source(path("source"));
        kivtest::SharedHolder target(path("target"));
        ASSERT_TRUE(source.ok()) << source.error();
        ASSERT_TRUE(target.ok()) << target.error();
        EXPECT_EQ(copy(path("source"), path("target"), 0), KIVCOPY_TARGET_EXISTS);
        EXPECT_EQ(copy(path("source"), path("target"), 1), KIVCOPY_OK);
    }
    // Read once the holders are gone: the C runtime's own open shares no
    // deleting.
    EXPECT_EQ(read_file(path("target")), "new");
}

TEST_F(FileCopy, AnswersNullPathsWithoutTouchingAnything) {
    write_file(path("source"), "data");
    EXPECT_EQ(KivCopyFile(nullptr, path("target").c_str(), 1), KIVCOPY_SOURCE_NOT_OPENED);
    EXPECT_FALSE(kivtest::exists(path("target")));
    EXPECT_EQ(KivCopyFile(path("source").c_str(), nullptr, 1), KIVCOPY_TARGET_NOT_WRITTEN);
    EXPECT_EQ(KivCopyFile(nullptr, nullptr, 0), KIVCOPY_SOURCE_NOT_OPENED);
    EXPECT_EQ(read_file(path("source")), "data");
}

TEST_F(FileCopy, RefusesToCopyAFileOntoItselfUnderAnyName) {
    const std::string bytes = sample_bytes(3000);
    write_file(path("file"), bytes);
    std::vector<std::string> targets = {path("file"), dir() + "/./file"};
    ASSERT_TRUE(kivtest::hard_link(path("file"), path("hard")));
    targets.push_back(path("hard"));
    if (kivtest::symbolic_link(path("file"), path("soft"))) {
        targets.push_back(path("soft"));
    } else {
        std::printf("symbolic link not tried: this system refused to make one\n");
    }
    kivtest::set_times(path("file"), Time{4000000000, 500}, Time{1500000001, 600});

    for (const std::string& target : targets) {
        SCOPED_TRACE(target);
        EXPECT_EQ(copy(path("file"), target, 1), KIVCOPY_TARGET_NOT_WRITTEN);
        EXPECT_EQ(read_file(path("file")), bytes);
    }
    EXPECT_EQ(kivtest::modification_time(path("file")), (Time{1500000001, 600}));
}

}  // namespace
