// SPDX-License-Identifier: Zlib
// Linux only. The front end beside cp on the same tasks: numbered and
// existing backups, -a with hard links, -P/-H/-L, and the cases where an
// earlier kivcopy lost data or told the wrong reason (a restore from a
// backup, -u after a copy of its own, links that lead nowhere).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "kivtest/faults.h"
#include "kivtest/files.h"
#include "kivtest/programs.h"

namespace {

using kivtest::read_file;
using kivtest::write_file;

// What the tools are compared on: each name under a directory, with its
// kind, bytes or link target, mode, link count and, `with_times`, its
// modification time (without -p, kivcopy stamps a copy with the source's
// access time, cp with the time of the copy).
std::map<std::string, std::string> listing(const std::string& directory, bool with_times) {
    std::map<std::string, std::string> seen;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        const std::string path = directory + "/" + name;
        struct stat status {};
        ::lstat(path.c_str(), &status);
        std::string what = "mode " + std::to_string(status.st_mode) + " links " +
                           std::to_string(status.st_nlink);
        if (with_times) {
            what += " mtime " + std::to_string(status.st_mtim.tv_sec) + "." +
                    std::to_string(status.st_mtim.tv_nsec);
        }
        if (S_ISLNK(status.st_mode)) {
            char target[512] = {};
            ::readlink(path.c_str(), target, sizeof target - 1);
            what += " -> " + std::string(target);
        } else if (S_ISREG(status.st_mode)) {
            what += " '" + read_file(path) + "'";
        } else if (S_ISDIR(status.st_mode)) {
            for (const auto& [below, its] : listing(path, with_times)) {
                seen[name + "/" + below] = its;
            }
        }
        seen[name] = what;
    }
    return seen;
}

class LikeCp : public kivtest::WorkDirTest {
protected:
    kivtest::ProgramRun kivcopy(const std::vector<std::string>& arguments,
                                const std::vector<std::string>& environment = {}) {
        return kivtest::run_program(KIVCOPY_CLI_PATH, arguments, environment);
    }
    kivtest::ProgramRun cp(const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment = {}) {
        return kivtest::run_program("/bin/cp", arguments, environment);
    }
};

// --backup=numbered, existing and VERSION_CONTROL name backups as cp's do,
// counting on past nine digits and past what a machine word holds; restoring a file from its own backup (-b with the backup as source) is
// refused by both, and the backup is kept.
TEST_F(LikeCp, NamesBackupsAsCpDoesAndNeverDestroysTheSource) {
    for (const char* tool : {"ours", "cp"}) {
        const std::string dir = path(tool);
        kivtest::make_directory(dir);
        write_file(dir + "/new", "new");
        write_file(dir + "/app.ini", "v0");
        write_file(dir + "/other.ini", "other");
        write_file(dir + "/other.ini.~4~", "older");
        write_file(dir + "/nine.ini.~999999999~", "older");
        write_file(dir + "/wide.ini.~99999999999999999999~", "older");
        auto run = [&](const std::vector<std::string>& arguments,
                       const std::vector<std::string>& environment = {}) {
            return std::string(tool) == "ours" ? kivcopy(arguments, environment)
                                               : cp(arguments, environment);
        };
        for (const char* version : {"v1", "v2"}) {
            write_file(dir + "/new", version);
            EXPECT_EQ(run({"-f", "--backup=numbered", "--", dir + "/new", dir + "/app.ini"})
                          .exit_status, 0) << tool;
        }
        EXPECT_EQ(run({"-f", "--backup=existing", "--", dir + "/new", dir + "/other.ini"})
                      .exit_status, 0) << tool;
        for (const char* name : {"/nine.ini", "/nine.ini", "/wide.ini"}) {
            write_file(dir + name, name);
            EXPECT_EQ(run({"-f", "--backup=numbered", "--", dir + "/new", dir + name})
                          .exit_status, 0) << tool;
        }
        EXPECT_EQ(run({"-f", "--backup", "--", dir + "/new", dir + "/new.ini"},
                      {"VERSION_CONTROL=numbered"}).exit_status, 0) << tool;
        EXPECT_EQ(run({"-f", "--backup", "--", dir + "/new", dir + "/new.ini"},
                      {"VERSION_CONTROL=numbered"}).exit_status, 0) << tool;

        write_file(dir + "/a~", "keep");
        write_file(dir + "/a", "current");
        const auto restore = run({"-f", "-b", "--", dir + "/a~", dir + "/a"});
        EXPECT_EQ(restore.exit_status, 1) << tool;
        EXPECT_EQ(read_file(dir + "/a~"), "keep") << tool << ": the backup was destroyed";
        EXPECT_EQ(read_file(dir + "/a"), "current") << tool;
    }
    EXPECT_EQ(listing(path("ours"), false), listing(path("cp"), false));
    EXPECT_EQ(read_file(path("ours/app.ini.~2~")), "v1");
    EXPECT_EQ(read_file(path("ours/other.ini.~5~")), "other");
    EXPECT_EQ(read_file(path("ours/nine.ini.~1000000001~")), "/nine.ini");
    EXPECT_EQ(read_file(path("ours/wide.ini.~100000000000000000000~")), "/wide.ini");
}

// A backup option asks for the target to be replaced, as with cp: -b, -S
// and --backup=numbered without -f rename the target to its backup and
// copy; -n given with one is refused as cp refuses it.
TEST_F(LikeCp, ReplacesWithABackupAloneAsCpDoes) {
    for (const char* tool : {"ours", "cp"}) {
        const std::string dir = path(tool);
        kivtest::make_directory(dir);
        write_file(dir + "/new", "new");
        for (const char* name : {"/simple", "/suffixed", "/numbered"}) {
            write_file(dir + name, "old");
        }
        const auto run = [&](const std::vector<std::string>& arguments) {
            return std::string(tool) == "ours" ? kivcopy(arguments) : cp(arguments);
        };
        for (const auto& [option, name] : std::vector<std::pair<std::string, std::string>>{
                 {"-b", "/simple"}, {"-S.orig", "/suffixed"}, {"--backup=numbered", "/numbered"}}) {
            const auto done = run({option, "--", dir + "/new", dir + name});
            EXPECT_EQ(done.exit_status, 0) << tool << " " << option << ": " << done.err;
        }
        const auto refused = run({"-n", "-b", "--", dir + "/new", dir + "/simple"});
        EXPECT_EQ(refused.exit_status, std::string(tool) == "ours" ? 64 : 1) << tool;
        EXPECT_NE(refused.err.find("mutually exclusive"), std::string::npos) << refused.err;
    }
    EXPECT_EQ(listing(path("ours"), false), listing(path("cp"), false));
    EXPECT_EQ(read_file(path("ours/simple")), "new");
    EXPECT_EQ(read_file(path("ours/suffixed.orig")), "old");
    EXPECT_EQ(read_file(path("ours/numbered.~1~")), "old");
    EXPECT_EQ(kivcopy({"-n", "-b", "--", path("ours/new"), path("ours/simple")}).err,
              "kivcopy: options --backup and --no-clobber are mutually exclusive\n"
              "Try 'kivcopy --help' for more information.\n");
}

// -a keeps a tree as cp -a does: the bytes, modes, times (of links too),
// and the files that have two names in it stay two names of one copy; -P,
// -H and -L take the links named on the command line and in the tree as cp
// takes them.
TEST_F(LikeCp, CopiesTreesAndLinksAsCpDoes) {
    kivtest::make_directory(path("src"));
    kivtest::make_directory(path("src/sub"));
    write_file(path("src/one"), "one");
    write_file(path("src/sub/file"), "file");
    ASSERT_TRUE(kivtest::hard_link(path("src/one"), path("src/sub/two")));
    ASSERT_EQ(::symlink("one", path("src/link").c_str()), 0);
    ASSERT_EQ(::symlink("sub", path("src/dirlink").c_str()), 0);
    ASSERT_EQ(::chmod(path("src/sub/file").c_str(), 0751), 0);
    kivtest::set_times(path("src/one"), {1500000000, 100}, {1400000000, 200});
    const struct timespec old[2] = {{1300000000, 0}, {1200000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path("src/link").c_str(), old, AT_SYMLINK_NOFOLLOW), 0);
    ASSERT_EQ(::symlink(path("src").c_str(), path("named").c_str()), 0);

    const std::vector<std::vector<std::string>> ways = {
        {"-a"}, {"-r", "-P"}, {"-r", "-H"}, {"-r", "-L"}};
    for (const auto& way : ways) {
        std::string label;
        for (const std::string& option : way) {
            label += option;
        }
        for (const char* tool : {"ours", "cp"}) {
            const std::string into = path(label + "-" + tool);
            kivtest::make_directory(into);
            std::vector<std::string> arguments = way;
            arguments.insert(arguments.end(), {"--", path("src"), path("named"), into});
            const auto run = std::string(tool) == "ours" ? kivcopy(arguments) : cp(arguments);
            EXPECT_EQ(run.exit_status, 0) << label << " " << tool << ": " << run.err;
        }
        const bool with_times = way[0] == "-a";
        EXPECT_EQ(listing(path(label + "-ours"), with_times),
                  listing(path(label + "-cp"), with_times))
            << label;
    }
    EXPECT_EQ(kivtest::status_of(path("-a-ours/src/one")).st_ino,
              kivtest::status_of(path("-a-ours/src/sub/two")).st_ino);
}

// Faults of earlier versions, each beside what cp does: -u right after a
// copy finds nothing to do, also when the target is the source under
// another name; a link at the target that loops or cannot be followed is
// told as what it is, not as a link to nothing.
TEST_F(LikeCp, UpdatesNothingTwiceAndTellsWhyALinkLeadsNowhere) {
    // The links below are the caller's own, in a directory no one else may
    // write: links that kivcopy follows.
    kivtest::make_directory(path("own"));
    ASSERT_EQ(::chmod(path("own").c_str(), 0755), 0);
    kivtest::make_directory(path("own/src"));
    kivtest::make_directory(path("own/into"));
    write_file(path("own/src/a"), "a");
    // An access time older than the modification time, as a file written
    // after it was last read has: the library stamps the copy with it.
    kivtest::set_times(path("own/src/a"), {1400000000, 0}, {1500000000, 0});
    ASSERT_EQ(kivcopy({"-r", "--", path("own/src"), path("own/into")}).exit_status, 0);
    auto again = kivcopy({"-r", "-u", "-v", "--", path("own/src"), path("own/into")});
    EXPECT_EQ(again.exit_status, 0) << again.err;
    EXPECT_NE(again.out.find("skipped '" + path("own/into/src/a") + "' (not older)"),
              std::string::npos)
        << again.out;

    ASSERT_EQ(::symlink("src/a", path("own/one-name").c_str()), 0);
    ASSERT_EQ(::symlink("src/a", path("own/other-name").c_str()), 0);
    auto same = kivcopy({"-u", "--", path("own/one-name"), path("own/other-name")});
    EXPECT_EQ(same.exit_status,
              cp({"-u", "-d", "--", path("own/one-name"), path("own/other-name")}).exit_status);
    EXPECT_EQ(same.exit_status, 0) << same.err;
    EXPECT_EQ(read_file(path("own/src/a")), "a");

    ASSERT_EQ(::symlink("loop", path("own/loop").c_str()), 0);
    auto loop = kivcopy({"-f", "--", path("own/src/a"), path("own/loop")});
    EXPECT_EQ(loop.exit_status, 1);
    EXPECT_EQ(loop.err, "kivcopy: cannot create '" + path("own/loop") +
                            "': Too many levels of symbolic links\n");
}

// What is at a target makes way as cp lets it: a link or FIFO copied over
// a file with -b leaves the file in its backup; --remove-destination and
// -f -b take a link that loops away; -r -f puts a FIFO over a file; a link
// this run made is never written through by a later source of the run;
// --preserve=ownership alone gives a new copy the mode any copy gets.
TEST_F(LikeCp, MakesWayAtTargetsAsCpDoes) {
    for (const char* tool : {"ours", "cp"}) {
        const std::string dir = path(tool);
        kivtest::make_directory(dir);
        ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
        const auto run = [&](std::vector<std::string> arguments) {
            const auto done = std::string(tool) == "ours" ? kivcopy(arguments) : cp(arguments);
            EXPECT_EQ(done.exit_status, 0) << tool << ": " << done.err;
        };
        for (const char* name : {"/a", "/b", "/c", "/src", "/src/sub", "/out", "/out/sub"}) {
            kivtest::make_directory(dir + name);
        }
        write_file(dir + "/file", "PRECIOUS");
        ASSERT_EQ(::symlink("nowhere", (dir + "/link").c_str()), 0);
        run({"-P", "-f", "-b", "--", dir + "/link", dir + "/file"});
        for (const char* loop : {"/loop1", "/loop2"}) {
            ASSERT_EQ(::symlink(loop + 1, (dir + loop).c_str()), 0);
        }
        write_file(dir + "/new", "new");
        run({"--remove-destination", "--", dir + "/new", dir + "/loop1"});
        run({"-f", "-b", "--", dir + "/new", dir + "/loop2"});
        ASSERT_EQ(::mkfifo((dir + "/src/sub/pipe").c_str(), 0640), 0);
        write_file(dir + "/out/sub/pipe", "a file in the way");
        run({"-r", "-f", "--", dir + "/src/sub", dir + "/out"});
        write_file(dir + "/t", "keep");
        ASSERT_EQ(::symlink("../t", (dir + "/a/1").c_str()), 0);
        write_file(dir + "/b/1", "payload");
        const auto twice = std::string(tool) == "ours"
                               ? kivcopy({"-f", "-r", "--", dir + "/a/1", dir + "/b/1", dir + "/c"})
                               : cp({"-f", "-r", "--", dir + "/a/1", dir + "/b/1", dir + "/c"});
        EXPECT_EQ(twice.exit_status, 1) << tool;
        EXPECT_EQ(read_file(dir + "/t"), "keep") << tool << ": written through the run's own link";
        ASSERT_EQ(::chmod((dir + "/new").c_str(), 0644), 0);
        run({"--preserve=ownership", "--", dir + "/new", dir + "/owned"});
    }
    EXPECT_EQ(listing(path("ours"), false), listing(path("cp"), false));
    EXPECT_EQ(read_file(path("ours/file~")), "PRECIOUS");
}

// -a keeps one file with two names as one copy with two names, as cp -a
// does: over an earlier copy of the tree (with -f, and with -b, which backs
// up both names), for a hard-linked FIFO and link, and, with -L, for a link
// and the file it leads to.
TEST_F(LikeCp, KeepsTwoNamesOfOneFileAsCpDoes) {
    kivtest::make_directory(path("src"));
    write_file(path("src/one"), "v1");
    ASSERT_TRUE(kivtest::hard_link(path("src/one"), path("src/two")));
    ASSERT_EQ(::mkfifo(path("src/pipe").c_str(), 0600), 0);
    ASSERT_TRUE(kivtest::hard_link(path("src/pipe"), path("src/pipe2")));
    ASSERT_EQ(::symlink("one", path("src/link").c_str()), 0);
    ASSERT_EQ(::linkat(AT_FDCWD, path("src/link").c_str(), AT_FDCWD, path("src/link2").c_str(), 0),
              0);
    kivtest::make_directory(path("deref"));
    write_file(path("deref/file"), "file");
    ASSERT_EQ(::symlink("file", path("deref/to-file").c_str()), 0);
    for (const char* tool : {"ours", "cp"}) {
        const auto run = [&](std::vector<std::string> arguments) {
            const auto done = std::string(tool) == "ours" ? kivcopy(arguments) : cp(arguments);
            EXPECT_EQ(done.exit_status, 0) << tool << ": " << done.err;
        };
        const std::string into = path(tool);
        kivtest::make_directory(into);
        run({"-a", "--", path("src"), into});
        write_file(path("src/one"), "v2");
        run({"-a", "-f", "--", path("src"), into});
        write_file(path("src/one"), "v3");
        run({"-a", "-f", "-b", "--", path("src"), into});
        write_file(path("src/one"), "v1");
        run({"-r", "-L", "--preserve=links", "--", path("deref"), into});
    }
    EXPECT_EQ(listing(path("ours"), false), listing(path("cp"), false));
    const auto same = [&](const char* a, const char* b) {
        EXPECT_EQ(kivtest::status_of(path(a)).st_ino, kivtest::status_of(path(b)).st_ino)
            << a << " and " << b;
    };
    same("ours/src/one", "ours/src/two");
    same("ours/src/pipe", "ours/src/pipe2");
    same("ours/deref/file", "ours/deref/to-file");
}

// -a over an earlier copy follows the source's names where they were
// split or joined since, as cp -a does. Names that were one file and are
// two now become two files again, with -f and with -u: the old copy is
// taken away, not written into, so a name of it outside the tree keeps its
// bytes. Names that are one file now become one file, with -u too, where
// the first name's target is left alone as not older and the second is
// missing or a copy of its own: a FIFO's and a link's too.
TEST_F(LikeCp, FollowsNamesSplitOrJoinedSinceAnEarlierCopyAsCpDoes) {
    for (const char* way : {"-f", "-u"}) {
        for (const char* tool : {"ours", "cp"}) {
            const auto run = [&](std::vector<std::string> arguments) {
                const auto done = std::string(tool) == "ours" ? kivcopy(arguments) : cp(arguments);
                EXPECT_EQ(done.exit_status, 0) << way << " " << tool << ": " << done.err;
            };
            const std::string dir = path(std::string(tool) + way);
            kivtest::make_directory(dir);
            kivtest::make_directory(dir + "/split");
            write_file(dir + "/split/a", "AAA");
            ASSERT_TRUE(kivtest::hard_link(dir + "/split/a", dir + "/split/b"));
            kivtest::make_directory(dir + "/joined");
            write_file(dir + "/joined/a", "one");
            write_file(dir + "/joined/b", "one");
            kivtest::make_directory(dir + "/copy");
            run({"-a", "--", dir + "/split", dir + "/joined", dir + "/copy"});
            ASSERT_TRUE(kivtest::hard_link(dir + "/copy/split/a", dir + "/outside"));
            ASSERT_EQ(::unlink((dir + "/split/b").c_str()), 0);
            write_file(dir + "/split/b", "BBB");
            kivtest::set_times(dir + "/split/a", {2000000000, 0}, {2000000000, 0});
            kivtest::set_times(dir + "/split/b", {2000000000, 0}, {2000000000, 0});
            ASSERT_EQ(::unlink((dir + "/joined/b").c_str()), 0);
            ASSERT_TRUE(kivtest::hard_link(dir + "/joined/a", dir + "/joined/b"));
            kivtest::set_times(dir + "/joined/a", {1000000000, 0}, {1000000000, 0});
            kivtest::make_directory(dir + "/copy/missing");
            write_file(dir + "/copy/missing/a", "one");
            kivtest::make_directory(dir + "/special");
            ASSERT_EQ(::mkfifo((dir + "/special/pipe").c_str(), 0640), 0);
            ASSERT_EQ(::symlink("a", (dir + "/special/link").c_str()), 0);
            run({"-a", "--", dir + "/special", dir + "/copy"});
            ASSERT_TRUE(kivtest::hard_link(dir + "/special/pipe", dir + "/special/pipe2"));
            ASSERT_EQ(::linkat(AT_FDCWD, (dir + "/special/link").c_str(), AT_FDCWD,
                               (dir + "/special/link2").c_str(), 0),
                      0);
            run({"-a", way, "--", dir + "/special", dir + "/copy"});
            ASSERT_EQ(::rename((dir + "/joined").c_str(), (dir + "/missing").c_str()), 0);
            run({"-a", way, "--", dir + "/split", dir + "/missing", dir + "/copy"});
            ASSERT_EQ(::rename((dir + "/missing").c_str(), (dir + "/joined").c_str()), 0);
            run({"-a", way, "--", dir + "/joined", dir + "/copy"});
            EXPECT_EQ(read_file(dir + "/outside"), "AAA") << way << " " << tool;
            EXPECT_EQ(read_file(dir + "/copy/split/b"), "BBB") << way << " " << tool;
        }
        const std::string ours = path(std::string("ours") + way);
        EXPECT_EQ(listing(ours + "/copy/split", false),
                  listing(path(std::string("cp") + way) + "/copy/split", false))
            << way;
        for (const char* compared : {"/copy/missing", "/copy/special"}) {
            EXPECT_EQ(listing(ours + compared, false),
                      listing(path(std::string("cp") + way) + compared, false))
                << way << " " << compared;
        }
        for (const char* tool : {"ours", "cp"}) {
            const std::string joined = path(std::string(tool) + way) + "/copy/joined/";
            EXPECT_EQ(kivtest::status_of(joined + "a").st_ino,
                      kivtest::status_of(joined + "b").st_ino)
                << way << " " << tool << ": the names of one file are two copies";
        }
    }
}

}  // namespace
