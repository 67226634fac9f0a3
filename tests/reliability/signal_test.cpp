// SPDX-License-Identifier: Zlib
// A kivsubst run stopped by SIGINT, SIGTERM, SIGHUP or SIGPIPE, as a user,
// a service manager, a closed terminal or a closed pipe stops it: sent at
// random moments of a run over a file of 32 MiB, and aimed at its
// write-back (sent once the file has begun to change). Every stop must
// leave the file old or new, with its times, and nothing in TMP; a run the
// signal reached ends by that signal. The moments come from a seed, printed,
// that KIV_SIGNAL_SEED sets again to repeat a run.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kivtest/files.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t file_bytes = std::size_t{32} << 20;
constexpr int tries_each = 20;  // for each signal, every other one aimed

// The times the file is given before each run, which a patched file keeps.
constexpr struct timespec stamp[2] = {{978307200, 0}, {978307200, 0}};

struct Counts {
    int tries = 0;
    int aimed = 0;
    int ended_by_signal_old = 0;  // stopped before the write-back
    int ended_by_signal_new = 0;  // held through the write-back, acted on after it
    int finished = 0;             // done before the signal came
};

class StoppedRun : public kivtest::WorkDirTest {
protected:
    void SetUp() override {
        WorkDirTest::SetUp();
        struct statfs where {};
        ASSERT_EQ(::statfs(dir().c_str(), &where), 0);
        if (where.f_type == TMPFS_MAGIC) {
            GTEST_SKIP() << "the work directory is on tmpfs, where the write-back takes no "
                            "time to aim at: set TMPDIR to a directory on a disk";
        }
        kivtest::make_directory(path("tmp"));
        const std::string line = "key=old value=old other=old\n";
        while (old_.size() + line.size() <= file_bytes) {
            old_ += line;
        }
        new_ = old_;
        for (std::size_t at = 0; (at = new_.find("old", at)) != std::string::npos; at += 3) {
            new_.replace(at, 3, "new");
        }
    }

    void put_old_file() {
        kivtest::write_file(path("app.conf"), old_);
        ASSERT_EQ(::utimensat(AT_FDCWD, path("app.conf").c_str(), stamp, 0), 0);
    }

    struct timespec change_time() const {
        struct stat status {};
        ::stat(path("app.conf").c_str(), &status);
        return status.st_ctim;
    }

    // Starts the front end on the file with TMP at tmp/, each stopping
    // signal at its default action and unblocked, as a shell starts it.
    pid_t start() const {
        const pid_t child = ::fork();
        if (child == 0) {
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            for (const int stop : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
                std::signal(stop, SIG_DFL);
            }
            const int log = ::open(path("log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            ::dup2(log, STDOUT_FILENO);
            ::dup2(log, STDERR_FILENO);
            ::setenv("TMP", path("tmp").c_str(), 1);
            ::execl(KIVSUBST_CLI_PATH, "kivsubst", "--", "old", "new", path("app.conf").c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        return child;
    }

    // Waits until the file's change time moves from `before` (its
    // write-back has begun) or the run ends; false if it ended first.
    bool wait_for_write_back(pid_t child, const struct timespec& before) const {
        for (;;) {
            const struct timespec now = change_time();
            if (now.tv_sec != before.tv_sec || now.tv_nsec != before.tv_nsec) {
                return true;
            }
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) ==
                    0 &&
                info.si_pid == child) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    // Judges what one stopped run left (its exit `status`), counts it, and
    // clears TMP for the next.
    void judge(int signal, int status, Counts& counts) {
        const std::string content = kivtest::read_file(path("app.conf"));
        const bool is_old = content == old_;
        const bool is_new = content == new_;
        EXPECT_TRUE(is_old || is_new) << "the file is neither old nor new: " << content.size()
                                      << " bytes";
        if (is_new) {
            struct stat status_of {};
            ASSERT_EQ(::stat(path("app.conf").c_str(), &status_of), 0);
            EXPECT_EQ(status_of.st_mtim.tv_sec, stamp[1].tv_sec) << "its times were not given back";
        }
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(path("tmp"))) {
            left.push_back(entry.path().filename().string());
        }
        EXPECT_TRUE(left.empty()) << left.size() << " left in TMP, the first " << left.front();
        for (const std::string& name : left) {
            std::filesystem::remove(path("tmp/" + name));
        }
        if (WIFSIGNALED(status)) {
            EXPECT_EQ(WTERMSIG(status), signal);
            ++(is_new ? counts.ended_by_signal_new : counts.ended_by_signal_old);
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "status " << status << ", log: " << kivtest::read_file(path("log"));
            EXPECT_TRUE(is_new);
            ++counts.finished;
        }
    }

    std::string old_;
    std::string new_;
};

TEST_F(StoppedRun, LeavesEveryFileOldOrNewAndNothingInTmp) {
    // One run unstopped: how long a run takes, and how long its write-back.
    put_old_file();
    const struct timespec before = change_time();
    const Clock::time_point started = Clock::now();
    const pid_t whole = start();
    ASSERT_GT(whole, 0);
    ASSERT_TRUE(wait_for_write_back(whole, before));
    const Clock::time_point writing = Clock::now();
    int status = 0;
    ASSERT_EQ(::waitpid(whole, &status, 0), whole);
    const Clock::time_point ended = Clock::now();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << kivtest::read_file(path("log"));
    ASSERT_EQ(kivtest::read_file(path("app.conf")), new_);
    const auto run_time = std::chrono::duration_cast<std::chrono::microseconds>(ended - started);
    const auto write_back_time =
        std::chrono::duration_cast<std::chrono::microseconds>(ended - writing);

    const char* chosen = std::getenv("KIV_SIGNAL_SEED");
    const unsigned seed =
        chosen != nullptr ? static_cast<unsigned>(std::strtoul(chosen, nullptr, 10))
                          : std::random_device{}();
    std::printf("seed %u (KIV_SIGNAL_SEED=%u repeats it); a run %lld us, its write-back %lld us\n",
                seed, seed, static_cast<long long>(run_time.count()),
                static_cast<long long>(write_back_time.count()));
    std::fflush(stdout);
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<long long> anywhere(0, run_time.count());
    std::uniform_int_distribution<long long> in_write_back(0, write_back_time.count());

    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        Counts counts;
        for (int attempt = 0; attempt < tries_each; ++attempt) {
            const bool aimed = attempt % 2 == 1;
            const long long delay = aimed ? in_write_back(random) : anywhere(random);
            SCOPED_TRACE("signal " + std::to_string(signal) + ", try " + std::to_string(attempt) +
                         (aimed ? ", aimed, " : ", ") + std::to_string(delay) + " us");
            put_old_file();
            const struct timespec unchanged = change_time();
            const pid_t child = start();
            ASSERT_GT(child, 0);
            if (aimed) {
                wait_for_write_back(child, unchanged);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(delay));
            ::kill(child, signal);
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            ++counts.tries;
            counts.aimed += aimed ? 1 : 0;
            judge(signal, status, counts);
        }
        std::printf("signal %d: %d tries (%d aimed): ended by it %d with the file old, %d new; "
                    "%d finished first\n",
                    signal, counts.tries, counts.aimed, counts.ended_by_signal_old,
                    counts.ended_by_signal_new, counts.finished);
        std::fflush(stdout);
    }
}

}  // namespace
