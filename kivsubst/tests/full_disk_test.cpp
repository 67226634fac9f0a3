// SPDX-License-Identifier: Zlib
// Linux only. Substitutions on full disks and into files that cannot be
// written: the temporary file cut short, a disk found full before the file
// is overwritten, a file that shrinks on a full disk, and a file that
// refuses the write-back. The file keeps its old content, or the kept
// temporary file holds the complete result.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "subst_faults.h"

namespace {

using kivtest::Call;
using kivtest::read_file;
using kivtest::SubstFault;
using kivtest::write_file;

TEST_F(SubstFault, LeavesTheFileAloneWhenTheTemporaryFileCannotBeWrittenInFull) {
    kivtest::TmpfsMount small(path("tmp"), 64 * 1024);
    if (!small.ok()) {
        GTEST_SKIP() << small.error();
    }
    std::string filler = kivtest::fill_file_system(path("tmp"));
    const std::string input = growing_input();
    write_file(path("file"), input);

    Call made = replace(path("file"), "=", "===");
    EXPECT_EQ(made.result, KIVSUBST_COPY_ERROR);
    EXPECT_EQ(made.printed, "File copy error\n");
    EXPECT_EQ(read_file(path("file")), input);
    EXPECT_EQ(entries(path("tmp")), std::vector<std::string>{"filler"});
}

TEST_F(SubstFault, FindsAFullDiskBeforeOverwritingTheFileAndKeepsTheResult) {
    const std::string input = growing_input();
    auto small = full_disk_holding(input);
    if (!small->ok()) {
        GTEST_SKIP() << small->error();
    }

    Call made = replace(path("small/file"), "=", "===");
    EXPECT_EQ(made.result, KIVSUBST_COPY_ERROR);
    EXPECT_EQ(made.printed, "File copy error\n");
    EXPECT_EQ(read_file(path("small/file")), input);
    EXPECT_EQ(read_file(kept_temporary()), grown(input));
}

TEST_F(SubstFault, ShrinksAFileOnAFullDisk) {
    const std::string input = growing_input();
    auto small = full_disk_holding(input);
    if (!small->ok()) {
        GTEST_SKIP() << small->error();
    }

    EXPECT_EQ(replace(path("small/file"), "key=", "k").result, 0);
    EXPECT_EQ(read_file(path("small/file")), kivtest::reference_substitution(input, "key=", "k").output);
    EXPECT_TRUE(entries(path("tmp")).empty());
}

TEST_F(SubstFault, KeepsTheResultWhenTheFileCannotBeOverwritten) {
    write_file(path("file"), "old text");
    kivtest::UnwritableFile read_only(path("file"));
    if (!read_only.ok()) {
        GTEST_SKIP() << read_only.error();
    }
    Call made = replace(path("file"), "old", "new");
    EXPECT_EQ(made.result, KIVSUBST_COPY_ERROR);
    EXPECT_EQ(made.printed, "File copy error\n");
    EXPECT_EQ(read_file(path("file")), "old text");
    EXPECT_EQ(read_file(kept_temporary()), "new text");
}

}  // namespace
