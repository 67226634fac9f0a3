// SPDX-License-Identifier: Zlib
// Attacks by an ordinary local user (nobody) on the front ends while root
// runs them over a tree or into a folder that user can write. The attacker
// library, preloaded into the front end, lets that user act at a chosen
// moment inside the program: around the N-th call that names the file under
// attack, or after the N-th close of it. A moment that suits one way of
// working may not suit another, so each attack is tried at every moment from
// the first call on, in a fresh copy of its setup each time, and must win at
// none of them. Each check is the harm itself: a file of root's outside the
// tree changed, the attacker's file made root's or set-ID, root's copy
// made the attacker's, the attacker's file in a directory root made, a
// private file opened by the attacker, the program killed by a signal.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "attack_fixture.h"
#include "kivtest/faults.h"
#include "kivtest/files.h"
#include "kivtest/programs.h"

namespace {

using kivtest::exists;
using kivtest::read_file;

constexpr uid_t root_id = 0;
constexpr uid_t attacker_id = 65534;  // nobody, and its group nogroup
constexpr unsigned most_moments = 12;

void make_dir(const std::string& path, uid_t owner, mode_t mode) {
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path;
    ASSERT_EQ(::chown(path.c_str(), owner, owner), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;  // after chown, which may clear set-ID bits
}

void make_file(const std::string& path, const std::string& bytes, uid_t owner, mode_t mode) {
    kivtest::write_file(path, bytes);
    ASSERT_EQ(::chown(path.c_str(), owner, owner), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

void make_link(const std::string& target, const std::string& path, uid_t owner) {
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
    ASSERT_EQ(::lchown(path.c_str(), owner, owner), 0) << path;
}

void make_fifo(const std::string& path, uid_t owner) {
    ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0) << path;
    ASSERT_EQ(::chown(path.c_str(), owner, owner), 0) << path;
}

// Whether nobody can open `path` for reading.
bool attacker_can_read(const std::string& path) {
    std::string why_not;
    const int opened = kivtest::run_as_nobody(
        [&] {
            const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            return fd >= 0 && ::close(fd) == 0 ? 1 : 0;
        },
        why_not);
    EXPECT_GE(opened, 0) << why_not;
    return opened == 1;
}

// What an attack could change about the entries under `dir` and `dir`
// itself: kind, mode, owner, inode and the bytes of each file, by path.
using Snapshot = std::map<std::string, std::string>;

Snapshot snapshot(const std::string& dir) {
    Snapshot entries;
    auto note = [&](const std::string& path) {
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0) {
            return;
        }
        std::string& seen = entries[path];
        char mode[16];
        std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(status.st_mode));
        seen = std::string("mode ") + mode + " owner " +
               std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid) + " inode " +
               std::to_string(status.st_ino);
        if (S_ISREG(status.st_mode)) {
            seen += " bytes '" + read_file(path) + "'";
        }
    };
    note(dir);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        note(entry.path().string());
    }
    return entries;
}

// The first difference between two snapshots, or "" when there is none.
std::string changes(const Snapshot& before, const Snapshot& after) {
    for (const auto& [path, was] : before) {
        const auto now = after.find(path);
        if (now == after.end()) {
            return path + " removed";
        }
        if (now->second != was) {
            return path + " changed: " + was + " -> " + now->second;
        }
    }
    for (const auto& [path, is] : after) {
        if (before.count(path) == 0) {
            return path + " created: " + is;
        }
    }
    return "";
}

// Looks at each regular file under `dir` (if it is there) with `harm`,
// which tells what is wrong with one ("" for nothing); the first such
// account, or "".
std::string first_harm(
    const std::string& dir,
    const std::function<std::string(const std::string& file, const struct stat& status)>& harm) {
    if (!exists(dir)) {
        return "";
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        struct stat status {};
        const std::string file = entry.path().string();
        if (::lstat(file.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
            std::string found = harm(file, status);
            if (!found.empty()) {
                return found;
            }
        }
    }
    return "";
}

// When the attacker acts (the attacker library's settings) and what it does.
struct Moment {
    std::string calls = "any";  // or "close", or a list of kinds
    std::string name;           // the last component of the path watched
    std::string when = "before";
};

// One run of a front end under attack, set up afresh in its own directory.
struct Plan {
    std::string program;
    std::vector<std::string> arguments;
    Moment moment;
    std::vector<std::string> actions;  // each "verb path [path]", done as nobody
};

// Each attack gets two folders in its directory: root's, which nothing may
// change, and the attacker's (nobody's, 0755), where the tree or the
// target lies and where the attacker stages its links ("stage").
struct Folders {
    std::string root;
    std::string attacker;
    std::string stage;
};

class Attack : public kivtest::AttackWorkDirTest {
protected:
    Folders folders(const std::string& base) {
        const Folders made{base + "/root", base + "/attacker", base + "/attacker/stage"};
        make_dir(base, root_id, 0755);
        make_dir(made.root, root_id, 0755);
        make_dir(made.attacker, attacker_id, 0755);
        make_dir(made.stage, attacker_id, 0755);
        return made;
    }

    // Runs the attack at moment N = 1, 2, ... up to most_moments, each in a
    // fresh directory for which `prepare` makes the setup and the plan, and
    // expects `won` to find no harm after any run ("" for none, else what
    // the attacker achieved; the run is last_run_ then). The sweep ends at
    // the first N that never comes; at least one must. Returns how many
    // came: the tries.
    unsigned expect_held(const std::string& label,
                         const std::function<Plan(const std::string& base)>& prepare,
                         const std::function<std::string(const std::string& base)>& won) {
        unsigned came = 0;
        std::string wins;
        for (unsigned n = 1; n <= most_moments; ++n) {
            const std::string base = path(label + "-" + std::to_string(n));
            const Plan plan = prepare(base);
            if (HasFatalFailure()) {
                return came;
            }
            std::string actions;
            for (const std::string& action : plan.actions) {
                actions += action + ";";
            }
            // TMP is unset, so that kivsubst's temporary files go beside
            // each file, in the folders under attack.
            const std::string report = base + "/report";
            const kivtest::ProgramRun run = kivtest::run_program(
                plan.program, plan.arguments,
                {"LD_PRELOAD=" KIV_ATTACKER_PATH, "KIV_ATTACK_CALLS=" + plan.moment.calls,
                 "KIV_ATTACK_NAME=" + plan.moment.name, "KIV_ATTACK_AT=" + std::to_string(n),
                 "KIV_ATTACK_WHEN=" + plan.moment.when, "KIV_ATTACK_DO=" + actions,
                 "KIV_ATTACK_REPORT=" + report, "TMP"});
            if (!exists(report)) {
                break;
            }
            ++came;
            last_run_ = run;
            const std::string harm = won(base);
            if (!harm.empty()) {
                wins += "  N=" + std::to_string(n) + ": " + harm + "\n    attacker: " +
                        read_file(report) + "    program: " + run.err + "\n";
            }
        }
        EXPECT_GT(came, 0u) << label << ": the attacker's moment never came";
        EXPECT_TRUE(wins.empty()) << label << ": the attack won\n" << wins;
        return came;
    }

    kivtest::ProgramRun last_run_;

    // expect_held, where the harm is any change to root's folder: `prepare`
    // makes the setup in the attack's folders and returns the plan, and
    // root's folder must be after the run as it was when the setup was made.
    void expect_root_folder_held(const std::string& label,
                                 const std::function<Plan(const Folders& at)>& prepare) {
        Snapshot before;
        expect_held(
            label,
            [&](const std::string& base) {
                const Folders at = folders(base);
                Plan plan = prepare(at);
                before = snapshot(at.root);
                return plan;
            },
            [&](const std::string& base) { return changes(before, snapshot(base + "/root")); });
    }
};

// Root's package to copy, pkg/app.conf, and root's folder victim/ with a
// file of the same name, which no swap may let the copy reach.
void make_package_and_victim(const Folders& at) {
    make_dir(at.root + "/pkg", root_id, 0755);
    make_file(at.root + "/pkg/app.conf", "new", root_id, 0644);
    make_dir(at.root + "/victim", root_id, 0755);
    make_file(at.root + "/victim/app.conf", "root's own", root_id, 0644);
}

// kivcopy -r of root's pkg/ into the attacker's folder, where the attacker
// moves the pkg/ that the run has made away and puts a link to root's
// victim/ at its name.
Plan copy_package_into_a_directory_swapped_for_the_victim(const Folders& at) {
    const std::string made = at.attacker + "/pkg";
    return Plan{KIVCOPY_CLI_PATH,
                {"-r", "--", at.root + "/pkg", at.attacker},
                {"any", "pkg", "before"},
                {"rename " + made + " " + made + ".old", "symlink " + at.root + "/victim " + made}};
}

// kivcopy -p, one file or a tree, into the attacker's folder: the attacker
// renames its own program over the copy when the copy is closed (when
// inotify would tell it the copy was written), or around any call that
// names the copy. Root must not then give that program root's owner or a
// set-ID bit.
TEST_F(Attack, KivcopyPreserveNeverGivesTheAttackersFileRootOrSetId) {
    for (const bool tree : {false, true}) {
        for (const Moment& moment : {Moment{"close", "tool", "after"}, Moment{"any", "tool"}}) {
            expect_held(
                std::string(tree ? "tree-" : "file-") + moment.calls,
                [&](const std::string& base) {
                    const Folders at = folders(base);
                    std::string source = at.root + "/tool";
                    std::string into = at.attacker;
                    if (tree) {
                        make_dir(at.root + "/pkg", root_id, 0755);
                        make_dir(at.attacker + "/pkg", attacker_id, 0755);  // merged into
                        source = at.root + "/pkg";
                        into = at.attacker + "/pkg";
                    }
                    make_file(tree ? source + "/tool" : source, "root's program", root_id,
                              04755);
                    make_file(at.stage + "/evil", "attacker's program", attacker_id, 0755);
                    EXPECT_EQ(::link((at.stage + "/evil").c_str(), (at.stage + "/kept").c_str()),
                              0);
                    std::vector<std::string> arguments = {"-p", "--", source, at.attacker};
                    if (tree) {
                        arguments.insert(arguments.begin(), "-r");
                    }
                    return Plan{KIVCOPY_CLI_PATH, arguments, moment,
                                {"rename " + at.stage + "/evil " + into + "/tool"}};
                },
                [&](const std::string& base) {
                    const struct stat kept = kivtest::status_of(base + "/attacker/stage/kept");
                    if (kept.st_uid == attacker_id && (kept.st_mode & 06000) == 0) {
                        return std::string();
                    }
                    char mode[16];
                    std::snprintf(mode, sizeof mode, "%o",
                                  static_cast<unsigned>(kept.st_mode & 07777));
                    return "the attacker's program became uid " + std::to_string(kept.st_uid) +
                           ", mode " + mode;
                });
        }
    }
}

// kivcopy -a or -r -p of a tree of root's into the attacker's folder (an
// existing pkg/ merged into): a-secret, root's alone (0600), is copied
// first, then a link or a FIFO of the attacker's is made anew and given its
// source's owner. The attacker renames root's fresh copy of a-secret over
// the new link or FIFO around each call that names it: root's copy must
// never become the attacker's.
TEST_F(Attack, KivcopyPreserveNeverGivesALinksOwnerToAFileRenamedOverIt) {
    const std::string secret = "root's secret";
    for (const std::string kind : {"link", "fifo"}) {
        for (const std::vector<std::string>& preserve :
             {std::vector<std::string>{"-a"}, std::vector<std::string>{"-r", "-p"}}) {
            expect_held(
                kind + (preserve.size() == 1 ? "-archive" : "-preserve"),
                [&](const std::string& base) {
                    const Folders at = folders(base);
                    make_dir(at.root + "/pkg", root_id, 0755);
                    // The walk takes names in order: a-secret before the link or FIFO.
                    make_file(at.root + "/pkg/a-secret", secret, root_id, 0600);
                    if (kind == "link") {
                        make_link("elsewhere", at.root + "/pkg/link", attacker_id);
                    } else {
                        make_fifo(at.root + "/pkg/fifo", attacker_id);
                    }
                    make_dir(at.attacker + "/pkg", attacker_id, 0755);  // merged into
                    std::vector<std::string> arguments = preserve;
                    arguments.insert(arguments.end(), {"--", at.root + "/pkg", at.attacker});
                    const std::string made = at.attacker + "/pkg/";
                    return Plan{KIVCOPY_CLI_PATH, arguments, {"any", kind, "before"},
                                {"rename " + made + "a-secret " + made + kind}};
                },
                [&](const std::string& base) {
                    return first_harm(base + "/attacker", [&](const std::string& file,
                                                              const struct stat& status) {
                        return status.st_uid != root_id && read_file(file) == secret
                                   ? file + ", root's copy of a-secret, became uid " +
                                         std::to_string(status.st_uid)
                                   : std::string();
                    });
                });
        }
    }
}

// kivcopy -a or -r --preserve=links of a tree of root's in which sub/second
// is another name of first, into the attacker's folder (an existing pkg/
// merged into): root's copy of first is made there, then sub/, root's, and
// second in it as another name of that copy. The attacker renames its own
// program over the copy of first around each call that names second: sub/
// must hold nothing but what root copied.
TEST_F(Attack, KivcopyPreserveLinksNeverLinksTheAttackersFileIntoANewDirectory) {
    const std::string program = "root's program";
    for (const std::vector<std::string>& preserve :
         {std::vector<std::string>{"-a"}, std::vector<std::string>{"-r", "--preserve=links"}}) {
        expect_held(
            preserve.size() == 1 ? "archive" : "preserve-links",
            [&](const std::string& base) {
                const Folders at = folders(base);
                make_dir(at.root + "/pkg", root_id, 0755);
                make_file(at.root + "/pkg/first", program, root_id, 0755);
                make_dir(at.root + "/pkg/sub", root_id, 0755);
                EXPECT_EQ(::link((at.root + "/pkg/first").c_str(),
                                 (at.root + "/pkg/sub/second").c_str()),
                          0);
                make_dir(at.attacker + "/pkg", attacker_id, 0755);  // merged into
                make_file(at.stage + "/evil", "attacker's program", attacker_id, 0755);
                std::vector<std::string> arguments = preserve;
                arguments.insert(arguments.end(), {"--", at.root + "/pkg", at.attacker});
                return Plan{KIVCOPY_CLI_PATH, arguments, {"any", "second", "before"},
                            {"rename " + at.stage + "/evil " + at.attacker + "/pkg/first"}};
            },
            [&](const std::string& base) {
                return first_harm(base + "/attacker/pkg/sub", [&](const std::string& file,
                                                                  const struct stat& status) {
                    const std::string bytes = read_file(file);
                    return status.st_uid != root_id || bytes != program
                               ? file + " in root's new directory is no copy of root's: uid " +
                                     std::to_string(status.st_uid) + ", '" + bytes + "'"
                               : std::string();
                });
            });
    }
}

// kivcopy -a -u of a tree of root's in which sub/second is another name
// of first, into the attacker's folder (pkg/ merged into), where the
// attacker has put at pkg/first, newer than root's, its own program or a
// second name of root's secret: -u leaves it alone, and it must not be
// taken for root's copy of first, so sub/, which root makes, holds a copy
// of root's own.
TEST_F(Attack, KivcopyArchiveUpdateNeverTakesAPlantedFileForTheCopy) {
    const std::string program = "root's program";
    for (const char* planted : {"own", "linked"}) {
        const Folders at = folders(path(planted));
        make_dir(at.root + "/pkg", root_id, 0755);
        make_file(at.root + "/pkg/first", program, root_id, 0755);
        make_dir(at.root + "/pkg/sub", root_id, 0755);
        ASSERT_EQ(::link((at.root + "/pkg/first").c_str(), (at.root + "/pkg/sub/second").c_str()),
                  0);
        kivtest::set_times(at.root + "/pkg/first", {1500000000, 0}, {1500000000, 0});
        make_dir(at.attacker + "/pkg", attacker_id, 0755);
        const std::string first = at.attacker + "/pkg/first";
        if (std::string(planted) == "own") {
            make_file(first, "attacker's program", attacker_id, 0755);
        } else {  // as the attacker links it where the system lets anyone link any file
            make_file(at.root + "/secret", "root's secret", root_id, 0600);
            ASSERT_EQ(::link((at.root + "/secret").c_str(), first.c_str()), 0);
        }
        const kivtest::ProgramRun run = kivtest::run_program(
            KIVCOPY_CLI_PATH, {"-a", "-u", "--", at.root + "/pkg", at.attacker});
        EXPECT_EQ(run.exit_status, 0) << planted << ": " << run.err;
        const std::string second = at.attacker + "/pkg/sub/second";
        EXPECT_NE(kivtest::status_of(second).st_ino, kivtest::status_of(first).st_ino)
            << planted << ": root's new directory holds the planted file";
        EXPECT_EQ(read_file(second), program) << planted;
    }
}

// kivsubst -r over the attacker's tree, in which a link to a file of
// root's has been planted: no race is needed to have root's file patched.
TEST_F(Attack, KivsubstRecursiveNeverPatchesThroughAPlantedLink) {
    const Folders at = folders(path("planted"));
    make_file(at.root + "/secret", "port=8080", root_id, 0644);
    make_dir(at.attacker + "/tree", attacker_id, 0755);
    make_file(at.attacker + "/tree/app.conf", "port=8080", attacker_id, 0644);
    make_link(at.root + "/secret", at.attacker + "/tree/link", attacker_id);
    const Snapshot before = snapshot(at.root);
    const kivtest::ProgramRun run = kivtest::run_program(
        KIVSUBST_CLI_PATH, {"-r", "--", "8080", "8443", at.attacker + "/tree"}, {"TMP"});
    EXPECT_EQ(changes(before, snapshot(at.root)), "") << run.err;
}

// kivsubst -r --backup: a subdirectory the walk has read is swapped for a
// link to a folder of root's that holds a file of the same name.
TEST_F(Attack, KivsubstRecursiveNeverFollowsADirectorySwappedForALink) {
    expect_root_folder_held("directory", [&](const Folders& at) {
        make_file(at.root + "/app.conf", "port=8080", root_id, 0644);
        make_dir(at.attacker + "/tree", attacker_id, 0755);
        make_dir(at.attacker + "/tree/sub", attacker_id, 0755);
        make_file(at.attacker + "/tree/sub/app.conf", "port=8080", attacker_id, 0644);
        make_link(at.root, at.stage + "/sub", attacker_id);
        return Plan{KIVSUBST_CLI_PATH,
                    {"-r", "--backup", "--", "8080", "8443", at.attacker + "/tree"},
                    {"any", "app.conf", "before"},
                    {"exchange " + at.attacker + "/tree/sub " + at.stage + "/sub"}};
    });
}

// kivsubst -r: a file of the tree is replaced by a link to a file of root's
// at any moment, the check of every file before the first is patched
// included.
TEST_F(Attack, KivsubstRecursiveNeverFollowsAFileSwappedForALink) {
    expect_root_folder_held("file", [&](const Folders& at) {
        make_file(at.root + "/secret", "port=8080", root_id, 0644);
        make_dir(at.attacker + "/tree", attacker_id, 0755);
        make_file(at.attacker + "/tree/app.conf", "port=8080", attacker_id, 0644);
        make_link(at.root + "/secret", at.stage + "/app.conf", attacker_id);
        return Plan{KIVSUBST_CLI_PATH,
                    {"-r", "--", "8080", "8443", at.attacker + "/tree"},
                    {"any", "app.conf", "before"},
                    {"rename " + at.stage + "/app.conf " + at.attacker + "/tree/app.conf"}};
    });
}

// kivsubst --backup on the attacker's file: its directory is swapped for a
// link to a folder of root's while the file is read. Neither root's earlier
// backup there nor anything else of root's may change.
TEST_F(Attack, KivsubstBackupNeverLandsInADirectorySwappedDuringTheScan) {
    expect_root_folder_held("backup", [&](const Folders& at) {
        make_file(at.root + "/app.conf", "port=8080", root_id, 0644);
        make_file(at.root + "/app.conf~", "root's own backup", root_id, 0600);
        make_dir(at.attacker + "/dir", attacker_id, 0755);
        make_file(at.attacker + "/dir/app.conf", "port=8080 attacker's bytes", attacker_id,
                  0644);
        make_link(at.root, at.stage + "/dir", attacker_id);
        return Plan{KIVSUBST_CLI_PATH,
                    {"--backup", "--", "8080", "8443", at.attacker + "/dir/app.conf"},
                    {"any", "app.conf", "before"},
                    {"exchange " + at.attacker + "/dir " + at.stage + "/dir"}};
    });
}

// kivcopy -r, without -f, into the attacker's folder: the directory the
// run has just made there is swapped for a link to a folder of root's
// holding a file of the same name as one copied.
TEST_F(Attack, KivcopyRecursiveNeverCopiesIntoADirectorySwappedAfterItWasMade) {
    expect_root_folder_held("made", [&](const Folders& at) {
        make_package_and_victim(at);
        return copy_package_into_a_directory_swapped_for_the_victim(at);
    });
}

// kivcopy -r -p into the attacker's folder: after the copy, the folder
// that holds it is swapped for a link to a folder where another user's file
// has the copy's name. Its owner and mode must stay that user's.
TEST_F(Attack, KivcopyRecursivePreserveNeverChangesAFileSwappedIn) {
    expect_root_folder_held("preserve", [&](const Folders& at) {
        make_dir(at.root + "/pkg", root_id, 0755);
        make_file(at.root + "/pkg/tool", "root's program", root_id, 04755);
        make_dir(at.root + "/victim", root_id, 0755);
        make_file(at.root + "/victim/tool", "another user's file", 1234, 0600);
        make_dir(at.attacker + "/pkg", attacker_id, 0755);  // merged into
        make_link(at.root + "/victim", at.stage + "/pkg", attacker_id);
        return Plan{KIVCOPY_CLI_PATH,
                    {"-r", "-p", "--", at.root + "/pkg", at.attacker},
                    {"any", "tool", "before"},
                    {"exchange " + at.attacker + "/pkg " + at.stage + "/pkg"}};
    });
}

// kivcopy -r -f -b into the attacker's folder, over an existing target: the
// folder is swapped for a link to one of root's around the backup's rename.
TEST_F(Attack, KivcopyRecursiveBackupNeverRenamesInADirectorySwappedIn) {
    expect_root_folder_held("backup", [&](const Folders& at) {
        make_package_and_victim(at);
        make_dir(at.attacker + "/pkg", attacker_id, 0755);
        make_file(at.attacker + "/pkg/app.conf", "old", attacker_id, 0644);
        make_link(at.root + "/victim", at.stage + "/pkg", attacker_id);
        return Plan{KIVCOPY_CLI_PATH,
                    {"-r", "-f", "-b", "--", at.root + "/pkg", at.attacker},
                    {"any", "app.conf", "before"},
                    {"exchange " + at.attacker + "/pkg " + at.stage + "/pkg"}};
    });
}

// kivcopy -r of a 0555 source directory into the attacker's folder: the
// copy is made writable to be filled and given 0555 at the end, which must
// never land on a folder of root's swapped in for it.
TEST_F(Attack, KivcopyRecursiveNeverSetsTheModeOfADirectorySwappedIn) {
    expect_root_folder_held("mode", [&](const Folders& at) {
        make_dir(at.root + "/pkg", root_id, 0755);
        make_file(at.root + "/pkg/app.conf", "new", root_id, 0644);
        EXPECT_EQ(::chmod((at.root + "/pkg").c_str(), 0555), 0);
        make_dir(at.root + "/victim", root_id, 0755);
        return copy_package_into_a_directory_swapped_for_the_victim(at);
    });
}

// Starts the program at `path` (a copy of sleep), with nothing of the
// test's output, so that its file is busy ("Text file busy" to a writer);
// returns its process.
pid_t run_busy(const std::string& path) {
    const pid_t running = ::fork();
    if (running == 0) {
        const int nothing = ::open("/dev/null", O_RDWR);
        ::dup2(nothing, STDIN_FILENO);
        ::dup2(nothing, STDOUT_FILENO);
        ::dup2(nothing, STDERR_FILENO);
        ::execl(path.c_str(), "busy", "30", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const std::string exe = "/proc/" + std::to_string(running) + "/exe";
    for (int tries = 0; tries < 500; ++tries) {
        char target[4096] = {};
        if (::readlink(exe.c_str(), target, sizeof target - 1) > 0 && std::string(target) == path) {
            break;
        }
        ::usleep(10000);
    }
    return running;
}

// kivcopy with each way of replacing a target, into the attacker's folder:
// the attacker puts a link to a file of root's at the target's name, before
// the run or after the program's own removal or backup of the target (-f
// removes a target that is a running program, which cannot be written).
TEST_F(Attack, KivcopyNeverWritesThroughALinkAtTheTargetName) {
    const std::vector<std::vector<std::string>> ways = {
        {"-f"}, {"-u"}, {"--remove-destination"}, {"-f", "-b"}, {"-f", "running"}};
    for (std::vector<std::string> way : ways) {
        const bool busy = way.back() == "running";
        std::string label;
        for (const std::string& option : way) {
            label += option;
        }
        if (busy) {
            way.pop_back();
        }
        Snapshot before;
        pid_t running = -1;
        const auto stop_running = [&] {
            if (running > 0) {
                ::kill(running, SIGKILL);
                ::waitpid(running, nullptr, 0);
                running = -1;
            }
        };
        expect_held(
            label,
            [&](const std::string& base) {
                const Folders at = folders(base);
                make_file(at.root + "/new.conf", "new", root_id, 0644);
                make_file(at.root + "/secret", "root's own", root_id, 0644);
                make_file(at.attacker + "/app.conf", busy ? read_file("/bin/sleep") : "old",
                          root_id, 0755);
                // Older than the source, for -u.
                kivtest::set_times(at.root + "/secret", {1000000000, 0}, {1000000000, 0});
                kivtest::set_times(at.attacker + "/app.conf", {1000000000, 0}, {1000000000, 0});
                make_link(at.root + "/secret", at.stage + "/app.conf", attacker_id);
                before = snapshot(at.root);
                stop_running();
                if (busy) {
                    running = run_busy(at.attacker + "/app.conf");
                }
                std::vector<std::string> arguments = way;
                arguments.insert(arguments.end(),
                                 {"--", at.root + "/new.conf", at.attacker + "/app.conf"});
                return Plan{KIVCOPY_CLI_PATH,
                            arguments,
                            {"any", "app.conf", "before"},
                            {"rename " + at.stage + "/app.conf " + at.attacker + "/app.conf"}};
            },
            [&](const std::string& base) {
                stop_running();
                return changes(before, snapshot(base + "/root"));
            });
        stop_running();
    }
}

// kivcopy -r -p of the attacker's tree into a folder of root's: a file of
// the tree is exchanged for a link to a file only root may read. Its bytes
// must not end up in the copy.
TEST_F(Attack, KivcopyRecursiveNeverCopiesAFileExchangedForALink) {
    const std::string secret = "root's secret";
    expect_held(
        "source",
        [&](const std::string& base) {
            const Folders at = folders(base);
            make_file(at.root + "/secret", secret, root_id, 0600);
            make_dir(at.attacker + "/tree", attacker_id, 0755);
            make_file(at.attacker + "/tree/data.txt", "public", attacker_id, 0644);
            make_link(at.root + "/secret", at.stage + "/data.txt", attacker_id);
            return Plan{KIVCOPY_CLI_PATH,
                        {"-r", "-p", "--", at.attacker + "/tree", at.root + "/out"},
                        {"any", "data.txt", "before"},
                        {"exchange " + at.attacker + "/tree/data.txt " + at.stage + "/data.txt"}};
        },
        [&](const std::string& base) {
            for (const auto& [path, seen] : snapshot(base + "/root/out")) {
                if (seen.find(secret) != std::string::npos) {
                    return path + " holds root's secret: " + seen;
                }
            }
            return std::string();
        });
}

// kivcopy of a private file (0640) into a set-group-ID folder of the
// attacker's, whose group the attacker is in: the attacker tries to open
// the copy after each call that names it, and once the run is over.
TEST_F(Attack, KivcopyNeverLetsThePrivateCopyBeReadInASetGroupIdFolder) {
    for (const bool preserve : {true, false}) {
        expect_held(
            preserve ? "preserve" : "plain",
            [&](const std::string& base) {
                const Folders at = folders(base);
                make_file(at.root + "/private.key", "root's key", root_id, 0640);
                make_dir(at.attacker + "/shared", attacker_id, 02755);
                std::vector<std::string> arguments = {"--", at.root + "/private.key",
                                                      at.attacker + "/shared/"};
                if (preserve) {
                    arguments.insert(arguments.begin(), "-p");
                }
                return Plan{KIVCOPY_CLI_PATH, arguments,
                            {"any", "private.key", "after"},
                            {"probe " + at.attacker + "/shared/private.key " + at.stage + "/read"}};
            },
            [&](const std::string& base) {
                if (exists(base + "/attacker/stage/read")) {
                    return std::string("the attacker opened the copy while it was made");
                }
                if (attacker_can_read(base + "/attacker/shared/private.key")) {
                    return std::string("the attacker can open the copy after the run");
                }
                return std::string();
            });
    }
}

// Writes a default ACL on `directory` that gives `user` read access to the
// files made in it: user::rwx user:USER:r group::r-x mask::rwx other::r-x,
// in the kernel's own form. "" or why it could not.
std::string give_default_read_access(const std::string& directory, uid_t user) {
    struct Entry {
        std::uint16_t tag;
        std::uint16_t permissions;
        std::uint32_t id;
    };
    constexpr std::uint32_t no_id = 0xffffffffu;
    struct Acl {
        std::uint32_t version;
        Entry entries[5];
    };
    const Acl acl{2,
                  {{0x01, 7, no_id}, {0x02, 4, user}, {0x04, 5, no_id}, {0x10, 7, no_id},
                   {0x20, 5, no_id}}};
    if (::setxattr(directory.c_str(), "system.posix_acl_default", &acl, sizeof acl, 0) != 0) {
        return std::string("the file system takes no default ACL: ") + std::strerror(errno);
    }
    return "";
}

// kivsubst -r --backup over a folder whose default ACL lets the attacker
// read new files: root's own 0640 file there, made before the ACL, is not
// readable by the attacker, and its backup must not be either.
TEST_F(Attack, KivsubstBackupIsNeverReadableByMoreUsersThanTheOriginal) {
    const Folders at = folders(path("acl"));
    const std::string tree = at.attacker + "/tree";
    make_dir(tree, attacker_id, 0755);
    make_file(tree + "/app.conf", "port=8080", root_id, 0640);
    const std::string why_not = give_default_read_access(tree, attacker_id);
    if (!why_not.empty()) {
        GTEST_SKIP() << why_not;
    }
    ASSERT_FALSE(attacker_can_read(tree + "/app.conf"));
    const kivtest::ProgramRun run = kivtest::run_program(
        KIVSUBST_CLI_PATH, {"-r", "--backup", "--", "8080", "8443", tree}, {"TMP"});
    ASSERT_TRUE(exists(tree + "/app.conf~")) << run.err;
    EXPECT_FALSE(attacker_can_read(tree + "/app.conf~"));
}

// kivsubst -r as root over a tree that holds links to files, as /proc/self
// does (exe, map_files): a link is no file of the tree, so the file it
// points to, which --exclude leaves out, must stay as it is.
TEST_F(Attack, KivsubstRecursiveNeverPatchesThroughALinkToAFileOfTheTree) {
    const std::string tree = path("tree");
    make_dir(tree, root_id, 0755);
    make_dir(tree + "/map_files", root_id, 0755);
    make_file(tree + "/map_files/library", "port=8080", root_id, 0644);
    make_link(tree + "/map_files/library", tree + "/exe", root_id);
    const kivtest::ProgramRun run = kivtest::run_program(
        KIVSUBST_CLI_PATH, {"-r", "--exclude=map_files", "--", "8080", "8443", tree}, {"TMP"});
    EXPECT_EQ(read_file(tree + "/map_files/library"), "port=8080") << run.err;
}

// A file of root's hard-linked into the attacker's tree (where the system
// lets anyone link any file, or where the link was there before) is left
// alone by both front ends under -r as root, unless --follow-hard-links
// says otherwise: kivsubst then changes nothing at all, kivcopy copies the
// rest.
TEST_F(Attack, RootLeavesAFileHardLinkedIntoTheTreeAlone) {
    const Folders at = folders(path("linked"));
    make_file(at.root + "/passwd", "port=8080", root_id, 0644);
    make_dir(at.attacker + "/tree", attacker_id, 0755);
    make_file(at.attacker + "/tree/app.conf", "port=8080", attacker_id, 0644);
    ASSERT_EQ(::link((at.root + "/passwd").c_str(), (at.attacker + "/tree/link.conf").c_str()), 0);
    const std::vector<std::string> patch = {"--", "8080", "8443", at.attacker + "/tree"};
    std::vector<std::string> arguments = {"-r"};
    arguments.insert(arguments.end(), patch.begin(), patch.end());
    const kivtest::ProgramRun refused = kivtest::run_program(KIVSUBST_CLI_PATH, arguments, {"TMP"});
    EXPECT_EQ(refused.exit_status, 3) << refused.err;
    EXPECT_NE(refused.err.find("--follow-hard-links"), std::string::npos) << refused.err;
    EXPECT_EQ(read_file(at.root + "/passwd"), "port=8080");
    EXPECT_EQ(read_file(at.attacker + "/tree/app.conf"), "port=8080");

    const kivtest::ProgramRun copied = kivtest::run_program(
        KIVCOPY_CLI_PATH, {"-r", "--", at.attacker + "/tree", at.root + "/copy"});
    EXPECT_EQ(copied.exit_status, 1) << copied.err;
    EXPECT_TRUE(exists(at.root + "/copy/app.conf"));
    EXPECT_FALSE(exists(at.root + "/copy/link.conf"));

    arguments.insert(arguments.begin(), "--follow-hard-links");
    EXPECT_EQ(kivtest::run_program(KIVSUBST_CLI_PATH, arguments, {"TMP"}).exit_status, 0);
    EXPECT_EQ(read_file(at.root + "/passwd"), "port=8443");
}

// Sets one of the file-system settings in /proc/sys/fs (protected_hardlinks,
// protected_symlinks) for as long as it lives, as on a system configured
// so, and puts the old value back; why_not() says why it could not be set.
class FileSystemSetting {
public:
    FileSystemSetting(const std::string& name, const std::string& value)
        : name_(name), file_("/proc/sys/fs/" + name) {
        if (!exists(file_)) {
            why_not_ = "no " + file_ + " to set";
            return;
        }
        was_ = kivtest::read_file(file_);
        if (!write_setting(value)) {
            why_not_ = "cannot set fs." + name + " to " + value + ": " + std::strerror(errno);
        }
    }
    ~FileSystemSetting() {
        if (why_not_.empty()) {
            EXPECT_TRUE(write_setting(was_)) << "fs." << name_ << " not set back to " << was_;
        }
    }
    FileSystemSetting(const FileSystemSetting&) = delete;
    FileSystemSetting& operator=(const FileSystemSetting&) = delete;
    const std::string& why_not() const { return why_not_; }

private:
    bool write_setting(const std::string& value) const {
        const int fd = ::open(file_.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        const bool written = ::write(fd, value.data(), value.size()) ==
                             static_cast<ssize_t>(value.size());
        return ::close(fd) == 0 && written;
    }
    std::string name_;
    std::string file_;
    std::string was_;
    std::string why_not_;
};

// Where anyone may link any file, the attacker links root's root-only file
// into a sticky folder of root's (1777) that both front ends then take as a
// tree under -r as root. The link's owner is the folder's, root, yet the
// attacker made it: kivcopy must not copy root's bytes out, nor kivsubst
// patch root's file.
TEST_F(Attack, RootLeavesAFileHardLinkedIntoItsOwnStickyFolderAlone) {
    const Folders at = folders(path("sticky"));
    const std::string secret = "port=8080 root's secret";
    const std::string shared = at.root + "/shared";
    make_file(at.root + "/secret", secret, root_id, 0600);
    make_dir(shared, root_id, 01777);
    {  // only the making of the link needs the setting: it is back before the runs
        const FileSystemSetting unprotected("protected_hardlinks", "0");
        if (!unprotected.why_not().empty()) {
            GTEST_SKIP() << unprotected.why_not();
        }
        std::string why_not;
        ASSERT_EQ(kivtest::run_as_nobody(
                      [&] {
                          return ::link((at.root + "/secret").c_str(),
                                        (shared + "/link.conf").c_str()) == 0 ? 1 : 0;
                      },
                      why_not),
                  1)
            << "the attacker could not link root's file: " << why_not;
    }

    const kivtest::ProgramRun copied =
        kivtest::run_program(KIVCOPY_CLI_PATH, {"-r", "--", shared, at.root + "/copy"});
    EXPECT_EQ(first_harm(at.root + "/copy",
                         [&](const std::string& file, const struct stat&) {
                             return read_file(file) == secret ? file + " holds root's secret"
                                                              : std::string();
                         }),
              "")
        << copied.err;

    const kivtest::ProgramRun patched = kivtest::run_program(
        KIVSUBST_CLI_PATH, {"-r", "--", "8080", "8443", shared}, {"TMP"});
    EXPECT_EQ(read_file(at.root + "/secret"), secret) << patched.err;
}

// kivcopy -a or -r -p of a tree of root's into a shared folder of root's
// where others may add names: one anyone may write, sticky (1777), or one
// sticky and writable by the attacker's group (1770), merged into.
// a-secret, root's alone (0600), is copied first; then a FIFO of the
// attacker's (0666) is made anew and given its owner, who may then remove
// it there. Around each call that names the FIFO, the attacker puts a link
// to root's copy of a-secret at its name: root's copy must keep its owner
// and mode, with fs.protected_symlinks off and on.
TEST_F(Attack, KivcopyPreserveNeverSetsAModeThroughALinkInASharedFolder) {
    for (const char* protection : {"0", "1"}) {
        const FileSystemSetting symlinks("protected_symlinks", protection);
        if (!symlinks.why_not().empty()) {
            GTEST_SKIP() << "fs.protected_symlinks must be set both ways: " << symlinks.why_not();
        }
        for (const mode_t shared : {mode_t{01777}, mode_t{01770}}) {
            for (const std::vector<std::string>& preserve :
                 {std::vector<std::string>{"-a"}, std::vector<std::string>{"-r", "-p"}}) {
                char label[64];
                std::snprintf(label, sizeof label, "protected%s-%o-%s", protection,
                              static_cast<unsigned>(shared),
                              preserve.size() == 1 ? "archive" : "preserve");
                expect_held(
                    label,
                    [&](const std::string& base) {
                        const Folders at = folders(base);
                        make_dir(at.root + "/pkg", root_id, 0755);
                        // The walk takes names in order: a-secret before the FIFO.
                        make_file(at.root + "/pkg/a-secret", "root's secret", root_id, 0600);
                        make_fifo(at.root + "/pkg/fifo", attacker_id);
                        EXPECT_EQ(::chmod((at.root + "/pkg/fifo").c_str(), 0666), 0);
                        const std::string into = base + "/shared";
                        make_dir(into, root_id, 0755);
                        make_dir(into + "/pkg", root_id, shared);  // merged into
                        EXPECT_EQ(::chown((into + "/pkg").c_str(), root_id, attacker_id), 0);
                        EXPECT_EQ(::chmod((into + "/pkg").c_str(), shared), 0);
                        std::vector<std::string> arguments = preserve;
                        arguments.insert(arguments.end(), {"--", at.root + "/pkg", into});
                        const std::string made = into + "/pkg/";
                        return Plan{KIVCOPY_CLI_PATH, arguments, {"any", "fifo", "before"},
                                    {"unlink " + made + "fifo",
                                     "symlink " + made + "a-secret " + made + "fifo"}};
                    },
                    [&](const std::string& base) {
                        struct stat copy {};
                        const std::string secret = base + "/shared/pkg/a-secret";
                        if (::lstat(secret.c_str(), &copy) != 0 ||
                            (copy.st_uid == root_id && (copy.st_mode & 07777) == 0600)) {
                            return std::string();
                        }
                        char mode[16];
                        std::snprintf(mode, sizeof mode, "%o",
                                      static_cast<unsigned>(copy.st_mode & 07777));
                        return secret + ", root's copy, became uid " +
                               std::to_string(copy.st_uid) + ", mode " + mode;
                    });
            }
        }
    }
}

// A directory mounted below itself is walked once: the walk does not enter
// the one that is its own ancestor, and tells so.
TEST_F(Attack, WalksADirectoryMountedBelowItselfOnce) {
    const std::string tree = path("tree");
    make_dir(tree, root_id, 0755);
    make_file(tree + "/app.conf", "port=8080", root_id, 0644);
    make_dir(tree + "/loop", root_id, 0755);
    if (::mount(tree.c_str(), (tree + "/loop").c_str(), nullptr, MS_BIND, nullptr) != 0) {
        GTEST_SKIP() << "cannot bind-mount a directory below itself: " << std::strerror(errno);
    }
    const kivtest::ProgramRun run = kivtest::run_program(
        KIVSUBST_CLI_PATH, {"-r", "-v", "--", "8080", "8443", tree}, {"TMP"});
    const kivtest::ProgramRun copied =
        kivtest::run_program(KIVCOPY_CLI_PATH, {"-r", "--", tree, path("copy")});
    ::umount2((tree + "/loop").c_str(), MNT_DETACH);
    EXPECT_EQ(run.exit_status, 3) << run.err;
    EXPECT_NE(run.err.find("it is one of the directories it is in"), std::string::npos) << run.err;
    EXPECT_EQ(read_file(tree + "/app.conf"), "port=8080");  // nothing changed: the run failed
    EXPECT_EQ(copied.exit_status, 1) << copied.err;
    EXPECT_EQ(read_file(path("copy/app.conf")), "port=8080");
    EXPECT_FALSE(exists(path("copy/loop/app.conf")));
}

// KivInstallFile as root (crash_driver install, flag 1) into a folder of
// root's that anyone may add names to, as a shared folder (0777) or /tmp
// (1777) is. The new program is root's, 0755; `app` is its name there.
constexpr const char* new_program = "root's new program";

struct InstallFolders {
    Folders at;
    std::string shared;  // root's, where the program is installed
    std::string target;  // shared/app
};

// A file's kind, mode, owner, inode and bytes, as snapshot() notes them.
std::string state_of(const std::string& file) {
    struct stat status {};
    if (::lstat(file.c_str(), &status) != 0) {
        return file + " missing";
    }
    char mode[16];
    std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(status.st_mode));
    return file + ": mode " + mode + " owner " + std::to_string(status.st_uid) + ":" +
           std::to_string(status.st_gid) + " inode " + std::to_string(status.st_ino) +
           (S_ISREG(status.st_mode) ? " bytes '" + read_file(file) + "'" : std::string());
}

// What is wrong with root's newly installed program, if it is the file
// `file`: nobody's, set-ID, or writable by others than root.
std::string harm_to_the_program(const std::string& file, const struct stat& status) {
    if (read_file(file) != new_program) {
        return "";
    }
    if (status.st_uid != root_id || status.st_gid != root_id ||
        (status.st_mode & (S_ISUID | S_ISGID | S_IWGRP | S_IWOTH)) != 0) {
        char mode[16];
        std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(status.st_mode & 07777));
        return file + ", root's new program, became " + std::to_string(status.st_uid) + ":" +
               std::to_string(status.st_gid) + " mode " + mode;
    }
    return "";
}

class InstallAttack : public Attack {
protected:
    InstallFolders install_folders(const std::string& base, mode_t shared_mode) {
        InstallFolders made{folders(base), base + "/shared", base + "/shared/app"};
        make_dir(made.shared, root_id, shared_mode);
        make_file(made.at.root + "/new-app", new_program, root_id, 0755);
        return made;
    }

    static Plan install_plan(const InstallFolders& in, const Moment& moment,
                             const std::vector<std::string>& actions) {
        return Plan{KIV_CRASH_DRIVER_PATH, {"install", in.at.root + "/new-app", in.target},
                    moment, actions};
    }

    // Calls `attack` with each setting of fs.protected_symlinks (0 and 1),
    // each shared folder's mode and each side of the moment, and expects
    // at least 20 tries in all. A setting that cannot be made is skipped,
    // and says so.
    void in_every_setting(
        const std::function<unsigned(const std::string& label, mode_t shared_mode,
                                     const std::string& when)>& attack) {
        unsigned tries = 0;
        std::string not_set;
        for (const std::string protection : {"0", "1"}) {
            const FileSystemSetting setting("protected_symlinks", protection);
            if (!setting.why_not().empty()) {
                not_set += setting.why_not() + "; ";
                continue;
            }
            for (const mode_t shared_mode : {0777u, 01777u}) {
                for (const std::string when : {"before", "after"}) {
                    char mode[16];
                    std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(shared_mode));
                    tries += attack("symlinks" + protection + "-" + mode + "-" + when,
                                    shared_mode, when);
                }
            }
        }
        std::printf("tries: %u\n", tries);
        if (!not_set.empty()) {
            GTEST_SKIP() << "attacked in the other setting only (" << tries
                         << " tries): " << not_set;
        }
        EXPECT_GE(tries, 20u);
    }
};

// The attacker links `app` to root's set-user-ID program, or to a file of
// its own that anyone may write, before the run and again (a fresh link)
// around each call that names `app`. Root's new program must never take
// the owner or mode of what the link points at, and neither file may
// change.
TEST_F(InstallAttack, KivInstallFileNeverLendsRootsProgramWhatALinkPointsAt) {
    in_every_setting([&](const std::string& label, mode_t shared_mode, const std::string& when) {
        unsigned tries = 0;
        for (const std::string pointed : {"set-id", "theirs"}) {
            std::string before;
            tries += expect_held(
                label + "-" + pointed,
                [&](const std::string& base) {
                    const InstallFolders in = install_folders(base, shared_mode);
                    make_file(in.at.root + "/set-id", "root's set-user-ID program", root_id,
                              04755);
                    make_file(in.at.stage + "/theirs", "nobody's file", attacker_id, 0666);
                    const std::string points_at =
                        pointed == "set-id" ? in.at.root + "/set-id" : in.at.stage + "/theirs";
                    make_link(points_at, in.target, attacker_id);
                    make_link(points_at, in.at.stage + "/app", attacker_id);
                    before = state_of(in.at.root + "/set-id") + "; " +
                             state_of(in.at.stage + "/theirs");
                    return install_plan(in, {"any", "app", when},
                                        {"rename " + in.at.stage + "/app " + in.target});
                },
                [&](const std::string& base) {
                    const std::string after = state_of(base + "/root/set-id") + "; " +
                                              state_of(base + "/attacker/stage/theirs");
                    return after != before ? "changed: " + before + " -> " + after
                                           : first_harm(base + "/shared", harm_to_the_program);
                });
        }
        return tries;
    });
}

// The attacker puts a file of its own (0666) at `app` before the run, and
// renames another over the name around each call that names it. Root's
// new program must stay root's, and not set-ID nor writable by others.
TEST_F(InstallAttack, KivInstallFileNeverHandsRootsProgramToWhoPlantedTheTarget) {
    in_every_setting([&](const std::string& label, mode_t shared_mode, const std::string& when) {
        return expect_held(
            label,
            [&](const std::string& base) {
                const InstallFolders in = install_folders(base, shared_mode);
                make_file(in.target, "nobody's planted file", attacker_id, 0666);
                make_file(in.at.stage + "/app", "nobody's other file", attacker_id, 0666);
                return install_plan(in, {"any", "app", when},
                                    {"rename " + in.at.stage + "/app " + in.target});
            },
            [&](const std::string& base) {
                return first_harm(base + "/shared", harm_to_the_program);
            });
    });
}

// Around each call that names the staged file (.app.kiv-new-…), the
// attacker renames a program of its own over that name, so that the
// install's rename would put it at `app`; with and without an old `app`
// of root's there. The call must never return 0 unless `app` holds root's
// new program.
TEST_F(InstallAttack, KivInstallFileNeverReportsAFileRenamedOverTheStagedOneInstalled) {
    in_every_setting([&](const std::string& label, mode_t shared_mode, const std::string& when) {
        unsigned tries = 0;
        for (const bool replacing : {false, true}) {
            tries += expect_held(
                label + (replacing ? "-replacing" : "-new"),
                [&](const std::string& base) {
                    const InstallFolders in = install_folders(base, shared_mode);
                    if (replacing) {
                        make_file(in.target, "root's old program", root_id, 0755);
                    }
                    make_file(in.at.stage + "/evil", "attacker's program", attacker_id, 0755);
                    return install_plan(
                        in, {"any", ".app.kiv-new-*", when},
                        {"rename " + in.at.stage + "/evil " + in.shared + "/{name}"});
                },
                [&](const std::string& base) -> std::string {
                    if (last_run_.exit_status != 0) {
                        return "";
                    }
                    const std::string target = base + "/shared/app";
                    struct stat status {};
                    if (::lstat(target.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
                        read_file(target) != new_program) {
                        return "the call returned 0, but " + target + " is not root's new program" +
                               (exists(target) ? ": it holds '" + read_file(target) + "'" : "");
                    }
                    return "";
                });
        }
        return tries;
    });
}

}  // namespace
