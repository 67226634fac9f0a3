// SPDX-License-Identifier: Zlib
// The front end's ways with trees and targets: -r, -u, backups, -f's
// retry, --remove-destination, -p and the progress line.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "kivtest/faults.h"
#endif

#include "pe_image.h"
#include "tool_fixture.h"

namespace {

using kivtest::read_file;
using kivtest::write_file;

class CopyOptions : public kivtest::CopyTool {};

// A tree is copied file by file; an existing target directory is merged
// into; a directory is never copied into itself.
TEST_F(CopyOptions, CopiesDirectoryTrees) {
    kivtest::write_tree({{path("src/a"), "alpha"}, {path("src/sub/b"), "beta"}});
    auto copied = run({"-r", "--", path("src"), path("copy")});
    EXPECT_EQ(copied.exit_status, 0) << copied.err;
    EXPECT_EQ(read_file(path("copy/a")), "alpha");
    EXPECT_EQ(read_file(path("copy/sub/b")), "beta");

    // Into an existing directory: under the source's own name, merged with
    // what is there, which stays unless replacing is asked for.
    kivtest::write_tree({{path("into/src/a"), "kept"}, {path("into/src/own"), "own"}});
    auto merged = run({"-r", "--", path("src"), path("into")});
    EXPECT_EQ(merged.exit_status, 0) << merged.err;
    EXPECT_EQ(read_file(path("into/src/a")), "kept");
    EXPECT_EQ(read_file(path("into/src/own")), "own");
    EXPECT_EQ(read_file(path("into/src/sub/b")), "beta");

    auto itself = run({"-r", "--", path("src"), path("src/sub")});
    EXPECT_EQ(itself.exit_status, 1);
    EXPECT_NE(itself.err.find("into itself"), std::string::npos) << itself.err;
    EXPECT_FALSE(kivtest::exists(path("src/sub/src")));
}

// --by-version keeps what the decision keeps and says why with -v: a
// newer DLL installed, the same bytes, a settings file the user changed
// since the manifest recorded it; what is new or newer is copied. It is
// refused beside the options that decide otherwise.
TEST_F(CopyOptions, ByVersionKeepsWhatTheDecisionKeepsAndSaysWhy) {
    const auto dll = [](std::uint32_t minor) {
        return kivcopy_test::Image(true, 0x00020000u | minor, 0).bytes;
    };
    kivtest::write_tree({{path("media/core.dll"), dll(0)},
                         {path("media/settings.ini"), "colour=red"},
                         {path("app/core.dll"), dll(1)},
                         {path("manifest/.keep"), ""}});
    const std::vector<std::string> install = {"-v", "--by-version", "--manifest=" + path("manifest"),
                                              "--", path("media/core.dll"),
                                              path("media/settings.ini"), path("app")};
    auto first = run(install);
    EXPECT_EQ(first.exit_status, 0) << first.err;
    EXPECT_NE(first.out.find("kept '" + path("app/core.dll") +
                             "': 2.1.0.0 installed is newer than 2.0.0.0"),
              std::string::npos)
        << first.out;
    EXPECT_EQ(read_file(path("app/core.dll")), dll(1));
    EXPECT_EQ(read_file(path("app/settings.ini")), "colour=red");

    write_file(path("app/settings.ini"), "colour=blue");
    auto second = run(install);
    EXPECT_EQ(second.exit_status, 0) << second.err;
    EXPECT_NE(second.out.find("kept '" + path("app/settings.ini") + "': it is not what was "
                              "installed there last"),
              std::string::npos)
        << second.out;
    EXPECT_EQ(read_file(path("app/settings.ini")), "colour=blue");

    write_file(path("app/settings.ini"), "colour=red");
    auto third = run(install);
    EXPECT_NE(third.out.find("kept '" + path("app/settings.ini") +
                             "': the same bytes are installed"),
              std::string::npos)
        << third.out;

    for (const char* other : {"-f", "-u", "-n", "--backup"}) {
        EXPECT_EQ(run({"--by-version", other, path("media/core.dll"), path("app")}).exit_status,
                  64)
            << other;
    }
    EXPECT_EQ(run({"--manifest=" + path("manifest"), path("media/core.dll"), path("app")})
                  .exit_status,
              64);
}

#if !defined(_WIN32)
// Links are copied as links, never followed, and FIFOs made anew; a socket
// cannot be copied: the tree is copied without it, and the run fails.
// Directories get the source's mode less the umask.
TEST_F(CopyOptions, CopiesLinksAsLinksAndFifosAsFifos) {
    kivtest::make_directory(path("src"));
    kivtest::make_directory(path("src/private"));
    ASSERT_EQ(::chmod(path("src/private").c_str(), 0750), 0);
    write_file(path("outside"), "not copied");
    ASSERT_EQ(::symlink(path("outside").c_str(), path("src/link").c_str()), 0);
    ASSERT_EQ(::mkfifo(path("src/fifo").c_str(), 0640), 0);
    auto result = run({"-r", "--", path("src"), path("copy")});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    char target[256] = {};
    ASSERT_GT(::readlink(path("copy/link").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), path("outside"));
    const mode_t mask = ::umask(022);
    ::umask(mask);
    EXPECT_TRUE(S_ISFIFO(kivtest::status_of(path("copy/fifo")).st_mode));
    EXPECT_EQ(kivtest::status_of(path("copy/fifo")).st_mode & 0777, 0640u & ~static_cast<unsigned>(mask));
    EXPECT_EQ(kivtest::status_of(path("copy/private")).st_mode & 0777,
              0750u & ~static_cast<unsigned>(mask));

    const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const std::string socket_path = path("src/socket");
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    std::copy(socket_path.begin(), socket_path.end(), address.sun_path);
    ASSERT_EQ(::bind(socket, reinterpret_cast<const struct sockaddr*>(&address), sizeof address), 0);
    auto incomplete = run({"-r", "--", path("src"), path("copy2")});
    ::close(socket);
    EXPECT_EQ(incomplete.exit_status, 1);
    EXPECT_EQ(incomplete.err, "kivcopy: skipping '" + path("src/socket") +
                                  "': not a regular file, directory, link or FIFO\n");
    struct stat link {};
    EXPECT_EQ(::lstat(path("copy2/link").c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode)) << "the rest of the tree is copied all the same";
    EXPECT_TRUE(S_ISFIFO(kivtest::status_of(path("copy2/fifo")).st_mode));
}
#endif

// -u replaces only a target older than its source; -b keeps the target it
// replaces as TARGET~ (or with the suffix -S gives).
TEST_F(CopyOptions, UpdatesOnlyOlderTargetsAndKeepsBackups) {
    write_file(path("source"), "new");
    write_file(path("newer"), "newer");
    write_file(path("older"), "older");
    kivtest::set_times(path("source"), {1500000000, 0}, {1500000000, 0});
    kivtest::set_times(path("newer"), {1600000000, 0}, {1600000000, 0});
    kivtest::set_times(path("older"), {1400000000, 0}, {1400000000, 0});
    auto newer = run({"-u", "-v", "--", path("source"), path("newer")});
    EXPECT_EQ(newer.out, "skipped '" + path("newer") + "' (not older)\n");
    EXPECT_EQ(read_file(path("newer")), "newer");
    auto older = run({"-u", "-b", "--", path("source"), path("older")});
    EXPECT_EQ(older.exit_status, 0) << older.err;
    EXPECT_EQ(read_file(path("older")), "new");
    EXPECT_EQ(read_file(path("older~")), "older");
    auto suffixed = run({"-f", "-S", ".bak", "-v", "--", path("newer"), path("older")});
    EXPECT_EQ(suffixed.out, "'" + path("newer") + "' -> '" + path("older") + "' (backup: '" +
                                path("older.bak") + "')\n");
    EXPECT_EQ(read_file(path("older.bak")), "new");
}

#if !defined(_WIN32)
// -f replaces a target that cannot be opened for writing, such as a
// running program ("Text file busy"), by removing it first: the copy is a
// new file, and the program runs on from the old one.
TEST_F(CopyOptions, ReplacesARunningProgramWithF) {
    std::filesystem::copy_file("/bin/sleep", path("program"));
    ASSERT_EQ(::chmod(path("program").c_str(), 0755), 0);
    const pid_t running = ::fork();
    if (running == 0) {
        ::execl(path("program").c_str(), "program", "30", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Running once its process runs the program's file. (Opening the file
    // for writing to find out would make the exec itself fail.)
    const std::string exe = "/proc/" + std::to_string(running) + "/exe";
    for (int tries = 0; tries < 500; ++tries) {
        char target[4096] = {};
        if (::readlink(exe.c_str(), target, sizeof target - 1) > 0 &&
            std::string(target) == path("program")) {
            break;
        }
        ::usleep(10000);
    }
    write_file(path("update"), "replaced");
    const ino_t before = kivtest::status_of(path("program")).st_ino;
    auto result = run({"-f", "-v", "--", path("update"), path("program")});
    ::kill(running, SIGKILL);
    ::waitpid(running, nullptr, 0);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, "removed '" + path("program") + "'\n'" + path("update") + "' -> '" +
                              path("program") + "'\n");
    EXPECT_EQ(read_file(path("program")), "replaced");
    EXPECT_NE(kivtest::status_of(path("program")).st_ino, before);

    // --remove-destination removes every existing target first: another
    // name of the old file keeps the old content.
    ASSERT_TRUE(kivtest::hard_link(path("program"), path("other-name")));
    write_file(path("update"), "replaced again");
    EXPECT_EQ(run({"--remove-destination", "--", path("update"), path("program")}).exit_status, 0);
    EXPECT_EQ(read_file(path("program")), "replaced again");
    EXPECT_EQ(read_file(path("other-name")), "replaced");
}

// A source the caller may not read is told in the system's words, whether
// it is found by name or in a tree, and a target that would be backed up or
// removed first stays where it is.
TEST_F(CopyOptions, LeavesTargetsAloneWhenTheSourceCannotBeRead) {
    kivtest::make_directory(path("tree"));
    write_file(path("tree/secret"), "root's");
    ASSERT_EQ(::chmod(path("tree/secret").c_str(), 0600), 0);
    kivtest::make_directory(path("out"));
    kivtest::make_directory(path("out/tree"));
    write_file(path("out/tree/secret"), "kept");
    ASSERT_EQ(::chmod(path("out/tree").c_str(), 0777), 0);
    ASSERT_EQ(::chmod(path("out/tree/secret").c_str(), 0666), 0);
    const std::string denied =
        "kivcopy: cannot open '" + path("tree/secret") + "' for reading: Permission denied\n";
    const std::vector<std::vector<std::string>> commands = {
        {path("tree/secret"), path("out/tree/new")},
        {"-f", "-b", path("tree/secret"), path("out/tree/secret")},
        {"--remove-destination", path("tree/secret"), path("out/tree/secret")},
        {"-r", "-f", "-b", path("tree"), path("out")},
    };
    std::string why_not;
    const int outcome = kivtest::run_as_nobody(
        [&] {
            int wrong = 0;
            for (const auto& command : commands) {
                const kivtest::ProgramRun result = run(command);
                wrong = wrong * 2 + (result.exit_status != 1 || result.err != denied);
            }
            return wrong;
        },
        why_not);
    if (outcome < 0) {
        GTEST_SKIP() << why_not;
    }
    EXPECT_EQ(outcome, 0) << "a bit set for each command with another status or message";
    EXPECT_FALSE(kivtest::exists(path("out/tree/new")));
    EXPECT_EQ(read_file(path("out/tree/secret")), "kept");
    EXPECT_FALSE(kivtest::exists(path("out/tree/secret~")));
}

// A FIFO or a socket at the target is never opened: left alone as existing
// without -f; with -f (or -u) taken away and the copy made anew, as
// --remove-destination does; through the caller's own link, whose removal
// would leave it, refused with a message that names it.
TEST_F(CopyOptions, ReplacesAFifoOrSocketAtTheTargetAnew) {
    kivtest::make_directory(path("own"));
    ASSERT_EQ(::chmod(path("own").c_str(), 0755), 0);
    write_file(path("own/source"), "new");
    ASSERT_EQ(::mkfifo(path("own/fifo").c_str(), 0644), 0);
    auto kept = run({"-v", "--", path("own/source"), path("own/fifo")});
    EXPECT_EQ(kept.exit_status, 0) << kept.err;
    EXPECT_EQ(kept.out, "skipped '" + path("own/fifo") + "' (exists)\n");
    EXPECT_TRUE(S_ISFIFO(kivtest::status_of(path("own/fifo")).st_mode));

    ASSERT_EQ(::symlink("fifo", path("own/to-fifo").c_str()), 0);
    auto through = run({"-f", "--", path("own/source"), path("own/to-fifo")});
    EXPECT_EQ(through.exit_status, 1);
    EXPECT_EQ(through.err, "kivcopy: will not copy '" + path("own/source") +
                               "' into the FIFO that symbolic link '" + path("own/to-fifo") +
                               "' leads to\n");
    EXPECT_TRUE(S_ISFIFO(kivtest::status_of(path("own/fifo")).st_mode));

    auto replaced = run({"-f", "-v", "--", path("own/source"), path("own/fifo")});
    EXPECT_EQ(replaced.exit_status, 0) << replaced.err;
    EXPECT_EQ(replaced.out, "removed '" + path("own/fifo") + "'\n'" + path("own/source") +
                                "' -> '" + path("own/fifo") + "'\n");
    // Read only as a file: opening a FIFO left there would wait for a writer.
    ASSERT_TRUE(S_ISREG(kivtest::status_of(path("own/fifo")).st_mode));
    EXPECT_EQ(read_file(path("own/fifo")), "new");

    const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const std::string socket_path = path("own/socket");
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    std::copy(socket_path.begin(), socket_path.end(), address.sun_path);
    ASSERT_EQ(::bind(socket, reinterpret_cast<const struct sockaddr*>(&address), sizeof address), 0);
    ::close(socket);
    auto updated = run({"-u", "--", path("own/source"), path("own/socket")});
    EXPECT_EQ(updated.exit_status, 0) << updated.err;
    ASSERT_TRUE(S_ISREG(kivtest::status_of(path("own/socket")).st_mode));
    EXPECT_EQ(read_file(path("own/socket")), "new");
}
#endif

// --preserve=timestamps gives the copy the source's modification time
// (the library gives both times the access time); -p also its mode.
TEST_F(CopyOptions, PreservesTimesAndMode) {
    write_file(path("source"), "data");
    kivtest::set_times(path("source"), {1700000000, 0}, {1600000000, 0});
    auto result = run({"--preserve=timestamps", "--", path("source"), path("copy")});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(kivtest::modification_time(path("copy")), (kivtest::Time{1600000000, 0}));
    EXPECT_EQ(kivtest::access_time(path("copy")), (kivtest::Time{1700000000, 0}));
#if !defined(_WIN32)
    ASSERT_EQ(::chmod(path("source").c_str(), 0604), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(path("source").c_str(), 65534, 65534), 0);
    }
    EXPECT_EQ(run({"-p", "--", path("source"), path("copy-p")}).exit_status, 0);
    const struct stat copy = kivtest::status_of(path("copy-p"));
    EXPECT_EQ(copy.st_mode & 07777, 0604u);
    if (root) {  // only root may give a copy away
        EXPECT_EQ(copy.st_uid, 65534u);
        EXPECT_EQ(copy.st_gid, 65534u);
    }
#endif
}

#if !defined(_WIN32)
// -p gives each copy what cp -p gives it, run by root and by an ordinary
// user: the source's owner and group where the caller may set them, its
// mode, the set-user-ID and set-group-ID bits only where the copy has the
// source's owner and group, and both times to the nanosecond.
TEST_F(CopyOptions, PreservesWhatCpPPreserves) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "sources owned by other users are made by root";
    }
    struct Source {
        const char* name;
        uid_t owner;
        gid_t group;
        mode_t mode;
    };
    const std::vector<Source> sources = {
        {"users-setuid", 65534, 65534, 04755}, {"roots-setgid", 0, 0, 02755},
        {"roots-private", 0, 0, 0640},        {"users-in-roots-group", 65534, 0, 06754},
        {"sticky", 0, 0, 01644}};
    ASSERT_EQ(::chmod(dir().c_str(), 0755), 0);
    kivtest::make_directory(path("nobody"));
    ASSERT_EQ(::chown(path("nobody").c_str(), 65534, 65534), 0);
    // Each tool reads a source of its own, since reading moves the access
    // time: NAME for kivcopy, NAME.cp for cp, for each of the two runs.
    for (const char* run_by : {"root-", "nobody-"}) {
        for (const Source& source : sources) {
            for (const char* tool : {"", ".cp"}) {
                const std::string name = path(run_by + std::string(source.name) + tool);
                write_file(name, source.name);
                ASSERT_EQ(::chown(name.c_str(), source.owner, source.group), 0);
                ASSERT_EQ(::chmod(name.c_str(), source.mode), 0);
                kivtest::set_times(name, {1600000000, 123456700}, {1500000000, 500000000});
            }
        }
    }
    // Copies by both tools into the directory `run_by` names, each source
    // under its name and under its name with ".cp"; the number of runs that
    // failed.
    auto copy_all = [&](const std::string& run_by) {
        int failed = 0;
        for (const Source& source : sources) {
            const std::string from = path(run_by + "-" + source.name);
            const std::string to = path(run_by + "/" + source.name);
            failed += run({"-p", "--", from, to}).exit_status != 0;
            failed += kivtest::run_program("/bin/cp", {"-p", "--", from + ".cp", to + ".cp"})
                          .exit_status != 0;
        }
        return failed;
    };
    kivtest::make_directory(path("root"));
    EXPECT_EQ(copy_all("root"), 0);
    std::string why_not;
    const int failed_as_nobody = kivtest::run_as_nobody(
        [&] {
            ::umask(022);
            return copy_all("nobody");
        },
        why_not);
    ASSERT_GE(failed_as_nobody, 0) << why_not;
    for (const std::string& into : {path("root"), path("nobody")}) {
        for (const Source& source : sources) {
            const std::string copy = into + "/" + source.name;
            if (!kivtest::exists(copy + ".cp")) {
                EXPECT_FALSE(kivtest::exists(copy)) << copy << ": cp could not copy it";
                continue;
            }
            const struct stat ours = kivtest::status_of(copy);
            const struct stat theirs = kivtest::status_of(copy + ".cp");
            EXPECT_EQ(ours.st_mode & 07777, theirs.st_mode & 07777) << copy;
            EXPECT_EQ(ours.st_uid, theirs.st_uid) << copy;
            EXPECT_EQ(ours.st_gid, theirs.st_gid) << copy;
            EXPECT_EQ(kivtest::access_time(copy), kivtest::access_time(copy + ".cp")) << copy;
            EXPECT_EQ(kivtest::modification_time(copy), kivtest::modification_time(copy + ".cp"))
                << copy;
        }
    }
}
#endif

#if !defined(_WIN32)
// --reflink as cp takes it, beside cp on a file system that shares blocks:
// always and auto share the source's blocks (the used space hardly grows),
// never gives the copy blocks of its own; where blocks cannot be shared,
// always fails and auto copies.
TEST_F(CopyOptions, SharesBlocksAsReflinkSays) {
    constexpr long long mib = 1 << 20;
    kivtest::ImageMount btrfs(path("btrfs.img"), path("btrfs"), "btrfs", 256 * mib);
    if (!btrfs.ok()) {
        GTEST_SKIP() << btrfs.error();
    }
    kivtest::write_at(path("btrfs/source"), 0, std::string(16 * mib, 'x'));
    for (const char* when : {"--reflink", "--reflink=auto", "--reflink=never"}) {
        long long growth[2] = {};
        int statuses[2] = {};
        for (int tool = 0; tool < 2; ++tool) {
            const std::string copy = path("btrfs/copy");
            const long long before = btrfs.used_bytes();
            statuses[tool] = tool == 0 ? run({when, "--", path("btrfs/source"), copy}).exit_status
                                       : kivtest::run_program("/bin/cp", {when, "--",
                                                              path("btrfs/source"), copy})
                                             .exit_status;
            growth[tool] = btrfs.used_bytes() - before;
            EXPECT_EQ(read_file(copy).size(), static_cast<std::size_t>(16 * mib));
            std::remove(copy.c_str());
        }
        EXPECT_EQ(statuses[0], statuses[1]) << when;
        EXPECT_EQ(growth[0] > 8 * mib, growth[1] > 8 * mib)
            << when << ": kivcopy's copy grew the file system by " << growth[0]
            << " bytes, cp's by " << growth[1];
    }
    write_file(path("plain"), "data");
    auto refused = run({"--reflink=always", "--", path("plain"), path("btrfs/shared")});
    EXPECT_EQ(refused.exit_status, 1);
    EXPECT_NE(refused.err.find("cannot share the blocks"), std::string::npos) << refused.err;
    EXPECT_EQ(run({"--reflink=auto", "--", path("plain"), path("btrfs/copied")}).exit_status, 0);
    EXPECT_EQ(read_file(path("btrfs/copied")), "data");
}
#endif

TEST_F(CopyOptions, ShowsProgressWhenAsked) {
    write_file(path("source"), std::string(3000, 'x'));
    auto result = run({"--progress", "--", path("source"), path("copy")});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_TRUE(
        std::regex_match(result.err, std::regex(R"(2\.9 KiB of 2\.9 KiB \(100%\), .*/s\n)")))
        << result.err;
}

}  // namespace
