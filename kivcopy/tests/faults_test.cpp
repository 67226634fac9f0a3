// SPDX-License-Identifier: Zlib
// Linux only. Copies that meet real faults: full disks, sources that fail
// to read, times that another user may not set, files that are not regular
// files, and sizes past 4 GiB; and targets that someone else prepared:
// write-only files, links to nothing, files that appear while the copy runs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>

#include "kivcopy.h"
#include "kivtest/faults.h"
#include "kivtest/files.h"

namespace {

using kivtest::read_file;
using kivtest::write_file;

class CopyFault : public kivtest::WorkDirTest {
protected:
    // The permission bits of a file.
    static unsigned mode_of(const std::string& file) {
        return kivtest::status_of(file).st_mode & 07777;
    }

    // Whether nobody's copy of source to `target` gives `expected`;
    // nullopt, with `why_not` set, when the test cannot run as that user.
    std::optional<bool> copy_as_nobody_gives(int expected, const std::string& target,
                                             int overwrite, std::string& why_not) const {
        const int outcome = kivtest::run_as_nobody(
            [&] {
                return KivCopyFile(path("source").c_str(), target.c_str(), overwrite) == expected
                           ? 0
                           : 1;
            },
            why_not);
        return outcome < 0 ? std::nullopt : std::optional<bool>(outcome == 0);
    }
};

// A target that its user may write but not read is still an existing
// target: without overwrite it is left alone, like any other.
TEST_F(CopyFault, LeavesATargetAloneThatCanBeWrittenButNotRead) {
    write_file(path("source"), "new");
    write_file(path("target"), "keep me");
    ASSERT_EQ(::chmod(path("target").c_str(), 0222), 0);
    std::string why_not;
    const auto gave = copy_as_nobody_gives(KIVCOPY_TARGET_EXISTS, path("target"), 0, why_not);
    if (!gave) {
        GTEST_SKIP() << why_not;
    }
    EXPECT_TRUE(*gave) << "the guard let a write-only target be replaced";
    EXPECT_EQ(read_file(path("target")), "keep me");
}

// A new copy has the source's permission bits less the umask, as cp makes
// it: a program stays runnable, a private file stays private. The set-ID
// and sticky bits are not carried over, since the copy belongs to the
// caller, not to the source's owner. A replaced target keeps its own mode.
TEST_F(CopyFault, GivesANewCopyTheSourcesPermissionBits) {
    const mode_t saved_umask = ::umask(022);
    for (unsigned source_mode : {0755u, 0600u, 0644u, 04775u}) {
        SCOPED_TRACE(source_mode);
        write_file(path("source"), "bits");
        ASSERT_EQ(::chmod(path("source").c_str(), source_mode), 0);
        std::remove(path("copy").c_str());
        ASSERT_EQ(KivCopyFile(path("source").c_str(), path("copy").c_str(), 0), KIVCOPY_OK);
        EXPECT_EQ(mode_of(path("copy")), source_mode & 0755);
    }
    write_file(path("existing"), "old");
    ASSERT_EQ(::chmod(path("existing").c_str(), 0640), 0);
    ASSERT_EQ(KivCopyFile(path("source").c_str(), path("existing").c_str(), 1), KIVCOPY_OK);
    EXPECT_EQ(mode_of(path("existing")), 0640u);
    ::umask(saved_umask);
}

// A link to nothing, planted where the copy goes, would make the copy
// create a file wherever the link points. Neither mode writes through it;
// a link to an existing file is written through when replacing is allowed.
TEST_F(CopyFault, NeverWritesThroughALinkToNothing) {
    write_file(path("source"), "payload");
    kivtest::make_directory(path("elsewhere"));
    ASSERT_EQ(::symlink(path("elsewhere/chosen").c_str(), path("planted").c_str()), 0);
    for (int overwrite : {0, 1}) {
        EXPECT_EQ(KivCopyFile(path("source").c_str(), path("planted").c_str(), overwrite),
                  KIVCOPY_TARGET_NOT_WRITTEN);
        EXPECT_FALSE(kivtest::exists(path("elsewhere/chosen")));
    }
    write_file(path("elsewhere/real"), "old");
    ASSERT_EQ(::symlink(path("elsewhere/real").c_str(), path("link").c_str()), 0);
    EXPECT_EQ(KivCopyFile(path("source").c_str(), path("link").c_str(), 1), KIVCOPY_OK);
    EXPECT_EQ(read_file(path("elsewhere/real")), "payload");
}

// Someone creates the target between the guard's look and the copy's own
// open (here: as the copy opens its source). Without overwrite the copy
// must not write into that file, which its maker could then read.
TEST_F(CopyFault, NeverWritesIntoATargetThatAppearsAfterTheGuard) {
    write_file(path("source"), "root's secret");
    const std::string source = path("source");
    kivtest::OpenHook plant([&](const std::string& opened, int) { return opened == source; },
                            [&] { write_file(path("target"), "attacker's"); });
    EXPECT_EQ(KivCopyFile(source.c_str(), path("target").c_str(), 0), KIVCOPY_TARGET_EXISTS);
    EXPECT_TRUE(plant.fired());
    EXPECT_EQ(read_file(path("target")), "attacker's");
}

TEST_F(CopyFault, ReportsAWriteThatFailsOnAFullDisk) {
    kivtest::TmpfsMount small(path("small"), 256 * 1024);
    if (!small.ok()) {
        GTEST_SKIP() << small.error();
    }
    const std::string target = path("small/target");
    write_file(target, "");
    kivtest::fill_file_system(path("small"));
    // A small copy fails when the target is closed and its buffer flushed;
    // a large one fails on a write in the middle of the copy.
    for (std::size_t size : {std::size_t{10}, std::size_t{3} * 1024 * 1024}) {
        SCOPED_TRACE(size);
        write_file(path("source"), std::string(size, 'x'));
        EXPECT_EQ(KivCopyFile(path("source").c_str(), target.c_str(), 1),
                  KIVCOPY_TARGET_NOT_WRITTEN);
        EXPECT_EQ(read_file(path("source")), std::string(size, 'x'));
    }
}

TEST_F(CopyFault, RefusesSourcesAndTargetsThatAreNotRegularFiles) {
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0666), 0);
    write_file(path("source"), "data");
    // Neither a FIFO without a writer nor a device may hold up the call.
    EXPECT_EQ(KivCopyFile(path("fifo").c_str(), path("target").c_str(), 1),
              KIVCOPY_SOURCE_NOT_OPENED);
    EXPECT_EQ(KivCopyFile("/dev/zero", path("target").c_str(), 1), KIVCOPY_SOURCE_NOT_OPENED);
    EXPECT_FALSE(kivtest::exists(path("target")));
    EXPECT_EQ(KivCopyFile(path("source").c_str(), path("fifo").c_str(), 1),
              KIVCOPY_TARGET_NOT_WRITTEN);
    EXPECT_EQ(KivCopyFile(path("source").c_str(), "/dev/null", 1), KIVCOPY_TARGET_NOT_WRITTEN);
}

// A target that is a link to someone's terminal is not a file to probe:
// a privileged caller that leads a session without a terminal (a service,
// a setsid'ed job) would take that terminal as its own by opening it, and
// its owner could then stop or interrupt the caller. Neither the guard nor
// the copy opens it, and the copy is refused as for any target that is not
// a regular file.
TEST_F(CopyFault, NeverOpensATerminalAtTheTarget) {
    kivtest::PseudoTerminal terminal;
    if (!terminal.ok()) {
        GTEST_SKIP() << terminal.error();
    }
    write_file(path("source"), "data");
    ASSERT_EQ(::symlink(terminal.path().c_str(), path("target").c_str()), 0);
    std::string why_not;
    const auto called = kivtest::call_without_a_terminal(
        [&] {
            bool refused = true;
            for (int overwrite : {0, 1}) {
                if (KivCopyFile(path("source").c_str(), path("target").c_str(), overwrite) !=
                    KIVCOPY_TARGET_NOT_WRITTEN) {
                    refused = false;
                }
            }
            return refused;
        },
        why_not);
    if (!called) {
        GTEST_SKIP() << why_not;
    }
    EXPECT_TRUE(called->answered) << "a terminal was taken for a target to keep or to replace";
    EXPECT_FALSE(called->took_a_terminal) << "the copy made the terminal its caller's own";
}

// Names with spaces, quotes and bytes that are not ASCII are passed to the
// system unchanged.
TEST_F(CopyFault, CopiesBetweenPathsWithSpacesQuotesAndOtherBytes) {
    const std::string odd = path("a dir 'with' \"quotes\" \xc3\xa9\xff");
    kivtest::make_directory(odd);
    write_file(odd + "/source \x01", "payload");
    EXPECT_EQ(KivCopyFile((odd + "/source \x01").c_str(), (odd + "/target \"2\"").c_str(), 0),
              KIVCOPY_OK);
    EXPECT_EQ(read_file(odd + "/target \"2\""), "payload");
}

TEST_F(CopyFault, ReportsASourceThatFailsToRead) {
    // Reading a process's memory at address 0 fails with an I/O error.
    EXPECT_EQ(KivCopyFile("/proc/self/mem", path("target").c_str(), 1), KIVCOPY_SOURCE_NOT_READ);
    EXPECT_EQ(read_file(path("target")), "");
}

// Another user may write a world-writable file but not set its times.
TEST_F(CopyFault, ReportsTimesThatCannotBeSetAfterACompleteCopy) {
    write_file(path("source"), "payload");
    write_file(path("target"), "");
    ASSERT_EQ(::chmod(path("target").c_str(), 0666), 0);

    std::string why_not;
    const auto gave = copy_as_nobody_gives(KIVCOPY_TIMES_NOT_SET, path("target"), 1, why_not);
    if (!gave) {
        GTEST_SKIP() << why_not;
    }
    EXPECT_TRUE(*gave) << "the copy did not report its times as not set";
    EXPECT_EQ(read_file(path("target")), "payload");
}

// On a full disk the close of the target fails; another user may not set
// its times either, and that failure is the one reported.
TEST_F(CopyFault, ReportsTimesNotSetOverAFailedClose) {
    kivtest::TmpfsMount small(path("small"), 256 * 1024);
    if (!small.ok()) {
        GTEST_SKIP() << small.error();
    }
    const std::string target = path("small/target");
    write_file(target, "");
    ASSERT_EQ(::chmod(target.c_str(), 0666), 0);
    kivtest::fill_file_system(path("small"));
    write_file(path("source"), "payload");
    std::string why_not;
    const auto gave = copy_as_nobody_gives(KIVCOPY_TIMES_NOT_SET, target, 1, why_not);
    if (!gave) {
        GTEST_SKIP() << why_not;
    }
    EXPECT_TRUE(*gave) << "a failed close hid that the times were not set";
}

// Sizes and offsets are 64-bit: a file past 4 GiB arrives whole, with its
// bytes on both sides of the 4 GiB mark in place. The source is sparse, and
// so is its copy; both live in memory, so the test costs no disk.
TEST_F(CopyFault, CopiesAFileLargerThanFourGiB) {
    const long long four_gib = 4LL * 1024 * 1024 * 1024;
    kivtest::TmpfsMount memory(path("mem"), static_cast<unsigned long long>(four_gib) * 3);
    if (!memory.ok()) {
        GTEST_SKIP() << memory.error();
    }
    const std::string source = memory.directory() + "/source";
    const std::string target = memory.directory() + "/target";
    kivtest::write_at(source, 0, "head");
    kivtest::write_at(source, four_gib - 2, "mark");
    kivtest::write_at(source, four_gib + 100, "tail");

    ASSERT_EQ(KivCopyFile(source.c_str(), target.c_str(), 1), KIVCOPY_OK);
    ASSERT_EQ(kivtest::file_size(target), four_gib + 104);
    EXPECT_EQ(kivtest::read_at(target, 0, 4), "head");
    EXPECT_EQ(kivtest::read_at(target, four_gib - 2, 4), "mark");
    EXPECT_EQ(kivtest::read_at(target, four_gib + 100, 4), "tail");
    EXPECT_LT(kivtest::status_of(target).st_blocks, 2048) << "the copy's holes were filled";
}

}  // namespace
