// SPDX-License-Identifier: Zlib
// What calls killed at random moments leave under the system's own names,
// and what the next call in that folder settles: killed installs (their
// staged files), killed kivsubst calls (their numbered temporaries in TMP)
// and killed kivcopy -a runs (their private directories in a folder that
// others may write) leave nothing of ours once another call has worked
// there, but a kivsubst result killed while it was its file's one complete
// copy, which stays marked for the user. The settling never touches what a live call holds, nor what only
// bears one of our names: another user's file, a file with a second name,
// a link, a FIFO, a kept result, a numbered file with a mode kivsubst never
// gives, a directory not made as ours. The moments
// come from a seed, printed, that KIV_SETTLING_SEED sets again.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kivcopy.h"
#include "kivfs/hidden_names.h"
#include "kivsubst.h"
#include "kivtest/files.h"

namespace {

using Clock = std::chrono::steady_clock;
using kivtest::read_file;
using kivtest::write_file;

constexpr int kills_each = 20;
constexpr uid_t other_user = 65534;  // nobody
constexpr std::size_t large_file = std::size_t{16} << 20;
constexpr int links_copied = 600;

// How the kills of one kind went: how many, and after how many of them
// names of ours were found in the folder.
struct Kills {
    int tries = 0;
    int left_something = 0;
};

class Settling : public kivtest::WorkDirTest {
protected:
    void SetUp() override {
        WorkDirTest::SetUp();
        for (const char* folder : {"media", "app", "tmp", "src", "shared"}) {
            kivtest::make_directory(path(folder));
        }
        // Anyone may add names to shared/, so kivcopy -a makes each link
        // in a private directory there first.
        ASSERT_EQ(::chmod(path("shared").c_str(), 01777), 0);
        for (int link = 0; link < links_copied; ++link) {
            const std::string name = "src/l" + std::to_string(link);
            ASSERT_EQ(::symlink(("target" + std::to_string(link)).c_str(), path(name).c_str()), 0);
        }
        write_file(path("media/small"), "small");
        write_file(path("small.conf"), "key=old\n");
    }

    // The names in `folder` that are of the system's own formats.
    std::vector<std::string> ours_in(const std::string& folder) const {
        std::vector<std::string> ours;
        for (const auto& entry : std::filesystem::directory_iterator(path(folder))) {
            const std::string name = entry.path().filename().string();
            if (kivfs::parse_hidden_name(name)) {
                ours.push_back(name);
            }
        }
        std::sort(ours.begin(), ours.end());
        return ours;
    }

    // Runs `call` in a child process that ends when it returns.
    static pid_t start(const std::function<void()>& call) {
        const pid_t child = ::fork();
        if (child == 0) {
            call();
            ::_exit(0);
        }
        return child;
    }

    // Waits until `folder` holds a name of ours or `child` has ended.
    void wait_for_ours(const std::string& folder, pid_t child) const {
        while (ours_in(folder).empty()) {
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) ==
                    0 &&
                info.si_pid == child) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }

    // One run of `call` unkilled, to learn how long it takes; then
    // kills_each runs killed at random moments, every other one aimed at
    // the time when a name of ours is there (within 0.2 ms of its being seen)
    // and the others anywhere within a run's time, `between` called after
    // each. Counts the kills that left names of ours in
    // `folder` (the next run settles them, or the call after the last).
    Kills kill_at_random_moments(const std::function<void()>& call, const std::string& folder,
                                 const std::function<void()>& between) {
        const Clock::time_point started = Clock::now();
        const pid_t whole = start(call);
        int status = 0;
        EXPECT_EQ(::waitpid(whole, &status, 0), whole);
        const auto run_time =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started).count();
        between();
        const char* chosen = std::getenv("KIV_SETTLING_SEED");
        const unsigned seed = chosen != nullptr
                                  ? static_cast<unsigned>(std::strtoul(chosen, nullptr, 10))
                                  : std::random_device{}();
        std::printf("seed %u (KIV_SETTLING_SEED=%u repeats it); a run %lld us\n", seed, seed,
                    static_cast<long long>(run_time));
        std::mt19937 random(seed);
        std::uniform_int_distribution<long long> anywhere(0, run_time);
        std::uniform_int_distribution<long long> soon(0, 200);
        Kills kills;
        for (; kills.tries < kills_each; ++kills.tries) {
            const pid_t child = start(call);
            const bool aimed = kills.tries % 2 == 1;
            if (aimed) {
                wait_for_ours(folder, child);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(aimed ? soon(random)
                                                                        : anywhere(random)));
            ::kill(child, SIGKILL);
            EXPECT_EQ(::waitpid(child, &status, 0), child);
            kills.left_something += ours_in(folder).empty() ? 0 : 1;
            between();
        }
        std::printf("%d kills, %d of them left names of ours in %s\n", kills.tries,
                    kills.left_something, folder.c_str());
        std::fflush(stdout);
        return kills;
    }

    // kivcopy -a with `sources` into shared/, waiting for it to end.
    void copy_into_shared(const std::vector<std::string>& sources) const {
        const pid_t child = start([&] { exec_kivcopy(sources); });
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    void exec_kivcopy(const std::vector<std::string>& sources) const {
        std::vector<std::string> arguments{"kivcopy", "-a"};
        arguments.insert(arguments.end(), sources.begin(), sources.end());
        arguments.push_back(path("shared") + "/");
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, STDOUT_FILENO);
        ::dup2(quiet, STDERR_FILENO);
        ::execv(KIVCOPY_CLI_PATH, argv.data());
        ::_exit(127);
    }

    // replaceString on small.conf with TMP at tmp/.
    void substitute_with_tmp() const {
        ::setenv("TMP", path("tmp").c_str(), 1);
        const std::string file = path("small.conf");
        const int result = replaceString(file.c_str(), "old", 3, "new", 3);
        ::unsetenv("TMP");
        ASSERT_TRUE(result == KIVSUBST_REPLACED || result == KIVSUBST_NOT_FOUND) << result;
    }

    void install_into_app() const {
        ASSERT_EQ(KivInstallFile(path("media/small").c_str(), path("app/other").c_str(),
                                 KIVINSTALL_REPLACE),
                  KIVCOPY_OK);
    }
};

// A file opened and locked as a live call holds its staged file.
int hold(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << file;
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << file;
    return fd;
}

void make_file(const std::string& file, const std::string& bytes, mode_t mode) {
    write_file(file, bytes);
    ASSERT_EQ(::chmod(file.c_str(), mode), 0) << file;
}

void make_private_directory(const std::string& directory, const std::string& link) {
    ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0) << directory;
    ASSERT_EQ(::chmod(directory.c_str(), 0700), 0) << directory;
    ASSERT_EQ(::symlink("anywhere", (directory + "/" + link).c_str()), 0) << directory;
}

bool exists(const std::string& name) {
    struct stat status {};
    return ::lstat(name.c_str(), &status) == 0;
}

TEST_F(Settling, LeavesNothingOfKilledInstallsAfterTheNextInstallInTheFolder) {
    write_file(path("media/large"), std::string(large_file, 'i'));
    const Kills kills = kill_at_random_moments(
        [&] {
            KivInstallFile(path("media/large").c_str(), path("app/target").c_str(),
                           KIVINSTALL_REPLACE);
        },
        "app", [] {});
    ASSERT_GT(kills.left_something, 0) << "no kill landed while a staged file was there";
    install_into_app();
    EXPECT_EQ(ours_in("app"), std::vector<std::string>{});
}

// A call killed while its temporary file was the one complete copy of its
// result (from the sync before the write-back to the end of it) leaves that
// file marked, whole, for the user; the next call leaves it, and takes
// everything else.
TEST_F(Settling, LeavesNothingOfKilledSubstitutionsButTheirMarkedResultsAfterTheNextOneInTmp) {
    const std::string line = "key=old value=old\n";
    std::string text;
    while (text.size() + line.size() <= large_file) {
        text += line;
    }
    write_file(path("app.conf"), text);
    const Kills kills = kill_at_random_moments(
        [&] {
            ::setenv("TMP", path("tmp").c_str(), 1);
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, STDOUT_FILENO);
            replaceString(path("app.conf").c_str(), "old", 3, "new", 3);
        },
        "tmp", [] {});
    ASSERT_GT(kills.left_something, 0) << "no kill landed while a temporary file was there";
    substitute_with_tmp();
    for (const std::string& name : ours_in("tmp")) {
        struct stat status {};
        ASSERT_EQ(::stat(path("tmp/" + name).c_str(), &status), 0) << name;
        EXPECT_NE(status.st_mode & S_ISVTX, 0u) << name << " was left, unmarked";
        EXPECT_EQ(static_cast<std::size_t>(status.st_size), text.size())
            << name << " does not hold a whole result";
    }
}

TEST_F(Settling, LeavesNothingOfKilledArchiveCopiesAfterTheNextOneInTheFolder) {
    std::vector<std::string> sources;
    for (int link = 0; link < links_copied; ++link) {
        sources.push_back(path("src/l" + std::to_string(link)));
    }
    // Each run makes every link anew: what the last one copied goes.
    const auto clear_copies = [&] {
        for (int link = 0; link < links_copied; ++link) {
            ::unlink(path("shared/l" + std::to_string(link)).c_str());
        }
    };
    const Kills kills =
        kill_at_random_moments([&] { exec_kivcopy(sources); }, "shared", clear_copies);
    ASSERT_GT(kills.left_something, 0) << "no kill landed while a private directory was there";
    copy_into_shared({path("src/l0")});
    EXPECT_EQ(ours_in("shared"), std::vector<std::string>{});
}

// Beside each held file or directory lies one that no call holds: the
// settling takes that one, and leaves the held one as it is.
TEST_F(Settling, LeavesWhatALiveCallHolds) {
    make_file(path("app/.tool.kiv-new-0123456789abcdef"), "held", 0644);
    make_file(path("app/.app.ini.kiv-new-fedcba9876543210"), "left", 0644);
    make_file(path("tmp/KIV7"), "held", 0600);
    make_file(path("tmp/KIV8"), "left", 0600);
    make_private_directory(path("shared/.l1.kiv-dir-0123456789abcdef"), "l1");
    make_private_directory(path("shared/.l2.kiv-dir-fedcba9876543210"), "l2");
    const int held_file = hold(path("app/.tool.kiv-new-0123456789abcdef"));
    const int held_temporary = hold(path("tmp/KIV7"));
    const int held_directory = hold(path("shared/.l1.kiv-dir-0123456789abcdef"));

    install_into_app();
    substitute_with_tmp();
    copy_into_shared({path("src/l0")});

    EXPECT_EQ(ours_in("app"), std::vector<std::string>{".tool.kiv-new-0123456789abcdef"});
    EXPECT_EQ(read_file(path("app/.tool.kiv-new-0123456789abcdef")), "held");
    EXPECT_EQ(ours_in("tmp"), std::vector<std::string>{"KIV7"});
    EXPECT_EQ(ours_in("shared"), std::vector<std::string>{".l1.kiv-dir-0123456789abcdef"});
    EXPECT_TRUE(exists(path("shared/.l1.kiv-dir-0123456789abcdef/l1")));
    for (const int fd : {held_file, held_temporary, held_directory}) {
        ::close(fd);
    }
}

// Only the last of each group is a killed call's leftover, and goes. The
// planted ones stay as they were, and so does what a link among them
// points at.
TEST_F(Settling, LeavesWhatOnlyBearsOneOfOurNames) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "a file of another user's needs root to make";
    }
    const std::string others = path("app/.a.kiv-new-0000000000000001");
    make_file(others, "another user's", 0644);
    ASSERT_EQ(::chown(others.c_str(), other_user, other_user), 0);
    make_file(path("app/.b.kiv-new-0000000000000002"), "two names", 0644);
    ASSERT_EQ(::link(path("app/.b.kiv-new-0000000000000002").c_str(), path("app/b").c_str()), 0);
    make_file(path("app/victim"), "victim", 0644);
    ASSERT_EQ(::symlink("victim", path("app/.c.kiv-new-0000000000000003").c_str()), 0);
    ASSERT_EQ(::mkfifo(path("app/.d.kiv-new-0000000000000004").c_str(), 0600), 0);
    kivtest::make_directory(path("app/.e.kiv-dir-0000000000000005"));
    ASSERT_EQ(::chmod(path("app/.e.kiv-dir-0000000000000005").c_str(), 0755), 0);
    write_file(path("app/.e.kiv-dir-0000000000000005/inside"), "inside");
    make_private_directory(path("app/.f.kiv-dir-0000000000000006"), "link");
    kivtest::make_directory(path("app/.f.kiv-dir-0000000000000006/sub"));
    make_file(path("app/.g.kiv-new-0000000000000007"), "marked", 01644);
    make_file(path("app/.h.kiv-new-0000000000000008"), "killed", 0644);
    make_file(path("tmp/KIV12"), "kept result", 01600);
    make_file(path("tmp/KIV13"), "another user's", 0600);
    ASSERT_EQ(::chown(path("tmp/KIV13").c_str(), other_user, other_user), 0);
    make_file(path("tmp/KIV14"), "killed", 0600);
    make_file(path("tmp/KIV15"), "the user's own", 0644);

    install_into_app();
    substitute_with_tmp();

    EXPECT_EQ(ours_in("app"), (std::vector<std::string>{
                                  ".a.kiv-new-0000000000000001", ".b.kiv-new-0000000000000002",
                                  ".c.kiv-new-0000000000000003", ".d.kiv-new-0000000000000004",
                                  ".e.kiv-dir-0000000000000005", ".f.kiv-dir-0000000000000006",
                                  ".g.kiv-new-0000000000000007"}));
    EXPECT_EQ(read_file(path("app/victim")), "victim");
    EXPECT_EQ(read_file(path("app/.e.kiv-dir-0000000000000005/inside")), "inside");
    EXPECT_TRUE(exists(path("app/.f.kiv-dir-0000000000000006/link")));
    EXPECT_EQ(ours_in("tmp"), (std::vector<std::string>{"KIV12", "KIV13", "KIV15"}));
}

}  // namespace
