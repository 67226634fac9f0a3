// SPDX-License-Identifier: Zlib
// Linux only. The install's own result, through the core's internal
// interface: the system's error that it records is the one of the call
// that failed, taken on the spot, so that a front end can say why.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

#include "install.h"
#include "kivfs/leftovers.h"
#include "kivtest/faults.h"
#include "kivtest/files.h"

namespace {

using kivtest::write_file;

class InstallError : public kivtest::WorkDirTest {
protected:
    void SetUp() override {
        WorkDirTest::SetUp();
        kivtest::make_directory(path("app"));
        write_file(path("tool"), "new");
        ASSERT_EQ(::chmod(path("tool").c_str(), 0755), 0);
    }

    kivcopy::Installed install(const std::string& target, bool replace = true) {
        kivcopy::InstallFlags flags;
        flags.replace = replace;
        return kivcopy::install_file(path("tool").c_str(), path(target).c_str(), flags);
    }
};

// The staged file cannot be created in a folder the caller may not write:
// the creation's own EACCES is recorded, not the ENOENT of the look that
// found no target just before it.
TEST_F(InstallError, RecordsTheErrorOfTheStagedFilesCreation) {
    ASSERT_EQ(::chmod(path("app").c_str(), 0555), 0);
    if (::geteuid() == 0) {
        // Root may write anywhere: nobody makes the call.
        std::string why_not;
        const int outcome = kivtest::run_as_nobody(
            [&] {
                const kivcopy::Installed seen = install("app/tool");
                return seen.status == kivcopy::CopyStatus::target_not_written && seen.error == EACCES
                           ? 1
                           : 0;
            },
            why_not);
        ASSERT_GE(outcome, 0) << why_not;
        EXPECT_EQ(outcome, 1) << "nobody's install did not record EACCES with -5010";
    } else {
        const kivcopy::Installed installed = install("app/tool");
        EXPECT_EQ(installed.status, kivcopy::CopyStatus::target_not_written);
        EXPECT_EQ(installed.error, EACCES);
    }
    ASSERT_EQ(::chmod(path("app").c_str(), 0755), 0);
}

// A directory made at the target's name after the look, while the staged
// file is created: the rename over it fails with EISDIR, which is
// recorded; the staged file goes, and a refusal by a guard records none.
TEST_F(InstallError, RecordsTheErrorOfTheRename) {
    kivtest::OpenHook hook(
        [](const std::string& opened, int) {
            return opened.find(".tool.kiv-new-") != std::string::npos;
        },
        [&] { kivtest::make_directory(path("app/tool")); });
    const kivcopy::Installed installed = install("app/tool");
    EXPECT_TRUE(hook.fired());
    EXPECT_EQ(installed.status, kivcopy::CopyStatus::target_not_written);
    EXPECT_EQ(installed.error, EISDIR);
    ASSERT_EQ(::rmdir(path("app/tool").c_str()), 0) << "not left as it was";

    write_file(path("app/tool"), "old");
    const kivcopy::Installed guarded = install("app/tool", false);
    EXPECT_EQ(guarded.status, kivcopy::CopyStatus::target_exists);
    EXPECT_EQ(guarded.error, 0);
}

// The folder's sync after the rename fails: the new file holds the name,
// but a power cut could still take the rename back, so the call is not
// done; the sync's own EIO is recorded.
TEST_F(InstallError, RecordsTheErrorOfTheFoldersSyncAndIsNotDone) {
    write_file(path("app/tool"), "old");
    kivtest::CallHook syncs(kivtest::HookedCall::fsync, {1, 0, EIO, 0}, "app");
    const kivcopy::Installed installed = install("app/tool");
    EXPECT_EQ(syncs.calls(), 1u) << "the folder was not synced once";
    EXPECT_EQ(installed.status, kivcopy::CopyStatus::target_not_written);
    EXPECT_EQ(installed.error, EIO);
    EXPECT_EQ(kivtest::read_file(path("app/tool")), "new") << "the new file is not in place";
}

// The staged file is closed, its close judged, before the rename puts it in
// place: another call's settling of the folder in that moment must still
// take it for a live call's and leave it, or the install finds nothing to
// rename and fails. Installs run one after another while another thread
// settles the folder without pause.
TEST_F(InstallError, KeepsItsStagedFileFromAnotherCallsSettlingUntilTheRename) {
    const int folder = ::open(path("app").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    std::atomic<bool> done{false};
    std::thread settler([&] {
        while (!done) {
            kivfs::settle_leftovers({folder, {}});
        }
    });
    int failed = 0;
    for (int round = 0; round < 300; ++round) {
        failed += install("app/tool").status == kivcopy::CopyStatus::copied ? 0 : 1;
    }
    done = true;
    settler.join();
    ::close(folder);
    EXPECT_EQ(failed, 0) << "installs failed while another call settled their folder";
}

}  // namespace
