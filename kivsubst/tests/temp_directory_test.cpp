// SPDX-License-Identifier: Zlib
// Linux only. Where the temporary file goes and what stops it: TMP on
// another file system, a TMP that no name can be made in, that is a plain
// file, that may not be read or takes no new entries, and processes racing
// for the same names in one TMP.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "subst_faults.h"

namespace {

using kivtest::Call;
using kivtest::read_file;
using kivtest::SubstFault;
using kivtest::write_file;

TEST_F(SubstFault, WritesBackAcrossFileSystems) {
    kivtest::TmpfsMount other(path("tmp"), 16 * 1024 * 1024);
    if (!other.ok()) {
        GTEST_SKIP() << other.error();
    }
    const std::string input = growing_input();
    write_file(path("file"), input);
    EXPECT_EQ(replace(path("file"), "=", "===").result, 0);
    EXPECT_EQ(read_file(path("file")), grown(input));
    EXPECT_TRUE(entries(path("tmp")).empty());
}

// Names are skipped only when they exist or their check is refused: with
// TMP naming a directory that another user may not search, every name is
// refused and none can be made.
TEST_F(SubstFault, ReportsThatNoTemporaryNameCanBeMade) {
    ASSERT_EQ(::chmod(path("tmp").c_str(), 0700), 0);
    write_file(path("file"), "abc");
    ASSERT_EQ(::chmod(path("file").c_str(), 0666), 0);
    std::string why_not;
    int result =
        kivtest::run_as_nobody([&] { return replace(path("file"), "b", "x").result; }, why_not);
    if (result < 0) {
        GTEST_SKIP() << why_not;
    }
    EXPECT_EQ(result, KIVSUBST_NO_TEMP_NAME);
    EXPECT_EQ(read_file(path("file")), "abc");
}

// TMP naming a regular file: no name under it can be checked, but nor is
// any refused, so the first name is used, and creating it fails at once.
TEST_F(SubstFault, ReportsATemporaryDirectoryThatIsAFileAtOnce) {
    write_file(path("plain"), "");
    kivtest::set_environment("TMP", path("plain"));
    write_file(path("file"), "abc");
    Call made = replace(path("file"), "b", "x");
    EXPECT_EQ(made.result, KIVSUBST_NO_TEMP_FILE);
    EXPECT_TRUE(std::regex_match(made.printed, std::regex("Cannot open temporary file " +
                                                          path("plain") + "/KIV[0-9]{1,5}; rc=4\n")))
        << made.printed;
    EXPECT_EQ(read_file(path("file")), "abc");
}

// A directory that may be written and searched but not read (0733) cannot
// be synced through a descriptor of its own; the call makes the new name
// durable another way and succeeds, whether it is TMP or the file's own.
TEST_F(SubstFault, SucceedsInATemporaryDirectoryThatCannotBeRead) {
    kivtest::make_directory(path("drop"));
    ASSERT_EQ(::chmod(path("drop").c_str(), 0733), 0);
    ASSERT_EQ(::chmod(path("tmp").c_str(), 0733), 0);
    write_file(path("drop/file"), "version=1");
    ASSERT_EQ(::chmod(path("drop/file").c_str(), 0666), 0);
    for (bool tmp_set : {true, false}) {
        SCOPED_TRACE(tmp_set ? "TMP" : "the file's own directory");
        std::string why_not;
        int result = kivtest::run_as_nobody(
            [&] {
                if (!tmp_set) {
                    kivtest::unset_environment("TMP");
                }
                return replace(path("drop/file"), "version", "v").result;
            },
            why_not);
        if (result < 0) {
            GTEST_SKIP() << why_not;
        }
        EXPECT_EQ(result, tmp_set ? KIVSUBST_REPLACED : KIVSUBST_NOT_FOUND);
        EXPECT_EQ(read_file(path("drop/file")), "v=1");
        EXPECT_EQ(entries(path("drop")), std::vector<std::string>{"file"});
        EXPECT_TRUE(entries(path("tmp")).empty());
    }
}

TEST_F(SubstFault, ReportsATemporaryFileThatCannotBeCreatedAndNamesIt) {
    kivtest::UnwritableFile locked(path("tmp"));
    if (!locked.ok()) {
        GTEST_SKIP() << locked.error();
    }
    write_file(path("file"), "abc");
    Call made = replace(path("file"), "b", "x");
    EXPECT_EQ(made.result, KIVSUBST_NO_TEMP_FILE);
    EXPECT_TRUE(std::regex_match(made.printed,
                                 std::regex("Cannot open temporary file " + path("tmp") +
                                            "/KIV[0-9]{1,5}; rc=4\n")))
        << made.printed;
    EXPECT_EQ(read_file(path("file")), "abc");
}

// Processes that patch their own files at the same moment, through one TMP,
// race for the same temporary names; exclusive creation gives each its own.
TEST_F(SubstFault, ConcurrentCallsNeverShareATemporaryFile) {
    const int processes = 6;
    const std::string input = growing_input();
    for (int i = 0; i < processes; ++i) {
        write_file(path("file" + std::to_string(i)), input);
    }
    int start[2];
    ASSERT_EQ(::pipe(start), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < processes; ++i) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            char go;
            ::close(start[1]);
            ssize_t ignored = ::read(start[0], &go, 1);  // returns when the parent closes its end
            (void)ignored;
            std::string file = path("file" + std::to_string(i));
            ::_exit(replaceString(file.c_str(), "=", 1, "===", 3));
        }
        children.push_back(child);
    }
    ::close(start[0]);
    ::close(start[1]);
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == KIVSUBST_REPLACED);
    }
    for (int i = 0; i < processes; ++i) {
        EXPECT_EQ(read_file(path("file" + std::to_string(i))), grown(input)) << i;
    }
    EXPECT_TRUE(entries(path("tmp")).empty());
}

}  // namespace
