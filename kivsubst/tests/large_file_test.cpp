// SPDX-License-Identifier: Zlib
// Linux only. A file past 4 GiB, written whole into memory: a program of its
// own, labelled large, so that the everyday run can leave it out.
#include <gtest/gtest.h>

#include <string>

#include "subst_faults.h"

namespace {

using kivtest::Call;
using kivtest::SubstFault;

// Lengths are 64-bit: a file past 4 GiB is scanned and written back whole,
// with an occurrence across the 4 GiB mark replaced. The file starts sparse
// and lives in memory, so the test costs no disk.
TEST_F(SubstFault, PatchesAFileLargerThanFourGiB) {
    const long long four_gib = 4LL * 1024 * 1024 * 1024;
    kivtest::TmpfsMount memory(path("mem"), 10ull << 30);
    if (!memory.ok()) {
        GTEST_SKIP() << memory.error();
    }
    kivtest::set_environment("TMP", memory.directory());
    const std::string file = memory.directory() + "/file";
    kivtest::write_at(file, 0, "head");
    kivtest::write_at(file, four_gib - 2, "mark");
    kivtest::write_at(file, four_gib + 100, "tail");

    Call made = replace(file, "mark", "MARKED");
    ASSERT_EQ(made.result, 0) << made.printed;
    ASSERT_EQ(kivtest::file_size(file), four_gib + 106);
    EXPECT_EQ(kivtest::read_at(file, 0, 4), "head");
    EXPECT_EQ(kivtest::read_at(file, four_gib - 2, 6), "MARKED");
    EXPECT_EQ(kivtest::read_at(file, four_gib + 102, 4), "tail");
}

}  // namespace
