// SPDX-License-Identifier: Zlib
// Linux only. The library's parts meeting what only Linux can stage: a
// scan whose input fails to read and whose output meets a full disk, a
// directory in which every name's check is refused, and the temporary
// file's mode.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "internal_fixtures.h"
#include "kivtest/faults.h"
#include "tempname.h"

namespace {

using kivsubst::ScanOutcome;
using kivsubst::Scanner;
using kivsubst::platform::Creation;
using kivsubst::platform::Directory;
using kivsubst::platform::File;
using kivtest::Scan;
using kivtest::TempName;
namespace tempname = kivsubst::tempname;

TEST_F(Scan, ReportsAFailedReadAndAFailedWrite) {
    const std::string pattern = "a";
    const std::string replacement = "b";
    Scanner scanner(bytes_of(pattern), bytes_of(replacement), 64);
    Creation created = Creation::failed;
    File unreadable = File::open_for_reading("/proc/self/mem");
    ASSERT_TRUE(unreadable.is_open());
    File sink = File::create_new(path("sink"), created);
    EXPECT_EQ(scanner.run(unreadable, 100, sink).kind, ScanOutcome::Kind::read_failed);

    kivtest::TmpfsMount small(path("small"), 64 * 1024);
    if (!small.ok()) {
        GTEST_SKIP() << small.error();
    }
    File full = File::create_new(path("small/output"), created);
    ASSERT_TRUE(full.is_open());
    kivtest::fill_file_system(path("small"));
    kivtest::write_file(path("input"), std::string(1000, 'a'));
    File input = File::open_for_reading(path("input"));
    EXPECT_EQ(scanner.run(input, 1000, full).kind, ScanOutcome::Kind::write_failed);
}

// Names whose check is refused for lack of access are skipped, all the way
// round the circle.
TEST_F(TempName, GivesUpAfterAFullCircleOfNamesWhoseCheckIsRefused) {
    kivtest::make_directory(path("sealed"));
    ASSERT_EQ(::chmod(path("sealed").c_str(), 0600), 0);
    std::string why_not;
    int outcome = kivtest::run_as_nobody(
        [&] {
            Directory sealed = Directory::open(path("sealed"));
            return tempname::next_free_name(sealed) ? 1 : 0;
        },
        why_not);
    if (outcome < 0) {
        GTEST_SKIP() << why_not;
    }
    EXPECT_EQ(outcome, 0);
}

TEST_F(TempName, CreatesTheFileForItsOwnerOnly) {
    Creation outcome = Creation::failed;
    File file = File::create_new(path("tmp/KIV8"), outcome);
    ASSERT_EQ(outcome, Creation::created);
    EXPECT_EQ(kivtest::status_of(path("tmp/KIV8")).st_mode & 07777, 0600u);
}

}  // namespace
