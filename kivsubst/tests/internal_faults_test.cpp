// SPDX-License-Identifier: Zlib
// Linux only. The library's parts meeting what only Linux can stage: a
// scan whose input fails to read and whose output meets a full disk, a
// directory in which every name's check is refused, the temporary file's
// mode, and a batch whose sync of one file, or of its file system, fails.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "batch.h"
#include "internal_fixtures.h"
#include "kivtest/faults.h"
#include "kivsubst.h"
#include "tempname.h"

namespace {

using kivsubst::Failure;
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

// A batch of "old" replaced by "new" in files of the work directory, with
// TMP at tmp/; each failure's step, error number and whether the temporary
// file was kept are written down as the front end would tell them.
class FailingSync : public kivtest::WorkDirTest {
protected:
    struct Told {
        std::size_t file;
        int code;
        Failure failure;
    };
    class Events final : public kivsubst::BatchEvents {
    public:
        void not_scanned(std::size_t file, const kivsubst::Substitution& substitution,
                         int code) override {
            failures.push_back({file, code, substitution.failure()});
        }
        // The file named `companion_of` gets an open copy as its companion.
        bool scanned(std::size_t file, kivsubst::Substitution&, File& companion) override {
            if (file == companion_of) {
                Creation created = Creation::failed;
                companion = File::create_new(copy, created);
            }
            return true;
        }
        void failed(std::size_t file, const kivsubst::Substitution& substitution,
                    int code) override {
            failures.push_back({file, code, substitution.failure()});
        }
        void patched(std::size_t file, const kivsubst::Substitution&) override {
            patched_files.push_back(file);
        }

        std::size_t companion_of = SIZE_MAX;
        kivsubst::Path copy;
        std::vector<Told> failures;
        std::vector<std::size_t> patched_files;
    };

    void SetUp() override {
        WorkDirTest::SetUp();
        kivtest::make_directory(path("tmp"));
        tmp_.emplace("TMP", path("tmp"));
    }

    // Patches the files `names` as one batch while every fsync of the file
    // named `failing` fails with EIO.
    void run_batch(const std::vector<std::string>& names, const std::string& failing) {
        kivsubst::Batch batch;
        for (const std::string& name : names) {
            kivtest::write_file(path(name), "old");
            kivsubst::FileAt file;
            file.directory = Directory::open(kivtest::native(dir() + "/"));
            file.name = kivtest::native(name);
            file.shown = kivtest::native(path(name));
            batch.add(std::move(file));
        }
        const std::string pattern = "old";
        const std::string replacement = "new";
        kivsubst::ByteScanners scanners({{pattern, replacement}}, {}, 4096);
        kivtest::CallHook syncs(kivtest::HookedCall::fsync, {1, 0, EIO, 0}, failing);
        batch.run(scanners, events_);
        EXPECT_GT(syncs.calls(), 0u);
    }

    std::optional<kivtest::ScopedEnvironment> tmp_;
    Events events_;
};

// The reason told is the failed sync's own error, not one left from an
// earlier step: the file written back that cannot be made durable keeps its
// temporary file, the only durable copy of its result, and a backup that
// cannot be made durable leaves its file unpatched. The other file is
// patched either way.
TEST_F(FailingSync, TellsTheSyncAndItsErrorForTheFileWhoseSyncFailed) {
    run_batch({"a", "b"}, "a");
    ASSERT_EQ(events_.failures.size(), 1u);
    EXPECT_EQ(events_.failures[0].file, 0u);
    EXPECT_EQ(events_.failures[0].code, KIVSUBST_COPY_ERROR);
    EXPECT_EQ(events_.failures[0].failure.step, Failure::Step::write_back);
    EXPECT_EQ(events_.failures[0].failure.error, EIO);
    EXPECT_EQ(events_.failures[0].failure.reason(), kivsubst::platform::describe(EIO));
    EXPECT_TRUE(events_.failures[0].failure.temporary_kept);
    EXPECT_EQ(kivtest::read_file(events_.failures[0].failure.temporary.c_str()), "new");
    EXPECT_EQ(events_.patched_files, std::vector<std::size_t>{1});
    EXPECT_EQ(kivtest::read_file(path("b")), "new");
}

TEST_F(FailingSync, TellsTheSyncAndItsErrorForABackupThatCannotBeMadeDurable) {
    events_.companion_of = 0;
    events_.copy = kivtest::native(path("a.copy"));
    run_batch({"a", "b"}, "a.copy");
    ASSERT_EQ(events_.failures.size(), 1u);
    EXPECT_EQ(events_.failures[0].file, 0u);
    EXPECT_EQ(events_.failures[0].code, KIVSUBST_COPY_ERROR);
    EXPECT_EQ(events_.failures[0].failure.step, Failure::Step::keep_companion);
    EXPECT_EQ(events_.failures[0].failure.error, EIO);
    EXPECT_EQ(kivtest::read_file(path("a")), "old");
    EXPECT_EQ(events_.patched_files, std::vector<std::size_t>{1});
    EXPECT_EQ(kivtest::read_file(path("b")), "new");
}

// A batch of many files whose data is all that is dirty on the machine
// syncs their file system whole; where that sync fails, each file is synced
// alone, and the one whose own sync fails is told while the others are
// patched. /proc/meminfo is covered, in a mount namespace of the test
// process's own, by a file that says nothing is dirty. (The kernel ignores
// the type of a bind or a propagation change; "none" rather than a null
// one keeps valgrind from taking it for a bad pointer.)
TEST_F(FailingSync, AFailedSyncOfTheWholeFileSystemHasEachFileSyncedAlone) {
    kivtest::write_file(path("meminfo"), "MemTotal: 1024 kB\nDirty: 0 kB\nWriteback: 0 kB\n");
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(path("meminfo").c_str(), "/proc/meminfo", "none", MS_BIND, nullptr) != 0) {
        GTEST_SKIP() << "/proc/meminfo cannot be covered in a mount namespace of this process's"
                        " own (needs root): "
                     << std::strerror(errno);
    }
    std::vector<std::string> names;
    for (int i = 0; i < 64; ++i) {
        names.push_back("f" + std::to_string(i));
    }
    kivtest::CallHook whole(kivtest::HookedCall::syncfs, {1, 0, EIO, 0});
    run_batch(names, "f0");
    ::umount2("/proc/meminfo", MNT_DETACH);
    EXPECT_GT(whole.calls(), 0u);
    ASSERT_EQ(events_.failures.size(), 1u);
    EXPECT_EQ(events_.failures[0].file, 0u);
    EXPECT_EQ(events_.failures[0].failure.error, EIO);
    EXPECT_TRUE(events_.failures[0].failure.temporary_kept);
    EXPECT_EQ(events_.patched_files.size(), 63u);
    EXPECT_EQ(kivtest::read_file(path("f63")), "new");
}

}  // namespace
