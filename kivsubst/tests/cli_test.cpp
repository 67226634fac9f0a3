// The kivsubst front end: decoding its arguments, one library call per file,
// the combined exit status and the -v report.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tool_fixture.h"

namespace {

using kivtest::read_file;
using kivtest::SubstTool;
using kivtest::write_file;

TEST_F(SubstTool, ReplacesInOneFileOrExitsOneWhenNothingIsFound) {
    write_file(path("a"), "one two one");
    auto replaced = run({"-v", "one", "1", path("a")});
    EXPECT_EQ(replaced.exit_status, 0) << replaced.err;
    EXPECT_EQ(replaced.out, "");
    EXPECT_EQ(replaced.err, path("a") + ": replaced\n");
    EXPECT_EQ(read_file(path("a")), "1 two 1");

    auto absent = run({"--verbose", "one", "1", path("a")});
    EXPECT_EQ(absent.exit_status, 1);
    EXPECT_EQ(absent.err, path("a") + ": not found\n");
    EXPECT_EQ(read_file(path("a")), "1 two 1");

    // Quiet without -v; a pattern starting with '-' follows "--".
    write_file(path("a"), "x -two x");
    auto dashed = run({"--", "-two", "", path("a")});
    EXPECT_EQ(dashed.exit_status, 0) << dashed.err;
    EXPECT_EQ(dashed.err, "");
    EXPECT_EQ(read_file(path("a")), "x  x");
}

TEST_F(SubstTool, ProcessesEveryFileAndExitsWithTheFirstFailure) {
    write_file(path("a"), "x-x");
    write_file(path("c"), "x");
    auto result = run({"-v", "x", "y", path("a"), path("missing"), path("c")});
    EXPECT_EQ(result.exit_status, 3);
    EXPECT_EQ(result.out, "Cannot open " + path("missing") + "; rc=3\n");
    EXPECT_EQ(result.err, path("a") + ": replaced\n" + path("c") + ": replaced\n");
    EXPECT_EQ(read_file(path("a")), "y-y");
    EXPECT_EQ(read_file(path("c")), "y");
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
    auto result = run({"\\0b\\n", "\\t\\x7F", path("a")});
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
    auto utf16le = run({"--utf16le", "\xC3\xA9", "e\\0", path("text")});
    EXPECT_EQ(utf16le.exit_status, 0) << utf16le.err;
    EXPECT_EQ(read_file(path("text")), std::string("e\0\0\0t\0e\0\0\0|\xC3\xA9", 13));
}

TEST_F(SubstTool, RejectsAWrongCommandLineWithoutTouchingTheFile) {
    write_file(path("a"), "abc");
    const std::string a = path("a");
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"a", "A"},
        {"--bogus", "a", "A", a},
        {"-x", "a", "A", a},
        {"--hex", "--utf16le", "61", "41", a},
        {"\\q", "A", a},
        {"a", "\\x4", a},
        {"--hex", "6", "41", a},
        {"--hex", "61", "4g", a},
        {"--utf16le", "\\xFF", "A", a},
        {"", "A", a},
        {"--hex", " ", "41", a},
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
        EXPECT_NE(result.err.find("\nUsage: kivsubst"), std::string::npos) << shown;
    }
    EXPECT_EQ(read_file(a), "abc");
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
