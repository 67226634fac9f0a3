// SPDX-License-Identifier: Zlib
// The kivcopy front end: cp's shapes and options, one line per failure, exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

#include "tool_fixture.h"

namespace {

using kivtest::CopyTool;
using kivtest::read_file;
using kivtest::write_file;

TEST_F(CopyTool, CopiesOneFileToATarget) {
    write_file(path("a"), "alpha");
    auto result = run({path("a"), path("b")});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(read_file(path("b")), "alpha");
}

TEST_F(CopyTool, CopiesSeveralFilesIntoADirectoryAndGoesOnPastAFailure) {
    kivtest::make_directory(path("into"));
    write_file(path("a"), "alpha");
    write_file(path("c"), "gamma");
    auto result = run({path("a"), path("missing"), path("c"), path("into")});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(read_file(path("into/a")), "alpha");
    EXPECT_EQ(read_file(path("into/c")), "gamma");
    EXPECT_NE(result.err.find("kivcopy: cannot stat '" + path("missing") +
                              "': No such file or directory\n"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
}

// An existing target is left alone without a word unless -f is in force; of
// -n and -f the last one counts, and -v tells what happened to each file.
TEST_F(CopyTool, ReplacesAnExistingTargetOnlyWithOverwrite) {
    write_file(path("a"), "new");
    write_file(path("b"), "old");
    auto kept = run({path("a"), path("b")});
    EXPECT_EQ(kept.exit_status, 0);
    EXPECT_EQ(kept.err, "");
    EXPECT_EQ(read_file(path("b")), "old");

    for (const char* option : {"-f", "--overwrite"}) {
        write_file(path("a"), option);
        auto replaced = run({option, path("a"), path("b")});
        EXPECT_EQ(replaced.exit_status, 0) << replaced.err;
        EXPECT_EQ(read_file(path("b")), option);
    }

    write_file(path("a"), "last");
    auto skipped = run({"-f", "-v", "--no-clobber", path("a"), path("b")});
    EXPECT_EQ(skipped.exit_status, 0);
    EXPECT_EQ(skipped.out, "skipped '" + path("b") + "' (exists)\n");
    EXPECT_EQ(read_file(path("b")), "--overwrite");
    auto copied = run({"-n", "--verbose", "-f", path("a"), path("b")});
    EXPECT_EQ(copied.exit_status, 0) << copied.err;
    EXPECT_EQ(copied.out, "'" + path("a") + "' -> '" + path("b") + "'\n");
    EXPECT_EQ(read_file(path("b")), "last");
}

// A wrong command line gets the reason and a pointer to --help, never the
// whole help, and names the program plainly whatever path started it.
TEST_F(CopyTool, RejectsAWrongCommandLine) {
    write_file(path("a"), "x");
    write_file(path("b"), "y");
    const std::string try_help = "Try 'kivcopy --help' for more information.\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "kivcopy: missing file operand\n"},
        {{path("a")}, "kivcopy: missing destination file operand after '" + path("a") + "'\n"},
        {{"-t", path("into")}, "kivcopy: missing file operand\n"},
        {{"--bogus", path("a"), path("b")}, "kivcopy: unrecognized option '--bogus'\n"},
        {{path("a"), "--verbose", "-vx", path("b")}, "kivcopy: invalid option -- 'x'\n"},
        {{path("a"), path("b"), "--ver"}, "kivcopy: option '--ver' is ambiguous\n"},
        {{"--verbose=yes", path("a"), path("b")},
         "kivcopy: option '--verbose' doesn't allow an argument\n"},
        {{path("a"), "-t"}, "kivcopy: option requires an argument -- 't'\n"},
        {{path("a"), path("b"), path("not-a-directory")},
         "kivcopy: target directory '" + path("not-a-directory") +
             "': No such file or directory\n"},
        {{"-t", path("b"), path("a")}, "kivcopy: target '" + path("b") + "' is not a directory\n"},
    };
    for (const auto& [arguments, reason] : cases) {
        auto result = run(arguments);
        EXPECT_EQ(result.exit_status, 64) << reason;
        EXPECT_EQ(result.err, reason + try_help);
        EXPECT_EQ(result.out, "");
    }
}

// A failure before the library is called is told in the system's words; one
// only the library can see keeps its result and meaning.
TEST_F(CopyTool, NamesTheFilesAndTheReasonOfAFailure) {
    kivtest::make_directory(path("dir"));
    write_file(path("a"), "alpha");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{path("dir"), path("b")},
         "kivcopy: '" + path("dir") + "' is a directory; only files are copied without -r\n"},
        {{path("a"), path("none/b")},
         "kivcopy: cannot create '" + path("none/b") + "': No such file or directory\n"},
        {{path("a"), path("a/b")},
         "kivcopy: cannot create '" + path("a/b") + "': Not a directory\n"},
        {{"-f", path("a"), path("a")},
         "kivcopy: '" + path("a") + "' and '" + path("a") + "' are the same file\n"},
    };
    for (const auto& [arguments, message] : cases) {
        auto result = run(arguments);
        EXPECT_EQ(result.exit_status, 1) << message;
        EXPECT_EQ(result.err, message);
    }
#if !defined(_WIN32)
    // Windows gives stat no inode: there only the library tells a link to the source.
    ASSERT_TRUE(kivtest::hard_link(path("a"), path("dir/a")));
    auto linked = run({"-f", path("a"), path("dir")});
    EXPECT_EQ(linked.exit_status, 1);
    EXPECT_EQ(linked.err,
              "kivcopy: '" + path("a") + "' and '" + path("dir/a") + "' are the same file\n");

    // A device the library will not open as a target (a FIFO is replaced
    // anew with -f, so it no longer reaches the library); only root may
    // make one.
    if (::geteuid() == 0) {
        ASSERT_EQ(::mknod(path("device").c_str(), S_IFCHR | 0600, ::makedev(1, 3)), 0);
        auto library = run({"-f", path("a"), path("device")});
        EXPECT_EQ(library.exit_status, 1);
        EXPECT_EQ(library.err, "kivcopy: '" + path("a") + "' -> '" + path("device") +
                                   "': -5010: the target cannot be opened, written or closed, or "
                                   "is the source itself\n");
    }
#endif
}

// Names are quoted in every line the front end prints, so that bytes in a
// name can neither drive the terminal nor forge a line: printable text as
// 'text', everything else in the shell's $'...' form.
TEST_F(CopyTool, QuotesNamesSoThatTheyCannotTalkToTheTerminal) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows file names cannot hold control characters";
#else
    const std::string titled = path("a\033]0;owned\007b");
    write_file(titled, "x");
    const std::vector<std::string> utf8 = {"LC_ALL=C.UTF-8"};
    auto copied =
        kivtest::run_program(KIVCOPY_CLI_PATH, {"-v", titled, path("it's \xc3\xa9")}, utf8);
    EXPECT_EQ(copied.exit_status, 0) << copied.err;
    EXPECT_EQ(copied.out, "'" + path("a") + "'$'\\033'']0;owned'$'\\007''b' -> '" + path("it") +
                              "'\\''s \xc3\xa9'\n");

    auto missing =
        kivtest::run_program(KIVCOPY_CLI_PATH, {path("x\ny\xc3\xa9"), path("z")}, {"LC_ALL=C"});
    EXPECT_EQ(missing.exit_status, 1);
    EXPECT_EQ(missing.err, "kivcopy: cannot stat '" + path("x") +
                               "'$'\\n''y'$'\\303\\251': No such file or directory\n");
#endif
}

// -t names the directory up front; -D creates what is missing of it, or of
// a single target's directory, as install -D does.
TEST_F(CopyTool, CopiesIntoATargetDirectoryAndCreatesItWithD) {
    write_file(path("a"), "alpha");
    write_file(path("c"), "gamma");
    auto missing = run({"-t", path("new/dir"), path("a")});
    EXPECT_EQ(missing.exit_status, 64);
    EXPECT_NE(missing.err.find("'" + path("new/dir") + "': No such file or directory"),
              std::string::npos)
        << missing.err;

    auto made = run({"-D", "--target-directory", path("new/dir"), path("a"), path("c")});
    EXPECT_EQ(made.exit_status, 0) << made.err;
    EXPECT_EQ(read_file(path("new/dir/a")), "alpha");
    EXPECT_EQ(read_file(path("new/dir/c")), "gamma");

    auto single = run({"-D", path("a"), path("deep/er/b")});
    EXPECT_EQ(single.exit_status, 0) << single.err;
    EXPECT_EQ(read_file(path("deep/er/b")), "alpha");
#if !defined(_WIN32)
    mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat status {};
    ASSERT_EQ(::stat(path("deep/er").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0755 & ~mask);
#endif

    auto slash = run({"-D", path("a"), path("ends/in/")});
    EXPECT_EQ(slash.exit_status, 0) << slash.err;
    EXPECT_EQ(read_file(path("ends/in/a")), "alpha");

    write_file(path("plain"), "");
    auto blocked = run({"-D", path("a"), path("plain/sub/b")});
    EXPECT_EQ(blocked.exit_status, 1);
    // "Not a directory" on Linux, "No such file or directory" on Windows.
    const std::string cannot = "kivcopy: cannot create directory '" + path("plain/sub") + "': ";
    EXPECT_EQ(blocked.err.rfind(cannot, 0), 0u)
        << blocked.err;
}

// Two sources of one name sent into one directory: the second never replaces
// what the first has just written, with -f or without.
TEST_F(CopyTool, RefusesToReplaceATargetWrittenInTheSameRun) {
    kivtest::make_directory(path("x"));
    kivtest::make_directory(path("y"));
    write_file(path("x/app.ini"), "from x");
    write_file(path("y/app.ini"), "from y");
    for (const char* clobber : {"-f", "-n"}) {
        kivtest::make_directory(path(std::string("out") + clobber));
        std::string out = path(std::string("out") + clobber);
        auto result = run({clobber, path("x/app.ini"), path("y/app.ini"), out});
        EXPECT_EQ(result.exit_status, 1) << clobber;
        EXPECT_EQ(result.err, "kivcopy: will not overwrite just-created '" + out +
                                  "/app.ini' with '" + path("y/app.ini") + "'\n");
        EXPECT_EQ(read_file(out + "/app.ini"), "from x");
    }
}

// Options may follow the operands, and "--" makes a name that starts with
// '-' a file.
TEST_F(CopyTool, TakesOptionsAnywhereAndNamesAfterDoubleDashAsFiles) {
    write_file(path("a"), "new");
    write_file(path("b"), "old");
    auto late = run({path("a"), path("b"), "-f"});
    EXPECT_EQ(late.exit_status, 0) << late.err;
    EXPECT_EQ(read_file(path("b")), "new");

    const std::string home = kivtest::current_directory();
    ASSERT_TRUE(kivtest::change_directory(dir()));
    write_file("-f", "dash");
    auto as_option = run({"-f", "target"});
    auto as_file = run({"--", "-f", "target"});
    ASSERT_TRUE(kivtest::change_directory(home));
    EXPECT_EQ(as_option.exit_status, 64);
    EXPECT_EQ(as_file.exit_status, 0) << as_file.err;
    EXPECT_EQ(read_file(path("target")), "dash");
}

TEST_F(CopyTool, PrintsHelpAndVersion) {
    auto help = run({"--help"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.out.rfind("Usage: kivcopy", 0), 0u) << help.out;
    for (const char* option : {"--no-clobber", "--overwrite", "--target-directory", "-D",
                               "--verbose", "--version", " -- "}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
    auto version = run({"--version"});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out, std::string("kivcopy ") + KIV_TEST_VERSION + "\n");
}

// Output that cannot be written is a failure, as with the system's tools.
TEST_F(CopyTool, FailsWhenHelpCannotBeWritten) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs /dev/full and a POSIX shell to redirect to it";
#else
    if (::access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "this system has no writable /dev/full";
    }
    for (const char* option : {"--help", "--version"}) {
        auto result = kivtest::run_program(
            "/bin/sh", {"-c", "exec \"$0\" \"$1\" >/dev/full", KIVCOPY_CLI_PATH, option});
        EXPECT_EQ(result.exit_status, 1) << option;
        EXPECT_EQ(result.err, "kivcopy: write error: No space left on device\n") << option;
    }
#endif
}

}  // namespace
