// SPDX-License-Identifier: Zlib
// The kivsubst front end: decoding its arguments, one library call per file,
// the combined exit status and the -v report.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "tool_fixture.h"

namespace {

using kivtest::quoted;
using kivtest::read_file;
using kivtest::SubstTool;
using kivtest::write_file;

TEST_F(SubstTool, ReplacesInOneFileOrExitsOneWhenNothingIsFound) {
    write_file(path("a"), "one two one");
    auto replaced = run({"-v", "one", "1", path("a")});
    EXPECT_EQ(replaced.exit_status, 0) << replaced.err;
    EXPECT_EQ(replaced.out, "");
    EXPECT_EQ(replaced.err, quoted(path("a")) + ": 2 replaced\n");
    EXPECT_EQ(read_file(path("a")), "1 two 1");

    auto absent = run({"--verbose", "one", "1", path("a")});
    EXPECT_EQ(absent.exit_status, 1);
    EXPECT_EQ(absent.err, quoted(path("a")) + ": nothing found\n");
    EXPECT_EQ(read_file(path("a")), "1 two 1");

    // Quiet without -v; a pattern starting with '-' follows "--".
    write_file(path("a"), "x -two x");
    auto dashed = run({"--", "-two", "", path("a")});
    EXPECT_EQ(dashed.exit_status, 0) << dashed.err;
    EXPECT_EQ(dashed.err, "");
    EXPECT_EQ(read_file(path("a")), "x  x");
}

// Every file is checked before any is changed: one that is missing, not a
// regular file, or the same file named twice (under another name or a hard
// link) leaves all of them as they were, each reason told.
TEST_F(SubstTool, ChangesNoFileUnlessEveryFileCanBePatched) {
    write_file(path("a"), "x-x");
    write_file(path("c"), "x");
    kivtest::make_directory(path("folder"));
    auto result = run({"-v", "x", "y", path("a"), path("missing"), path("folder"), path("c")});
    EXPECT_EQ(result.exit_status, 3);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "kivsubst: cannot open " + quoted(path("missing")) +
                              ": No such file or directory\n" + "kivsubst: cannot open " +
                              quoted(path("folder")) + ": Is a directory\n");
    ASSERT_TRUE(kivtest::hard_link(path("c"), path("c-link")));
    auto twice = run({"x", "y", path("a"), path("c"), path("c-link")});
    EXPECT_EQ(twice.exit_status, 3);
    EXPECT_EQ(twice.err, "kivsubst: " + quoted(path("c")) + " and " + quoted(path("c-link")) +
                             " are the same file\n");
    EXPECT_EQ(read_file(path("a")), "x-x");
    EXPECT_EQ(read_file(path("c")), "x");
    EXPECT_TRUE(temporary_files().empty());
}

TEST_F(SubstTool, ExitsZeroWhenAnyOfSeveralFilesHadAReplacement) {
    write_file(path("a"), "abc");
    write_file(path("b"), "xyz");
    EXPECT_EQ(run({"b", "B", path("a"), path("b")}).exit_status, 0);
    EXPECT_EQ(read_file(path("a")), "aBc");
    EXPECT_EQ(run({"q", "Q", path("a"), path("b")}).exit_status, 1);
    EXPECT_EQ(read_file(path("b")), "xyz");
}

TEST_F(SubstTool, EscapesReachTheFileAsRawBytes) {
    write_file(path("a"), std::string("a\0b\nc", 5));
    auto result = run({"--escapes", "\\0b\\n", "\\t\\x7F", path("a")});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(read_file(path("a")), "a\t\x7F" "c");
}

TEST_F(SubstTool, MatchesHexAndUtf16lePatternsInBinaryFiles) {
    write_file(path("binary"), std::string("\x00\x01\xFF\x00\x01", 5));
    auto hex = run({"--hex", "00 01", "FEfe", path("binary")});
    EXPECT_EQ(hex.exit_status, 0) << hex.err;
    EXPECT_EQ(read_file(path("binary")), "\xFE\xFE\xFF\xFE\xFE");

    // "été" in UTF-16LE, then "é" in UTF-8, which --utf16le must leave alone.
    write_file(path("text"), std::string("\xE9\0t\0\xE9\0|\xC3\xA9", 9));
    auto utf16le = run({"--escapes", "--utf16le", "\xC3\xA9", "e\\0", path("text")});
    EXPECT_EQ(utf16le.exit_status, 0) << utf16le.err;
    EXPECT_EQ(read_file(path("text")), std::string("e\0\0\0t\0e\0\0\0|\xC3\xA9", 13));
}

TEST_F(SubstTool, DryRunCountsAndLeavesEveryFileAsItWas) {
    write_file(path("a"), "one two one");
    write_file(path("b"), "two");
    // An access time older than the modification time is one that a plain
    // read would move forward (relatime).
    const kivtest::Time accessed{1000000000, 0};
    const kivtest::Time modified{1500000000, 0};
    kivtest::set_times(path("a"), accessed, modified);
#if !defined(_WIN32)
    struct stat before {};
    ASSERT_EQ(::stat(path("a").c_str(), &before), 0);
#endif

    auto counted = run({"-n", "one", "1", path("a"), path("b")});
    EXPECT_EQ(counted.exit_status, 0) << counted.err;
    EXPECT_EQ(counted.out,
              quoted(path("a")) + ": 2 to replace\n" + quoted(path("b")) + ": nothing found\n");
    EXPECT_EQ(counted.err, "");
    EXPECT_EQ(kivtest::modification_time(path("a")), modified);
#if !defined(_WIN32)
    // Windows gives a reader no way to keep the access time (under Wine the
    // host's read sets it), so it is checked on POSIX only, with the rest.
    EXPECT_EQ(kivtest::access_time(path("a")), accessed);
    struct stat after {};
    ASSERT_EQ(::stat(path("a").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_ctim.tv_sec, before.st_ctim.tv_sec);
    EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
#endif
    EXPECT_TRUE(temporary_files().empty());
    EXPECT_EQ(read_file(path("a")), "one two one");  // last: the read moves the access time

    // The count is the library's: occurrences do not overlap.
    write_file(path("c"), "aaaaa");
    EXPECT_EQ(run({"--dry-run", "aa", "", path("c")}).out, quoted(path("c")) + ": 2 to replace\n");

    auto none = run({"--dry-run", "three", "3", path("a"), path("b")});
    EXPECT_EQ(none.exit_status, 1);
    EXPECT_EQ(none.out,
              quoted(path("a")) + ": nothing found\n" + quoted(path("b")) + ": nothing found\n");
}

// -n looks at each file alone: one it cannot read is told, the others are
// still counted.
TEST_F(SubstTool, CountsWhatItCanReadAndTellsWhatItCannot) {
    kivtest::make_directory(path("folder"));
    write_file(path("a"), "a");
    auto result = run({"-n", "a", "b", path("missing"), path("folder"), path("a")});
    EXPECT_EQ(result.exit_status, 3);
    EXPECT_EQ(result.err, "kivsubst: cannot open " + quoted(path("missing")) +
                              ": No such file or directory\n" + "kivsubst: cannot open " +
                              quoted(path("folder")) + ": Is a directory\n");
    EXPECT_EQ(result.out, quoted(path("a")) + ": 1 to replace\n");
    EXPECT_TRUE(temporary_files().empty());
    EXPECT_EQ(read_file(path("a")), "a");
}

// Names are quoted in every line the front end prints, so that bytes in a
// name can neither drive the terminal nor forge a line.
TEST_F(SubstTool, QuotesNamesSoThatTheyCannotTalkToTheTerminal) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows file names cannot hold control characters";
#else
    write_file(path("a\033[2Jb"), "old");
    auto counted = run({"-n", "old", "new", path("a\033[2Jb"), path("x\r\ny")},
                       {"TMP=" + dir(), "LC_ALL=C.UTF-8"});
    EXPECT_EQ(counted.exit_status, 3);
    EXPECT_EQ(counted.out, "'" + path("a") + "'$'\\033''[2Jb': 1 to replace\n");
    EXPECT_EQ(counted.err, "kivsubst: cannot open '" + path("x") +
                               "'$'\\r\\n''y': No such file or directory\n");
#endif
}

TEST_F(SubstTool, TakesOptionsAnywhereUntilADoubleDash) {
    write_file(path("a"), "x");
    auto late = run({"x", "y", path("a"), "-v"});
    EXPECT_EQ(late.exit_status, 0) << late.err;
    EXPECT_EQ(late.err, quoted(path("a")) + ": 1 replaced\n");

    // Files named like options, as a wildcard would list them, given by
    // bare names from their own directory.
    write_file(path("-v"), "x");
    write_file(path("--help"), "x");
    kivtest::InDirectory here(dir());
    ASSERT_TRUE(here.entered());
    auto files = run({"--", "x", "y", "-v", "--help"});
    EXPECT_EQ(files.exit_status, 0) << files.err;
    EXPECT_EQ(files.out, "");
    EXPECT_EQ(files.err, "");
    EXPECT_EQ(read_file(path("-v")), "y");
    EXPECT_EQ(read_file(path("--help")), "y");
}

TEST_F(SubstTool, RejectsAWrongCommandLineWithoutTouchingTheFile) {
    write_file(path("a"), "abc");
    const std::string a = path("a");
    const std::string try_help = "Try 'kivsubst --help' for more information.\n";
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"a", "A"},
        {"--bogus", "a", "A", a},
        {"-x", "a", "A", a},
        {"--hex", "--utf16le", "61", "41", a},
        {"--escapes", "\\q", "A", a},
        {"--escapes", "a", "\\x4", a},
        {"--hex", "6", "41", a},
        {"--hex", "61", "4g", a},
        {"--escapes", "--utf16le", "\\xFF", "A", a},
        {"--hex", "--escapes", "61", "41", a},
        {"", "A", a},
        {"--hex", " ", "41", a},
        {"--ex", "a", "A", a},
        {"--e=x", "a", "A", a},
    };
    for (const auto& arguments : wrong) {
        std::string shown;
        for (const auto& argument : arguments) {
            shown += " [" + argument + "]";
        }
        auto result = run(arguments);
        EXPECT_EQ(result.exit_status, 64) << shown;
        EXPECT_EQ(result.out, "") << shown;
        EXPECT_EQ(result.err.rfind("kivsubst: ", 0), 0u) << shown << "\n" << result.err;
        EXPECT_EQ(result.err.substr(result.err.find('\n') + 1), try_help) << shown;
    }
    EXPECT_EQ(read_file(a), "abc");

    // The complaint names the option as it was typed.
    const std::vector<std::pair<std::vector<std::string>, std::string>> named = {
        {{"--verbose=1", "a", "A", a}, "option '--verbose' takes no value"},
        {{"--dry-run=yes", "a", "A", a}, "option '--dry-run' takes no value"},
        {{"a", "A", a, "--bogus"}, "unrecognized option '--bogus'"},
        {{"-vx", "a", "A", a}, "invalid option -- 'x'"},
        {{"--he", "a", "A", a}, "option '--he' is ambiguous"},
        {{"--ex", "a", "A", a}, "option '--ex' is ambiguous"},
        {{"--e=x", "a", "A", a}, "option '--e' is ambiguous"},
        {{"--exp", "a", "A", "--ex=x", a}, "option '--ex' is ambiguous"},
    };
    for (const auto& [arguments, message] : named) {
        EXPECT_EQ(run(arguments).err, "kivsubst: " + message + "\n" + try_help);
    }
}

TEST_F(SubstTool, PrintsHelpAndVersion) {
    auto help = run({"--help"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind("Usage: kivsubst", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("Exit status"), std::string::npos) << help.out;
    auto version = run({"--version"});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out, std::string("kivsubst ") + KIV_TEST_VERSION + "\n");
}

}  // namespace
