// SPDX-License-Identifier: Zlib
// What a kivsubst run by root leaves in its TMP when an ordinary user swaps
// a file, or its directory, while the run works on it. The attacker
// library, preloaded into the front end, acts as nobody around each call
// that names the file in turn, from the first call on, each time in a fresh
// copy of the setup: between the check and the scan, during the scan,
// between the scan and the write-back. A run that meets a file that is no
// longer the one it checked fails with 3 and must leave no temporary file
// behind; only a file that could not be overwritten keeps its result in one
// (7), and no swap here makes one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "attack_fixture.h"
#include "kivtest/files.h"
#include "kivtest/programs.h"

namespace {

using kivtest::read_file;

constexpr uid_t attacker_id = 65534;  // nobody, and its group nogroup
constexpr unsigned most_moments = 16;

// How the attacker changes what the run works on: the file b.conf in the
// attacker's directory sub/, beside a.conf and c.conf.
struct Swap {
    const char* label;
    const char* action;  // the attacker's action, with @ for the attack's directory
};

const Swap swaps[] = {
    {"another file renamed over it", "rename @/stage/b.conf @/tree/sub/b.conf"},
    {"a link to root's file renamed over it", "rename @/stage/link @/tree/sub/b.conf"},
    {"moved away", "rename @/tree/sub/b.conf @/stage/moved"},
    {"its directory exchanged for a copy", "exchange @/tree/sub @/stage/sub"},
};

std::string with_base(std::string text, const std::string& base) {
    for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
        text.replace(at, 1, base);
        at += base.size();
    }
    return text;
}

void make_owned(const std::string& path, const std::string& bytes) {
    kivtest::write_file(path, bytes);
    ASSERT_EQ(::chown(path.c_str(), attacker_id, attacker_id), 0) << path;
}

void make_owned_directory(const std::string& path) {
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path;
    ASSERT_EQ(::chown(path.c_str(), attacker_id, attacker_id), 0) << path;
}

// The names of the temporary files ("KIV" and a number) in `directory`.
std::vector<std::string> temporary_files_in(const std::string& directory) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("KIV", 0) == 0) {
            found.push_back(name);
        }
    }
    return found;
}

class SwappedDuringARun : public kivtest::AttackWorkDirTest {
protected:
    // Root's own TMP, which only root may write; the attacker's tree with
    // the three files, a file of its own to swap in and a copy of sub/; and
    // root's file that a link points to.
    void prepare(const std::string& base) {
        ASSERT_EQ(::mkdir(base.c_str(), 0755), 0) << base;
        ASSERT_EQ(::mkdir((base + "/tmp").c_str(), 0700), 0);
        kivtest::write_file(base + "/root-file", "port=8080 root's own");
        make_owned_directory(base + "/tree");
        make_owned_directory(base + "/tree/sub");
        make_owned_directory(base + "/stage");
        make_owned_directory(base + "/stage/sub");
        for (const char* name : {"a.conf", "b.conf", "c.conf"}) {
            make_owned(base + "/tree/sub/" + name, "port=8080");
            make_owned(base + "/stage/sub/" + name, "port=8080");
        }
        make_owned(base + "/stage/b.conf", "port=8080 attacker's own");
        ASSERT_EQ(::symlink((base + "/root-file").c_str(), (base + "/stage/link").c_str()), 0);
        ASSERT_EQ(::lchown((base + "/stage/link").c_str(), attacker_id, attacker_id), 0);
    }

    // Runs kivsubst over `files` of sub/ (or with -r over the tree when
    // `files` is empty) under the swap at moment `n`; false when the moment
    // never came. What the run left in TMP goes to `left`.
    bool run_once(const std::string& base, const Swap& swap, const std::vector<std::string>& files,
                  const char* when, unsigned n, std::string& left) {
        std::vector<std::string> arguments = {"--", "8080", "8443"};
        if (files.empty()) {
            arguments.insert(arguments.begin(), "-r");
            arguments.push_back(base + "/tree");
        }
        for (const std::string& file : files) {
            arguments.push_back(base + "/tree/sub/" + file);
        }
        const std::string report = base + "/report";
        const kivtest::ProgramRun run = kivtest::run_program(
            KIVSUBST_CLI_PATH, arguments,
            {"LD_PRELOAD=" KIV_ATTACKER_PATH, "KIV_ATTACK_CALLS=any", "KIV_ATTACK_NAME=b.conf",
             "KIV_ATTACK_AT=" + std::to_string(n), std::string("KIV_ATTACK_WHEN=") + when,
             "KIV_ATTACK_DO=" + with_base(swap.action, base), "KIV_ATTACK_REPORT=" + report,
             "TMP=" + base + "/tmp"});
        if (!kivtest::exists(report)) {
            return false;
        }
        const std::vector<std::string> kept = temporary_files_in(base + "/tmp");
        const std::string over = files.empty() ? "-r over the tree"
                                               : std::to_string(files.size()) + " file(s)";
        const std::string where = std::string("  ") + swap.label + ", " + over + ", " + when +
                                  " call " + std::to_string(n) + ": ";
        if (!kept.empty()) {
            left += where + std::to_string(kept.size()) + " temporary file(s) left, exit " +
                    std::to_string(run.exit_status) + "\n    " + run.err;
        }
        EXPECT_TRUE(run.exit_status == 0 || run.exit_status == 3) << where << run.err;
        // A link there before the run's first look at the name is the FILE
        // named, which is followed; one swapped in later never is.
        if (n > 1 || std::string(when) == "after") {
            EXPECT_EQ(read_file(base + "/root-file"), "port=8080 root's own") << where;
        }
        return true;
    }
};

// Every swap at every moment, over one file (the library's own steps one
// by one), three files (a batch sharing its syncs) and a tree (-r).
TEST_F(SwappedDuringARun, KivsubstLeavesNoTemporaryFileInTmp) {
    const std::vector<std::vector<std::string>> runs = {
        {"b.conf"}, {"a.conf", "b.conf", "c.conf"}, {}};
    std::string left;
    unsigned runs_made = 0;
    unsigned case_number = 0;
    for (const Swap& swap : swaps) {
        for (const std::vector<std::string>& files : runs) {
            for (const char* when : {"before", "after"}) {
                ++case_number;
                unsigned came = 0;
                for (unsigned n = 1; n <= most_moments; ++n) {
                    const std::string base =
                        path("case-" + std::to_string(case_number) + "-" + std::to_string(n));
                    prepare(base);
                    if (HasFatalFailure() || !run_once(base, swap, files, when, n, left)) {
                        break;
                    }
                    ++came;
                }
                EXPECT_GT(came, 0u) << swap.label << ", " << when << ": the moment never came";
                runs_made += came;
            }
        }
    }
    EXPECT_TRUE(left.empty()) << "runs that left temporary files in TMP (of " << runs_made
                              << "):\n"
                              << left;
}

}  // namespace
