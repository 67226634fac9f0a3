// SPDX-License-Identifier: Zlib
// Crash consistency: each library call runs in a driver process that the
// killpoint library kills just before one of its file-changing calls, at
// every such call in turn, and what is left behind is judged.
//
// A SIGKILL loses nothing that the process handed to the kernel: the page
// cache survives it, so this harness cannot stage a power loss. What it does
// prove is the order in which the calls change the files, at every point of
// that order. Surviving a power loss also needs each step to be synced before
// the next one starts (the temporary file before the file is touched, the
// file before the temporary file goes); the power-loss explorer
// (powerloss_test.cpp) checks that.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "kivtest/files.h"
#include "kivtest/programs.h"
#include "kivtest/reference.h"
#include "planted_text.h"

namespace {

using kivtest::planted_text;
using kivtest::read_file;
using kivtest::write_file;

// Above this many calls, the kill points are spread evenly instead.
constexpr unsigned long most_kill_points = 400;

// Together the substitution scenarios must try at least this many points.
constexpr unsigned long fewest_substitution_kill_points = 200;

struct Exit {
    bool killed = false;  // died of SIGKILL
    int status = -1;      // the exit status when it exited normally
    std::string log;      // what it printed
};

struct Tally {
    unsigned long tried = 0;
    unsigned long broken = 0;
};

// All of 1..total when there are few, else `most_kill_points` spread evenly
// from the first call to the last.
std::vector<unsigned long> kill_points(unsigned long total) {
    std::vector<unsigned long> points;
    if (total <= most_kill_points) {
        for (unsigned long point = 1; point <= total; ++point) {
            points.push_back(point);
        }
        return points;
    }
    for (unsigned long i = 0; i < most_kill_points; ++i) {
        points.push_back(1 + i * (total - 1) / (most_kill_points - 1));
    }
    return points;
}

// A front end's --atomic run: its command line, its journal folder, what
// its targets are called in --recover's lines ("file" or "target"), and
// how its targets are set old and judged.
struct AtomicScenario {
    std::string name;
    std::string program;
    std::vector<std::string> arguments;
    std::string journal;
    std::string targets;
    std::function<void()> set_old;
    std::function<bool()> all_old;
    std::function<bool()> all_new;
    std::function<bool()> left_nothing;  // no staged file, no journal
};

class CrashConsistency : public kivtest::WorkDirTest {
protected:
    void SetUp() override {
        WorkDirTest::SetUp();
        tmp_ = path("tmp");
        kivtest::make_directory(tmp_);
    }

    // Runs the driver with the killpoint library preloaded; `kill_at` 0 only
    // counts, and the count is returned through `calls`.
    Exit run_driver(const std::vector<std::string>& arguments, unsigned long kill_at,
                    unsigned long transfer_limit, unsigned long* calls = nullptr) {
        return run_killed(KIV_CRASH_DRIVER_PATH, arguments, kill_at, transfer_limit, calls);
    }

    // The same for any program of ours: the driver, or a front end.
    Exit run_killed(const std::string& program, const std::vector<std::string>& arguments,
                    unsigned long kill_at, unsigned long transfer_limit,
                    unsigned long* calls = nullptr) {
        const std::string count_file = path("count");
        std::remove(count_file.c_str());
        const kivtest::ProgramRun run = kivtest::run_program(
            program, arguments,
            {std::string("LD_PRELOAD=") + KIV_KILLPOINT_PATH, "TMP=" + tmp_,
             "KIV_COUNT_FILE=" + count_file,
             "KIV_TRANSFER_LIMIT=" + std::to_string(transfer_limit),
             kill_at != 0 ? "KIV_KILL_AT=" + std::to_string(kill_at) : "KIV_KILL_AT"});
        Exit exit;
        exit.killed = run.signal == SIGKILL;
        exit.status = run.exit_status;
        exit.log = run.out + run.err;
        if (calls != nullptr) {
            *calls = kivtest::exists(count_file)
                         ? std::strtoul(read_file(count_file).c_str(), nullptr, 10)
                         : 0;
        }
        return exit;
    }

    // The temporary files that the substitution left in TMP.
    std::vector<std::string> temporaries() const {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(tmp_)) {
            if (entry.path().filename().string().rfind("KIV", 0) == 0) {
                found.push_back(entry.path().string());
            }
        }
        return found;
    }

    void remove_temporaries() const {
        for (const std::string& name : temporaries()) {
            std::filesystem::remove(name);
        }
    }

    // Kills the substitution of `pattern` by `replacement` in a 3 MiB file
    // at every point of its run, lets the next call in TMP settle what the
    // killed one left there, and checks after each kill that the file
    // holds its old or its new content whole, or else that a temporary file
    // holds the new content whole, from which it can be recovered.
    Tally substitution(const std::string& scenario, const std::string& pattern,
                       const std::string& replacement, unsigned long transfer_limit,
                       unsigned long& partly_overwritten) {
        const std::string file = path("file");
        const std::string old_content = planted_text(3 * 1024 * 1024, pattern);
        const std::string new_content =
            kivtest::reference_substitution(old_content, pattern, replacement).output;
        const std::vector<std::string> arguments = {"subst", file, pattern, replacement};
        Tally tally;

        write_file(file, old_content);
        unsigned long total = 0;
        Exit counted = run_driver(arguments, 0, transfer_limit, &total);
        EXPECT_EQ(counted.status, 0) << scenario << ": the counting run failed: " << counted.log;
        EXPECT_TRUE(read_file(file) == new_content) << scenario << ": the counting run";
        EXPECT_TRUE(temporaries().empty())
            << scenario << ": the counting run left a temporary file";
        if (total == 0) {
            ADD_FAILURE() << scenario << ": the killpoint library counted no calls";
            return tally;
        }

        unsigned long old_seen = 0;
        unsigned long new_seen = 0;
        unsigned long mixed_seen = 0;
        for (unsigned long point : kill_points(total)) {
            write_file(file, old_content);
            remove_temporaries();
            Exit exit = run_driver(arguments, point, transfer_limit);
            ++tally.tried;
            if (!exit.killed) {
                ADD_FAILURE() << scenario << ": not killed at call " << point << " of " << total
                              << " (exit status " << exit.status << "): " << exit.log;
                continue;
            }
            write_file(path("next"), "next");
            const Exit next = run_driver({"subst", path("next"), "next", "after"}, 0, 0);
            EXPECT_EQ(next.status, 0) << scenario << ": the next call failed: " << next.log;
            const std::string now = read_file(file);
            bool recoverable = false;
            for (const std::string& name : temporaries()) {
                recoverable = recoverable || read_file(name) == new_content;
            }
            if (now == old_content) {
                ++old_seen;
            } else if (now == new_content) {
                ++new_seen;
            } else if (recoverable) {
                ++mixed_seen;
            } else {
                ++tally.broken;
                ADD_FAILURE() << scenario << ": killed before call " << point << " of " << total
                              << ", the file (" << now.size()
                              << " bytes) holds neither its old nor its new "
                              << "content and no temporary file holds the new content";
            }
        }

        // One call more than were counted: the run ends normally, with the
        // killpoint library in place, and cleans up after itself.
        write_file(file, old_content);
        remove_temporaries();
        Exit completed = run_driver(arguments, total + 1, transfer_limit);
        EXPECT_EQ(completed.status, 0)
            << scenario << ": the run with no kill failed: " << completed.log;
        EXPECT_TRUE(read_file(file) == new_content) << scenario << ": the run with no kill";
        EXPECT_TRUE(temporaries().empty())
            << scenario << ": the run with no kill left a temporary file";
        remove_temporaries();

        std::printf(
            "%s: kill points tried: %lu, invariant broken: %lu "
            "(calls %lu; file left old %lu, new %lu, partly overwritten %lu)\n",
            scenario.c_str(), tally.tried, tally.broken, total, old_seen, new_seen, mixed_seen);
        std::fflush(stdout);
        partly_overwritten += mixed_seen;
        return tally;
    }

    // Kills a copy that replaces its target at every point of its run.
    void copy(unsigned long transfer_limit);
    // Kills an install that replaces its target at every point of its run.
    void install(unsigned long transfer_limit);
    // Kills a front end's --atomic run at every point of its run, each time
    // followed by its --recover.
    void kill_and_recover(const AtomicScenario& scenario);

    std::string tmp_;
};

// The growing and the shrinking substitution, each with the transfers the
// system makes (1 MiB writes, one copy_file_range for the whole write-back)
// and with transfers cut to 64 KiB, which puts many kill points inside the
// scan and inside the write-back.
TEST_F(CrashConsistency, SubstitutionLeavesOldOrNewContentOrACompleteTemporaryFile) {
    const std::string grow_pattern = "{{install-dir}}";
    const std::string grow_replacement = "/opt/products/installer-test/version-1.0.0/share";
    const std::string shrink_pattern = "C:/Program Files/Previous Product Name/";
    const std::string shrink_replacement = "D:/p/";
    constexpr unsigned long whole = 0;
    constexpr unsigned long cut = 64 * 1024;

    unsigned long partly_overwritten = 0;
    const Tally tallies[] = {
        substitution("substitution, growing", grow_pattern, grow_replacement, whole,
                     partly_overwritten),
        substitution("substitution, shrinking", shrink_pattern, shrink_replacement, whole,
                     partly_overwritten),
        substitution("substitution, growing, 64 KiB transfers", grow_pattern, grow_replacement, cut,
                     partly_overwritten),
        substitution("substitution, shrinking, 64 KiB transfers", shrink_pattern,
                     shrink_replacement, cut, partly_overwritten),
    };
    Tally all;
    for (const Tally& tally : tallies) {
        all.tried += tally.tried;
        all.broken += tally.broken;
    }
    std::printf("substitution, all scenarios: kill points tried: %lu, invariant broken: %lu\n",
                all.tried, all.broken);
    EXPECT_EQ(all.broken, 0u);
    EXPECT_GE(all.tried, fewest_substitution_kill_points);
    // Kills inside the write-back, where only the temporary file holds the
    // result, are the ones that matter most; if none happened, the
    // killpoint library missed the calls that overwrite the file.
    EXPECT_GT(partly_overwritten, 0u) << "no kill fell inside the write-back";
}

// The copy promises nothing about the target's old content once it has
// started replacing it (the target is cut to nothing first), so a killed
// copy may leave the target in any state. What it must never do is change
// the source, and a copy that ran to its end must be exact. The copy moves
// its data inside the kernel in one call, or, with transfers cut to 64 KiB,
// in many, each a point to be killed at.
TEST_F(CrashConsistency, CopyNeverChangesItsSourceAndCompletesExactly) {
    for (const unsigned long transfer_limit : {0ul, 64ul * 1024}) {
        SCOPED_TRACE("transfer limit " + std::to_string(transfer_limit));
        copy(transfer_limit);
    }
}

void CrashConsistency::copy(unsigned long transfer_limit) {
    const std::string source = path("source");
    const std::string target = path("target");
    std::string source_content = planted_text(600 * 1024 + 123, "\n");
    source_content[1000] = '\0';  // binary content goes through too
    const std::string target_content = planted_text(100 * 1024, "old target\n");
    const std::vector<std::string> arguments = {"copy", source, target};
    write_file(source, source_content);

    write_file(target, target_content);
    unsigned long total = 0;
    Exit counted = run_driver(arguments, 0, transfer_limit, &total);
    ASSERT_EQ(counted.status, 0) << "the counting run failed: " << counted.log;
    ASSERT_TRUE(read_file(target) == source_content) << "the counting run";
    ASSERT_GT(total, 0u) << "the killpoint library counted no calls";

    Tally tally;
    for (unsigned long point : kill_points(total)) {
        write_file(target, target_content);
        Exit exit = run_driver(arguments, point, transfer_limit);
        ++tally.tried;
        if (!exit.killed) {
            ADD_FAILURE() << "not killed at call " << point << " of " << total << " (exit status "
                          << exit.status << "): " << exit.log;
        }
        if (read_file(source) != source_content) {
            ++tally.broken;
            ADD_FAILURE() << "killed before call " << point << " of " << total
                          << ", the source changed";
        }
    }

    // One call more than were counted: the copy runs to its end with the
    // killpoint library in place.
    write_file(target, target_content);
    Exit completed = run_driver(arguments, total + 1, transfer_limit);
    EXPECT_EQ(completed.status, 0) << "the run with no kill failed: " << completed.log;
    EXPECT_TRUE(read_file(source) == source_content) << "the run with no kill changed the source";
    EXPECT_TRUE(read_file(target) == source_content) << "the run with no kill";

    std::printf("copy, transfer limit %lu: kill points tried: %lu, invariant broken: %lu (calls "
                "%lu)\n",
                transfer_limit, tally.tried, tally.broken, total);
    EXPECT_EQ(tally.broken, 0u);
}

// KivInstallFile writes the new file beside the target and renames it
// over the target, so a kill at any point leaves the target whole: its old
// content before the rename, the new after it. A killed install may leave
// its staged file beside the target (a hidden ".target.kiv-new-" name).
TEST_F(CrashConsistency, InstallLeavesTheTargetOldOrNewAtEveryKillPoint) {
    for (const unsigned long transfer_limit : {0ul, 64ul * 1024}) {
        SCOPED_TRACE("transfer limit " + std::to_string(transfer_limit));
        install(transfer_limit);
    }
}

void CrashConsistency::install(unsigned long transfer_limit) {
    const std::string source = path("source");
    const std::string target = path("target");
    const std::string new_content = planted_text(600 * 1024 + 123, "\n");
    const std::string old_content = planted_text(100 * 1024, "old target\n");
    const std::vector<std::string> arguments = {"install", source, target};
    write_file(source, new_content);
    write_file(target, old_content);
    unsigned long total = 0;
    Exit counted = run_driver(arguments, 0, transfer_limit, &total);
    ASSERT_EQ(counted.status, 0) << "the counting run failed: " << counted.log;
    ASSERT_GT(total, 0u) << "the killpoint library counted no calls";

    Tally tally;
    unsigned long old_seen = 0;
    unsigned long new_seen = 0;
    for (unsigned long point : kill_points(total)) {
        write_file(target, old_content);
        Exit exit = run_driver(arguments, point, transfer_limit);
        ++tally.tried;
        if (!exit.killed) {
            ADD_FAILURE() << "not killed at call " << point << " of " << total << " (exit status "
                          << exit.status << "): " << exit.log;
        }
        const std::string now = read_file(target);
        if (now == old_content) {
            ++old_seen;
        } else if (now == new_content) {
            ++new_seen;
        } else {
            ++tally.broken;
            ADD_FAILURE() << "killed before call " << point << " of " << total << ", the target ("
                          << now.size() << " bytes) holds neither its old nor its new content";
        }
    }
    std::printf("install, transfer limit %lu: kill points tried: %lu, invariant broken: %lu (calls "
                "%lu; target left old %lu, new %lu)\n",
                transfer_limit, tally.tried, tally.broken, total, old_seen, new_seen);
    EXPECT_EQ(tally.broken, 0u);
    EXPECT_GT(old_seen, 0u) << "no kill fell before the rename";
}

// A transaction of two installs and a patch in two folders, and of two
// folders it makes, one in the other, with a file in each, killed just
// before each of its changes to the disk, then recovered: every target
// old or every target new (the folders gone, or there with their files),
// and nothing of the transaction left beside the targets or in the
// journal folder. A kill before the commit record leaves all old, one
// after it all new.
TEST_F(CrashConsistency, TransactionIsAllOldOrAllNewAfterRecoveryAtEveryKillPoint) {
    kivtest::make_directory(path("journal"));
    kivtest::make_directory(path("app"));
    kivtest::make_directory(path("app/etc"));
    write_file(path("plugin.new"), planted_text(40 * 1024, "plugin\n"));
    const std::vector<std::pair<std::string, std::string>> old_and_new = {
        {planted_text(100 * 1024, "old tool\n"), planted_text(300 * 1024 + 7, "\n")},
        {"", planted_text(64 * 1024, "new lib\n")},
        {planted_text(200 * 1024, "port=@old@\n"), ""}};
    const std::vector<std::string> targets = {path("app/tool"), path("app/lib"),
                                              path("app/etc/settings")};
    std::vector<std::string> news = {old_and_new[0].second, old_and_new[1].second,
                                     kivtest::reference_substitution(old_and_new[2].first, "@old@",
                                                                     "@new@").output};
    write_file(path("tool.new"), news[0]);
    write_file(path("lib.new"), news[1]);
    const std::vector<std::string> arguments = {
        "txn",          path("journal"),       path("tool.new"),   targets[0],
        path("lib.new"), targets[1],            "=@old@=@new@",     targets[2],
        "+",            path("app/plugins"),   "+",                path("app/plugins/extra"),
        path("plugin.new"), path("app/plugins/a.so"), path("lib.new"),
        path("app/plugins/extra/b.so")};
    const auto set_old = [&] {
        write_file(targets[0], old_and_new[0].first);
        std::filesystem::remove(targets[1]);
        write_file(targets[2], old_and_new[2].first);
        std::filesystem::remove_all(path("app/plugins"));
    };
    const auto folders_new = [&] {
        return kivtest::sorted_names(path("app/plugins")) ==
                   std::vector<std::string>{"a.so", "extra"} &&
               kivtest::sorted_names(path("app/plugins/extra")) ==
                   std::vector<std::string>{"b.so"} &&
               read_file(path("app/plugins/a.so")) == read_file(path("plugin.new")) &&
               read_file(path("app/plugins/extra/b.so")) == news[1];
    };
    const auto names_in = [&](const std::string& folder) {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path(folder))) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    };
    for (const unsigned long transfer_limit : {0ul, 64ul * 1024}) {
        set_old();
        unsigned long total = 0;
        Exit counted = run_driver(arguments, 0, transfer_limit, &total);
        ASSERT_EQ(counted.status, 0) << "the counting run failed: " << counted.log;
        ASSERT_GT(total, 0u) << "the killpoint library counted no calls";
        Tally tally;
        unsigned long old_seen = 0;
        unsigned long new_seen = 0;
        for (unsigned long point : kill_points(total)) {
            set_old();
            Exit exit = run_driver(arguments, point, transfer_limit);
            ++tally.tried;
            EXPECT_TRUE(exit.killed) << "not killed at call " << point << " of " << total;
            Exit recovered = run_driver({"recover", path("journal")}, 0, 0);
            EXPECT_EQ(recovered.status, 0) << "recovery after a kill at " << point << ": "
                                           << recovered.log;
            const bool all_old = read_file(targets[0]) == old_and_new[0].first &&
                                 !kivtest::exists(targets[1]) &&
                                 read_file(targets[2]) == old_and_new[2].first &&
                                 !kivtest::exists(path("app/plugins"));
            const bool all_new = read_file(targets[0]) == news[0] &&
                                 kivtest::exists(targets[1]) && read_file(targets[1]) == news[1] &&
                                 read_file(targets[2]) == news[2] && folders_new();
            old_seen += all_old ? 1 : 0;
            new_seen += all_new ? 1 : 0;
            const std::vector<std::string> app = names_in("app");
            const bool left_nothing =
                names_in("journal").empty() &&
                names_in("app/etc") == std::vector<std::string>{"settings"} &&
                (app == std::vector<std::string>{"etc", "tool"} ||
                 app == std::vector<std::string>{"etc", "lib", "plugins", "tool"});
            if (!(all_old || all_new) || !left_nothing) {
                ++tally.broken;
                ADD_FAILURE() << "killed before call " << point << " of " << total
                              << (all_old || all_new ? ": something of the transaction is left"
                                                     : ": the targets are a mix of old and new");
            }
        }
        std::printf("transaction, transfer limit %lu: kill points tried: %lu, invariant broken: "
                    "%lu (calls %lu; all old %lu, all new %lu)\n",
                    transfer_limit, tally.tried, tally.broken, total, old_seen, new_seen);
        EXPECT_EQ(tally.broken, 0u);
        EXPECT_GT(old_seen, 0u);
        EXPECT_GT(new_seen, 0u);
    }
}

// The run is killed before each of its file-changing calls, then the same
// front end's --recover runs on the journal folder: every target old or
// every target new, nothing of the run left, and --recover's line saying
// which it did. Kills before the commit record are undone, kills after it
// finished: both must be seen.
void CrashConsistency::kill_and_recover(const AtomicScenario& scenario) {
    scenario.set_old();
    unsigned long total = 0;
    const Exit counted = run_killed(scenario.program, scenario.arguments, 0, 0, &total);
    ASSERT_EQ(counted.status, 0) << scenario.name << ": the counting run failed: " << counted.log;
    ASSERT_TRUE(scenario.all_new()) << scenario.name << ": the counting run";
    ASSERT_GT(total, 0u) << scenario.name << ": the killpoint library counted no calls";
    const std::string said = "'" + scenario.journal + "': ";
    const std::string undone_line =
        said + "undone: every " + scenario.targets + " of the interrupted run is old\n";
    const std::string finished_line =
        said + "finished: every " + scenario.targets + " of the interrupted run is new\n";
    Tally tally;
    unsigned long undone = 0;
    unsigned long finished = 0;
    for (unsigned long point : kill_points(total)) {
        scenario.set_old();
        const Exit exit = run_killed(scenario.program, scenario.arguments, point, 0);
        ++tally.tried;
        EXPECT_TRUE(exit.killed) << scenario.name << ": not killed at call " << point << " of "
                                 << total;
        const kivtest::ProgramRun recovered =
            kivtest::run_program(scenario.program, {"--recover=" + scenario.journal}, {});
        EXPECT_EQ(recovered.exit_status, 0) << scenario.name << ": --recover after a kill at "
                                            << point << ": " << recovered.err;
        const bool all_old = scenario.all_old();
        const bool all_new = scenario.all_new();
        const bool told_nothing = recovered.out == said + "nothing to do\n";
        undone += all_old && recovered.out == undone_line ? 1u : 0u;
        finished += all_new && recovered.out == finished_line ? 1u : 0u;
        const bool told_truly = (all_old && (recovered.out == undone_line || told_nothing)) ||
                                (all_new && (recovered.out == finished_line || told_nothing));
        if (!(all_old || all_new) || !told_truly || !scenario.left_nothing()) {
            ++tally.broken;
            ADD_FAILURE() << scenario.name << ": killed before call " << point << " of " << total
                          << ": "
                          << (!(all_old || all_new) ? "the targets are a mix of old and new"
                              : !told_truly         ? "--recover said " + recovered.out
                                                    : "something of the run is left");
        }
    }
    std::printf("%s: kill points tried: %lu, invariant broken: %lu (calls %lu; undone %lu, "
                "finished %lu)\n",
                scenario.name.c_str(), tally.tried, tally.broken, total, undone, finished);
    std::fflush(stdout);
    EXPECT_EQ(tally.broken, 0u);
    EXPECT_GT(undone, 0u);
    EXPECT_GT(finished, 0u);
}

// The names in a folder of the work directory, sorted.
std::vector<std::string> names_in(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// kivsubst --atomic over three files in two folders.
TEST_F(CrashConsistency, AtomicKivsubstRunIsFinishedOrUndoneByRecoverAtEveryKillPoint) {
#if !defined(KIVSUBST_CLI_PATH)
    GTEST_SKIP() << "the front ends are not built (KIV_BUILD_TOOLS is off)";
#else
    kivtest::make_directory(path("journal"));
    kivtest::make_directory(path("app"));
    kivtest::make_directory(path("app/etc"));
    const std::vector<std::string> files = {path("app/one"), path("app/two"),
                                            path("app/etc/three")};
    const std::vector<std::string> olds = {planted_text(100 * 1024, "@old@"), "x @old@ y\n",
                                           planted_text(200 * 1024 + 3, "@old@")};
    std::vector<std::string> news;
    for (const std::string& old : olds) {
        news.push_back(kivtest::reference_substitution(old, "@old@", "@new@!").output);
    }
    const auto holds = [&](const std::vector<std::string>& contents) {
        for (std::size_t i = 0; i < files.size(); ++i) {
            if (read_file(files[i]) != contents[i]) {
                return false;
            }
        }
        return true;
    };
    AtomicScenario scenario;
    scenario.name = "kivsubst --atomic";
    scenario.program = KIVSUBST_CLI_PATH;
    scenario.arguments = {"--atomic=" + path("journal"), "--", "@old@", "@new@!",
                          files[0],                      files[1], files[2]};
    scenario.journal = path("journal");
    scenario.targets = "file";
    scenario.set_old = [&] {
        for (std::size_t i = 0; i < files.size(); ++i) {
            write_file(files[i], olds[i]);
        }
    };
    scenario.all_old = [&] { return holds(olds); };
    scenario.all_new = [&] { return holds(news); };
    scenario.left_nothing = [&] {
        return names_in(path("journal")).empty() &&
               names_in(path("app")) == std::vector<std::string>{"etc", "one", "two"} &&
               names_in(path("app/etc")) == std::vector<std::string>{"three"};
    };
    kill_and_recover(scenario);
#endif
}

// kivsubst --atomic -r over a tree that holds the run's own journal (its
// default folder), killed before each of its calls, then run again: the
// second run settles what the first left before it walks the tree, so that
// it never takes the first run's journal or staged files for files of its
// own, and every file ends new (patched by it, or by the first run
// finished), with nothing of either run left.
TEST_F(CrashConsistency, AtomicKivsubstRunAfterAKilledOneSettlesItBeforeItsWalk) {
#if !defined(KIVSUBST_CLI_PATH)
    GTEST_SKIP() << "the front ends are not built (KIV_BUILD_TOOLS is off)";
#else
    kivtest::make_directory(path("t"));
    kivtest::make_directory(path("t/sub"));
    const std::vector<std::string> files = {path("t/one"), path("t/sub/two")};
    const std::vector<std::string> olds = {planted_text(64 * 1024, "@old@"), "@old@\n"};
    std::vector<std::string> news;
    for (const std::string& old : olds) {
        news.push_back(kivtest::reference_substitution(old, "@old@", "@new@!").output);
    }
    const auto set_old = [&] {
        for (std::size_t i = 0; i < files.size(); ++i) {
            write_file(files[i], olds[i]);
        }
    };
    const std::vector<std::string> arguments = {"--atomic", "-r", "--", "@old@", "@new@!",
                                                path("t")};
    set_old();
    unsigned long total = 0;
    const Exit counted = run_killed(KIVSUBST_CLI_PATH, arguments, 0, 0, &total);
    ASSERT_EQ(counted.status, 0) << "the counting run failed: " << counted.log;
    ASSERT_GT(total, 0u) << "the killpoint library counted no calls";
    Tally tally;
    for (unsigned long point : kill_points(total)) {
        set_old();
        const Exit exit = run_killed(KIVSUBST_CLI_PATH, arguments, point, 0);
        ++tally.tried;
        EXPECT_TRUE(exit.killed) << "not killed at call " << point << " of " << total;
        const kivtest::ProgramRun again = kivtest::run_program(KIVSUBST_CLI_PATH, arguments, {});
        const bool all_new = read_file(files[0]) == news[0] && read_file(files[1]) == news[1];
        const bool left_nothing =
            names_in(path("t")) == std::vector<std::string>{"one", "sub"} &&
            names_in(path("t/sub")) == std::vector<std::string>{"two"};
        if ((again.exit_status != 0 && again.exit_status != 1) || !all_new || !left_nothing) {
            ++tally.broken;
            ADD_FAILURE() << "killed before call " << point << " of " << total
                          << ", the next run exited " << again.exit_status << ": " << again.err
                          << (all_new ? "" : " (not every file is new)")
                          << (left_nothing ? "" : " (something of a run is left)");
        }
    }
    std::printf("kivsubst --atomic -r run again: kill points tried: %lu, invariant broken: %lu "
                "(calls %lu)\n",
                tally.tried, tally.broken, total);
    std::fflush(stdout);
    EXPECT_EQ(tally.broken, 0u);
#endif
}

// kivcopy --atomic -r -f of two files and two trees into a folder: one file
// replaces its target, one is new, the first tree's file replaces one in
// the folder's own subfolder, so that the transaction spans two folders,
// and the second tree is new, two directories deep, so that an undone run
// must take the directories it made away again.
TEST_F(CrashConsistency, AtomicKivcopyRunIsFinishedOrUndoneByRecoverAtEveryKillPoint) {
#if !defined(KIVCOPY_CLI_PATH)
    GTEST_SKIP() << "the front ends are not built (KIV_BUILD_TOOLS is off)";
#else
    kivtest::make_directory(path("journal"));
    kivtest::make_directory(path("media"));
    kivtest::make_directory(path("media/etc"));
    kivtest::make_directory(path("app"));
    kivtest::make_directory(path("app/etc"));
    const std::string old_tool = planted_text(100 * 1024, "old tool\n");
    const std::string old_settings = planted_text(20 * 1024, "port=1\n");
    write_file(path("media/tool"), planted_text(300 * 1024 + 7, "new tool\n"));
    write_file(path("media/lib"), planted_text(64 * 1024, "new lib\n"));
    write_file(path("media/etc/settings"), "port=2\n");
    kivtest::make_directory(path("media/share"));
    kivtest::make_directory(path("media/share/doc"));
    write_file(path("media/share/doc/readme"), planted_text(10 * 1024, "read me\n"));
    AtomicScenario scenario;
    scenario.name = "kivcopy --atomic";
    scenario.program = KIVCOPY_CLI_PATH;
    scenario.arguments = {"--atomic=" + path("journal"),
                          "-r",
                          "-f",
                          "--",
                          path("media/tool"),
                          path("media/lib"),
                          path("media/etc"),
                          path("media/share"),
                          path("app")};
    scenario.journal = path("journal");
    scenario.targets = "target";
    scenario.set_old = [&] {
        write_file(path("app/tool"), old_tool);
        std::filesystem::remove(path("app/lib"));
        write_file(path("app/etc/settings"), old_settings);
        std::filesystem::remove_all(path("app/share"));
    };
    scenario.all_old = [&] {
        return read_file(path("app/tool")) == old_tool && !kivtest::exists(path("app/lib")) &&
               read_file(path("app/etc/settings")) == old_settings &&
               !kivtest::exists(path("app/share"));
    };
    scenario.all_new = [&] {
        return read_file(path("app/tool")) == read_file(path("media/tool")) &&
               kivtest::exists(path("app/lib")) &&
               read_file(path("app/lib")) == read_file(path("media/lib")) &&
               read_file(path("app/etc/settings")) == "port=2\n" &&
               kivtest::exists(path("app/share/doc/readme")) &&
               read_file(path("app/share/doc/readme")) == read_file(path("media/share/doc/readme"));
    };
    scenario.left_nothing = [&] {
        const std::vector<std::string> app = names_in(path("app"));
        const bool share_whole =
            app != std::vector<std::string>{"etc", "lib", "share", "tool"} ||
            (names_in(path("app/share")) == std::vector<std::string>{"doc"} &&
             names_in(path("app/share/doc")) == std::vector<std::string>{"readme"});
        return names_in(path("journal")).empty() &&
               (app == std::vector<std::string>{"etc", "tool"} ||
                app == std::vector<std::string>{"etc", "lib", "share", "tool"}) &&
               share_whole && names_in(path("app/etc")) == std::vector<std::string>{"settings"};
    };
    kill_and_recover(scenario);
#endif
}

}  // namespace
