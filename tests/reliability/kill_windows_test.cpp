// SPDX-License-Identifier: Zlib
// Windows: a transaction killed just before each of its changes to the
// disk (the driver's kill points), then recovered by KivRecover: every
// target old or every target new (the two folders it makes, one in the
// other with a file in each, gone or there with their files), and nothing
// of the transaction left beside the targets, in the folders or in the
// journal folder; so too with a running
// program among the targets. With a file held without delete sharing among
// them, the commit is refused, so every kill leaves every target old.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kivtest/files.h"
#include "kivtest/holder.h"
#include "kivtest/programs.h"
#include "kivtest/wide.h"
#include "kivtransaction.h"
#include "planted_text.h"

namespace {

using kivtest::planted_text;
using kivtest::read_file;
using kivtest::write_file;

class KilledOnWindows : public kivtest::WorkDirTest {
protected:
    struct Target {
        std::string name, old_content, new_content;  // an empty old content: a new file
    };

    void SetUp() override {
        WorkDirTest::SetUp();
        for (const char* folder : {"journal", "app", "app/etc"}) {
            std::filesystem::create_directory(path(folder));
        }
        const std::string settings = planted_text(200 * 1024, "port=@old@\n");
        std::string patched = settings;
        for (std::size_t at = 0; (at = patched.find("@old@", at)) != std::string::npos;) {
            patched.replace(at, 5, "@new@");
        }
        targets_ = {{"app/tool", planted_text(100 * 1024, "old tool\n"),
                     planted_text(300 * 1024 + 7, "\n")},
                    {"app/lib", "", planted_text(64 * 1024, "new lib\n")},
                    {"app/etc/settings", settings, patched}};
        targets_.push_back({"app/plugins/a.dll", "", planted_text(40 * 1024, "plugin\n")});
        targets_.push_back({"app/plugins/extra/b.dll", "", targets_[1].new_content});
        write_file(path("tool.new"), targets_[0].new_content);
        write_file(path("lib.new"), targets_[1].new_content);
        write_file(path("plugin.new"), targets_[3].new_content);
        arguments_ = {"txn",           path("journal"),      path("tool.new"),
                      path("app/tool"), path("lib.new"),      path("app/lib"),
                      "=@old@=@new@",   path("app/etc/settings"),
                      "+",              path("app/plugins"),  "+",
                      path("app/plugins/extra"),              path("plugin.new"),
                      path("app/plugins/a.dll"),              path("lib.new"),
                      path("app/plugins/extra/b.dll")};
    }

    void set_old() {
        for (const Target& target : targets_) {
            std::filesystem::remove(path(target.name));
            if (!target.old_content.empty()) {
                write_file(path(target.name), target.old_content);
            }
        }
        std::filesystem::remove_all(path(made_folders_.front()));
    }

    bool all(bool fresh) const {
        for (const std::string& folder : made_folders_) {
            if (std::filesystem::is_directory(path(folder)) != fresh) {
                return false;
            }
        }
        for (const Target& target : targets_) {
            const std::string& content = fresh ? target.new_content : target.old_content;
            const bool there = std::filesystem::exists(path(target.name));
            if (content.empty() ? there : !there || read_file(path(target.name)) != content) {
                return false;
            }
        }
        return true;
    }

    // What is in the journal folder and beside the targets (in the folders
    // the transaction makes too, where they are there) that is neither a
    // target nor a folder of them.
    std::vector<std::string> left_over() const {
        std::vector<std::string> left;
        std::vector<std::string> folders = {"journal", "app", "app/etc"};
        for (const std::string& made : made_folders_) {
            if (std::filesystem::is_directory(path(made))) {
                folders.push_back(made);
            }
        }
        for (const std::string& folder : folders) {
            for (const auto& entry : std::filesystem::directory_iterator(path(folder))) {
                const std::string name = folder + "/" + entry.path().filename().string();
                const bool known =
                    name == "app/etc" ||
                    std::find(made_folders_.begin(), made_folders_.end(), name) !=
                        made_folders_.end() ||
                    std::any_of(targets_.begin(), targets_.end(),
                                [&](const Target& target) { return target.name == name; }) ||
                    std::any_of(may_stay_.begin(), may_stay_.end(), [&](const std::string& stem) {
                        return name.rfind(stem, 0) == 0;
                    });
                if (!known) {
                    left.push_back(name);
                }
            }
        }
        return left;
    }

    // The driver's changes to the disk when nothing kills it, and its exit.
    unsigned long count_changes(int& status) {
        const std::string tally = path("tally");
        status = kivtest::run_program(KIV_CRASH_DRIVER_PATH, arguments_,
                                      {"KIV_KILL_TALLY=" + tally})
                     .exit_status;
        return std::stoul(read_file(tally));
    }

    // Kills the driver before each change in turn and recovers; what each
    // kill left, counted. Targets held by other programs are written once,
    // not again each time (`reset` false): nothing may change them.
    // `around_` runs before each driver and after each kill's checks.
    void kill_at_every_point(unsigned long total, bool reset, unsigned long& old_seen,
                             unsigned long& new_seen) {
        for (unsigned long point = 1; point <= total; ++point) {
            SCOPED_TRACE("killed before change " + std::to_string(point) + " of " +
                         std::to_string(total));
            if (reset) {
                set_old();
            }
            around_(true);
            const kivtest::ProgramRun run = kivtest::run_program(
                KIV_CRASH_DRIVER_PATH, arguments_, {"KIV_KILL_AT=" + std::to_string(point)});
            ASSERT_EQ(run.exit_status, 137) << run.err;
            EXPECT_GE(KivRecover(path("journal").c_str()), 0);
            const bool old_now = all(false);
            const bool new_now = all(true);
            EXPECT_TRUE(old_now || new_now) << "a mix of old and new targets";
            old_seen += old_now ? 1 : 0;
            new_seen += new_now ? 1 : 0;
            EXPECT_EQ(left_over(), std::vector<std::string>{});
            EXPECT_EQ(KivRecover(path("journal").c_str()), KIVTRANSACTION_OK);
            around_(false);
        }
    }

    std::vector<Target> targets_;
    // The folders the transaction makes, the outer one first.
    const std::vector<std::string> made_folders_ = {"app/plugins", "app/plugins/extra"};
    std::vector<std::string> arguments_;
    std::vector<std::string> may_stay_;  // the stems of names that may stay beside the targets
    std::function<void(bool before)> around_ = [](bool) {};
};

TEST_F(KilledOnWindows, TransactionIsAllOldOrAllNewAfterRecoveryAtEveryKillPoint) {
    set_old();
    int status = -1;
    const unsigned long total = count_changes(status);
    ASSERT_EQ(status, 0);
    ASSERT_TRUE(all(true));
    unsigned long old_seen = 0;
    unsigned long new_seen = 0;
    kill_at_every_point(total, true, old_seen, new_seen);
    EXPECT_GT(old_seen, 0u);
    EXPECT_GT(new_seen, 0u) << "no kill came after the commit record";
    std::printf("%lu kill points: %lu all old, %lu all new\n", total, old_seen, new_seen);
}

// A program that runs from one of the targets, started anew for each
// kill: its file is set aside in the commit and the new one takes its
// name. Every kill leaves all old or all new; only the running program's
// old file may stay beside it (set aside, it goes at the next restart).
TEST_F(KilledOnWindows, TransactionWithARunningProgramIsAllOldOrAllNewAtEveryKillPoint) {
    using kivtest::HeldByAnotherProcess;
    targets_.push_back({"app/prog.exe", kivtest::read_file(HeldByAnotherProcess::program()),
                        "new program"});
    write_file(path("prog.new"), "new program");
    write_file(path("app/held.txt"), "held");
    arguments_.insert(arguments_.end(), {path("prog.new"), path("app/prog.exe")});
    may_stay_ = {"app/held.txt", "app/.prog.exe.kiv-old-", "app/.prog.exe.kiv-was-"};
    std::unique_ptr<HeldByAnotherProcess> running;
    around_ = [&](bool before) {
        if (before) {
            running = std::make_unique<HeldByAnotherProcess>(HeldByAnotherProcess::Way::open,
                                                             kivtest::widen(path("app/held.txt")),
                                                             kivtest::widen(path("app/prog.exe")));
            ASSERT_TRUE(running->ok()) << running->error();
            return;
        }
        running.reset();
        for (const auto& entry : std::filesystem::directory_iterator(path("app"))) {
            if (entry.path().filename().string().rfind(".prog.exe.kiv-", 0) == 0) {
                std::filesystem::remove(entry.path());
            }
        }
    };
    set_old();
    around_(true);
    int status = -1;
    const unsigned long total = count_changes(status);
    around_(false);
    ASSERT_EQ(status, 0);
    ASSERT_TRUE(all(true));
    unsigned long old_seen = 0;
    unsigned long new_seen = 0;
    kill_at_every_point(total, true, old_seen, new_seen);
    EXPECT_GT(old_seen, 0u);
    EXPECT_GT(new_seen, 0u) << "no kill came after the commit record";
    std::printf("%lu kill points: %lu all old, %lu all new\n", total, old_seen, new_seen);
}

// A file that another program holds open without delete sharing cannot
// be replaced: the commit refuses the transaction before its record, so
// that a kill at any point leaves every target old.
TEST_F(KilledOnWindows, TransactionWithATargetHeldWithoutDeleteSharingIsAllOldAtEveryKillPoint) {
    set_old();
    HANDLE tool = ::CreateFileW(kivtest::widen(path("app/tool")).c_str(), GENERIC_READ,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(tool, INVALID_HANDLE_VALUE);
    int status = -1;
    const unsigned long total = count_changes(status);
    EXPECT_EQ(status, 1) << "the commit must be refused";
    unsigned long old_seen = 0;
    unsigned long new_seen = 0;
    kill_at_every_point(total, false, old_seen, new_seen);
    ::CloseHandle(tool);
    EXPECT_EQ(old_seen, total);
}

}  // namespace
