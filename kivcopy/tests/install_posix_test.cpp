// SPDX-License-Identifier: Zlib
// Linux only. An install beside a running program and under a kill: the
// program keeps the file it was started from while its name leads to a
// new inode, and a process killed at any moment of an install leaves the
// target old or new, never missing or partial.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "kivcopy.h"
#include "kivtest/faults.h"
#include "kivtest/files.h"

namespace {

using kivtest::read_file;
using kivtest::write_file;

class InstallPosix : public kivtest::WorkDirTest {
protected:
    std::vector<std::string> names_in(const std::string& folder) const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path(folder))) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    void SetUp() override {
        WorkDirTest::SetUp();
        kivtest::make_directory(path("media"));
        kivtest::make_directory(path("app"));
        // No one but its owner may add names to app/, whatever the umask:
        // the folder vouches for the files in it.
        ASSERT_EQ(::chmod(path("app").c_str(), 0755), 0);
    }
};

// The owner, group and mode of a file, as "uid:gid mode" in octal.
std::string owner_and_mode(const std::string& file) {
    const struct stat status = kivtest::status_of(file);
    char mode[16];
    std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(status.st_mode & 07777));
    return std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid) + " " + mode;
}

// A program runs from app/sleeper (a copy of sleep); installing over it
// replaces the name with a new inode while the program, which still runs,
// keeps the old one, and no temporary file is left beside it.
TEST_F(InstallPosix, ReplacesARunningProgramsFileByANewInode) {
    std::filesystem::copy_file("/bin/sleep", path("app/sleeper"));
    ASSERT_EQ(::chmod(path("app/sleeper").c_str(), 0751), 0);
    const ino_t old_inode = kivtest::status_of(path("app/sleeper")).st_ino;
    const pid_t program = ::fork();
    ASSERT_GE(program, 0);
    if (program == 0) {
        ::execl(path("app/sleeper").c_str(), "sleeper", "30", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // The program runs once its image is the file at the name.
    const std::string image = "/proc/" + std::to_string(program) + "/exe";
    for (int wait = 0; wait < 500 && std::filesystem::read_symlink(image).filename() != "sleeper";
         ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    write_file(path("media/sleeper"), "#!/bin/sh\necho new\n");
    const int result = KivInstallFile(path("media/sleeper").c_str(), path("app/sleeper").c_str(),
                                      KIVINSTALL_REPLACE | KIVINSTALL_AT_RESTART);
    struct stat image_status {};
    const bool still_running = ::stat(image.c_str(), &image_status) == 0;
    ::kill(program, SIGKILL);
    ::waitpid(program, nullptr, 0);

    EXPECT_EQ(result, KIVCOPY_OK);
    EXPECT_EQ(read_file(path("app/sleeper")), "#!/bin/sh\necho new\n");
    EXPECT_NE(kivtest::status_of(path("app/sleeper")).st_ino, old_inode);
    EXPECT_EQ(kivtest::status_of(path("app/sleeper")).st_mode & 07777, 0751u)
        << "the new file did not take the replaced one's mode";
    ASSERT_TRUE(still_running);
    EXPECT_EQ(image_status.st_ino, old_inode) << "the running program lost its own file";
    EXPECT_EQ(names_in("app"), std::vector<std::string>{"sleeper"});
}

// As root, the new file takes the replaced file's owner and group as well
// as its mode, set-ID bits included; a new target gets the source's bits
// less the umask, as KivCopyFile gives them.
TEST_F(InstallPosix, GivesTheNewFileTheReplacedOnesOwnerAndMode) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a file away needs root";
    }
    write_file(path("media/tool"), "new");
    ASSERT_EQ(::chmod(path("media/tool").c_str(), 0700), 0);
    write_file(path("app/tool"), "old");
    ASSERT_EQ(::chown(path("app/tool").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(path("app/tool").c_str(), 02755), 0);
    ASSERT_EQ(KivInstallFile(path("media/tool").c_str(), path("app/tool").c_str(),
                             KIVINSTALL_REPLACE),
              KIVCOPY_OK);
    const struct stat status = kivtest::status_of(path("app/tool"));
    EXPECT_EQ(status.st_uid, 65534u);
    EXPECT_EQ(status.st_gid, 65534u);
    EXPECT_EQ(status.st_mode & 07777, 02755u);

    // Another user's set-ID file, replaced by that user: the bits stay off,
    // as the new file is not the replaced one's owner's.
    write_file(path("app/theirs"), "old");
    write_file(path("media/public"), "new");
    ASSERT_EQ(::chown(path("app").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(path("app/theirs").c_str(), 04755), 0);
    std::string why_not;
    const int outcome = kivtest::run_as_nobody(
        [&] {
            return KivInstallFile(path("media/public").c_str(), path("app/theirs").c_str(),
                                  KIVINSTALL_REPLACE);
        },
        why_not);
    ASSERT_EQ(outcome, 0) << why_not;
    EXPECT_EQ(kivtest::status_of(path("app/theirs")).st_uid, 65534u);
    EXPECT_EQ(kivtest::status_of(path("app/theirs")).st_mode & 07777, 0755u);

    const mode_t saved_umask = ::umask(027);
    ASSERT_EQ(KivInstallFile(path("media/tool").c_str(), path("app/fresh").c_str(), 0),
              KIVCOPY_OK);
    ::umask(saved_umask);
    EXPECT_EQ(kivtest::status_of(path("app/fresh")).st_mode & 07777, 0700u);
    EXPECT_EQ(kivtest::status_of(path("app/fresh")).st_uid, 0u);
}

// A symbolic link at the target is replaced by the new file; what it
// pointed at is never written.
TEST_F(InstallPosix, ReplacesALinkAtTheTargetWithoutWritingThroughIt) {
    write_file(path("media/file"), "new");
    write_file(path("elsewhere"), "keep");
    ASSERT_EQ(::symlink(path("elsewhere").c_str(), path("app/file").c_str()), 0);
    EXPECT_EQ(KivInstallFile(path("media/file").c_str(), path("app/file").c_str(),
                             KIVINSTALL_REPLACE),
              KIVCOPY_OK);
    EXPECT_EQ(read_file(path("elsewhere")), "keep");
    EXPECT_FALSE(S_ISLNK(kivtest::status_of(path("app/file")).st_mode));
    EXPECT_EQ(read_file(path("app/file")), "new");
}

// A link at the target, to a set-user-ID program of root's or to another
// user's world-writable file, lends the new file nothing: it gets the mode
// a new copy gets, and the caller's owner. Without flag 1 a link counts as
// an existing target, whether it points at a file or at nothing.
TEST_F(InstallPosix, TakesNothingFromWhatALinkAtTheTargetPointsAt) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "files of root's and of another user's need root to make";
    }
    const mode_t saved_umask = ::umask(022);
    write_file(path("media/tool"), "new");
    ASSERT_EQ(::chmod(path("media/tool").c_str(), 0750), 0);
    write_file(path("set-id"), "root's set-user-ID program");
    ASSERT_EQ(::chmod(path("set-id").c_str(), 04755), 0);
    write_file(path("theirs"), "nobody's file");
    ASSERT_EQ(::chown(path("theirs").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(path("theirs").c_str(), 0666), 0);
    for (const std::string pointed : {"set-id", "theirs"}) {
        SCOPED_TRACE(pointed);
        ASSERT_EQ(::symlink(path(pointed).c_str(), path("app/tool").c_str()), 0);
        EXPECT_EQ(KivInstallFile(path("media/tool").c_str(), path("app/tool").c_str(), 0),
                  KIVCOPY_TARGET_EXISTS);
        struct stat link {};
        EXPECT_EQ(::lstat(path("app/tool").c_str(), &link), 0);
        EXPECT_TRUE(S_ISLNK(link.st_mode));
        EXPECT_EQ(KivInstallFile(path("media/tool").c_str(), path("app/tool").c_str(),
                                 KIVINSTALL_REPLACE),
                  KIVCOPY_OK);
        EXPECT_EQ(owner_and_mode(path("app/tool")), "0:0 750");
        EXPECT_EQ(read_file(path("app/tool")), "new");
        ASSERT_EQ(::unlink(path("app/tool").c_str()), 0);
    }
    EXPECT_EQ(owner_and_mode(path("set-id")), "0:0 4755");
    EXPECT_EQ(read_file(path("theirs")), "nobody's file");

    ASSERT_EQ(::symlink(path("nothing").c_str(), path("app/dangling").c_str()), 0);
    EXPECT_EQ(KivInstallFile(path("media/tool").c_str(), path("app/dangling").c_str(), 0),
              KIVCOPY_TARGET_EXISTS);
    EXPECT_EQ(names_in("app"), std::vector<std::string>{"dangling"});
    EXPECT_FALSE(kivtest::exists(path("nothing")));
    ::umask(saved_umask);
}

// Root keeps the replaced file's owner, group and set-ID bits only where
// the folder vouches for them: it is root's or the file's owner's, and no
// one else may add names to it. In a folder that others may write, sticky
// or not, a planted file of nobody's, or a set-user-ID file of root's
// linked there, lends nothing: the new file is root's, with a new copy's
// mode.
TEST_F(InstallPosix, TakesTheOwnerAndModeOnlyOfAFileTheFolderVouchesFor) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a file away needs root";
    }
    const mode_t saved_umask = ::umask(022);
    write_file(path("media/tool"), "new");
    ASSERT_EQ(::chmod(path("media/tool").c_str(), 0750), 0);
    for (const mode_t folder_mode : {0777u, 01777u, 0775u}) {
        SCOPED_TRACE(folder_mode);
        ASSERT_EQ(::chmod(path("app").c_str(), folder_mode), 0);
        write_file(path("app/planted"), "nobody's");
        ASSERT_EQ(::chown(path("app/planted").c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chmod(path("app/planted").c_str(), 0666), 0);
        EXPECT_EQ(KivInstallFile(path("media/tool").c_str(), path("app/planted").c_str(),
                                 KIVINSTALL_REPLACE),
                  KIVCOPY_OK);
        EXPECT_EQ(owner_and_mode(path("app/planted")), "0:0 750");

        write_file(path("app/set-id"), "root's");
        ASSERT_EQ(::chmod(path("app/set-id").c_str(), 04755), 0);
        EXPECT_EQ(KivInstallFile(path("media/tool").c_str(), path("app/set-id").c_str(),
                                 KIVINSTALL_REPLACE),
                  KIVCOPY_OK);
        EXPECT_EQ(owner_and_mode(path("app/set-id")), "0:0 750");
        ASSERT_EQ(::unlink(path("app/planted").c_str()), 0);
        ASSERT_EQ(::unlink(path("app/set-id").c_str()), 0);
    }

    // nobody's own folder, which only nobody may write, vouches for
    // nobody's file there.
    ASSERT_EQ(::chmod(path("app").c_str(), 0755), 0);
    ASSERT_EQ(::chown(path("app").c_str(), 65534, 65534), 0);
    write_file(path("app/theirs"), "nobody's");
    ASSERT_EQ(::chown(path("app/theirs").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(path("app/theirs").c_str(), 0640), 0);
    EXPECT_EQ(KivInstallFile(path("media/tool").c_str(), path("app/theirs").c_str(),
                             KIVINSTALL_REPLACE),
              KIVCOPY_OK);
    EXPECT_EQ(owner_and_mode(path("app/theirs")), "65534:65534 640");
    ::umask(saved_umask);
}

// Targets whose names leave no room for the whole hidden name beside them,
// up to the 255 bytes a name may have, of one-byte and of multi-byte
// characters: each is installed, over an old file and anew, and no hidden
// file stays.
TEST_F(InstallPosix, InstallsTargetsWithTheLongestNames) {
    write_file(path("media/tool"), "new");
    const std::string accented = "\xc3\xa9";        // two bytes
    const std::string clef = "\xf0\x9d\x84\x9e";  // four bytes
    std::vector<std::string> names = {std::string(230, 'a'), std::string(255, 'b')};
    std::string mixed;
    while (mixed.size() + clef.size() + accented.size() <= 255) {
        mixed += accented + clef;
    }
    names.push_back(mixed);
    for (const std::string& name : names) {
        SCOPED_TRACE(name.size());
        EXPECT_EQ(KivInstallFile(path("media/tool").c_str(), path("app/" + name).c_str(), 0),
                  KIVCOPY_OK);
        EXPECT_EQ(read_file(path("app/" + name)), "new");
        write_file(path("app/" + name), "old");
        EXPECT_EQ(KivInstallFile(path("media/tool").c_str(), path("app/" + name).c_str(),
                                 KIVINSTALL_REPLACE),
                  KIVCOPY_OK);
        EXPECT_EQ(read_file(path("app/" + name)), "new");
        EXPECT_EQ(names_in("app"), std::vector<std::string>{name});
        ASSERT_EQ(::unlink(path("app/" + name).c_str()), 0);
    }
}

// A child installs two large files over one target, turn about, without
// end; it is killed after a different time in each round. The target must
// hold one of the two whole every time.
TEST_F(InstallPosix, LeavesTheTargetOldOrNewWhenKilledAtAnyMoment) {
    const std::string first(3 * 1024 * 1024 + 17, 'a');
    const std::string second(2 * 1024 * 1024 + 5, 'b');
    write_file(path("media/first"), first);
    write_file(path("media/second"), second);
    write_file(path("app/target"), first);
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE(round);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int turn = 0;; ++turn) {
                const std::string& source = turn % 2 == 0 ? path("media/second") : path("media/first");
                KivInstallFile(source.c_str(), path("app/target").c_str(), KIVINSTALL_REPLACE);
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300 + round * 731));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        const std::string found = read_file(path("app/target"));
        EXPECT_TRUE(found == first || found == second)
            << "the target holds " << found.size() << " bytes of neither file";
    }
}

// A whole copy whose times cannot be set is still put in place, and the
// result says the times are missing, as KivCopyFile's does; a caller told
// -5074 must find the new file at the target, not the old one.
TEST_F(InstallPosix, InstallsAWholeCopyWhoseTimesCannotBeSet) {
    write_file(path("media/tool"), "new");
    write_file(path("app/tool"), "old");
    int result = 0;
    {
        kivtest::CallHook stamps(kivtest::HookedCall::futimens, {1, 0, EPERM, 0});
        result = KivInstallFile(path("media/tool").c_str(), path("app/tool").c_str(),
                                KIVINSTALL_REPLACE);
        EXPECT_GT(stamps.calls(), 0u);
    }
    EXPECT_EQ(result, KIVCOPY_TIMES_NOT_SET);
    EXPECT_EQ(read_file(path("app/tool")), "new");
    EXPECT_EQ(names_in("app"), std::vector<std::string>{"tool"});
}

// On a full disk the new file's last bytes cannot be written out; its
// times cannot be set either. KivCopyFile would say -5074 for that, but an
// install judges the close first: a file that is not whole never takes the
// target's name, and the staged file goes.
TEST_F(InstallPosix, JudgesAFailedWriteOutBeforeMissingTimes) {
    kivtest::TmpfsMount small(path("small"), 256 * 1024);
    if (!small.ok()) {
        GTEST_SKIP() << small.error();
    }
    write_file(path("small/tool"), "old");
    write_file(path("media/tool"), "payload");
    kivtest::fill_file_system(path("small"));
    int result = 0;
    {
        kivtest::CallHook stamps(kivtest::HookedCall::futimens, {1, 0, EPERM, 0});
        result = KivInstallFile(path("media/tool").c_str(), path("small/tool").c_str(),
                                KIVINSTALL_REPLACE);
        EXPECT_GT(stamps.calls(), 0u) << "the times were not set after the write-out";
    }
    EXPECT_EQ(result, KIVCOPY_TARGET_NOT_WRITTEN);
    EXPECT_EQ(read_file(path("small/tool")), "old");
    std::vector<std::string> ours;  // the filler that took the space is not
    for (const std::string& name : names_in("small")) {
        if (name == "tool" || name.rfind(".tool", 0) == 0) {
            ours.push_back(name);
        }
    }
    EXPECT_EQ(ours, std::vector<std::string>{"tool"}) << "a staged file stayed";
}

}  // namespace
