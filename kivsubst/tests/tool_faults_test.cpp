// SPDX-License-Identifier: Zlib
// Linux only. The front end meeting faults that only Linux can stage: a
// directory that takes no new entries, an immutable file, an output that is
// full.
#include <gtest/gtest.h>

#include <string>

#include "tool_fixture.h"

namespace {

using kivtest::quoted;
using kivtest::read_file;
using kivtest::SubstTool;
using kivtest::write_file;

// A failure inside a run names the file, what failed and why, and the
// result, on standard error, beside the library's own line; the other
// files are still patched.
TEST_F(SubstTool, NamesTheFileTheStepAndTheReasonOfAFailure) {
    kivtest::make_directory(path("sealed"));
    write_file(path("sealed/x"), "x");
    write_file(path("free"), "x");
    kivtest::UnwritableFile sealed(path("sealed"));
    if (!sealed.ok()) {
        GTEST_SKIP() << sealed.error();
    }
    // Without TMP the temporary file belongs next to the file, where the
    // sealed directory refuses it (4).
    auto result = run({"x", "y", path("sealed/x"), path("free")}, {"TMP"});
    EXPECT_EQ(result.exit_status, 4);
    EXPECT_EQ(result.out.rfind("Cannot open temporary file " + path("sealed/KIV"), 0), 0u)
        << result.out;
    EXPECT_EQ(result.err, "kivsubst: " + quoted(path("sealed/x")) +
                              ": cannot create a temporary file in " + quoted(path("sealed")) +
                              ": Operation not permitted (4)\n");
    EXPECT_EQ(read_file(path("sealed/x")), "x");
    EXPECT_EQ(read_file(path("free")), "y");
}

TEST_F(SubstTool, GivesABareNameItsTemporaryFileBesideIt) {
    // With TMP unset the temporary file goes next to the file; in a sealed
    // directory that fails, and the library's line names where it tried.
    // Sent on as it was typed, the bare name would send it to the root.
    kivtest::make_directory(path("sealed"));
    write_file(path("sealed/x"), "x");
    kivtest::UnwritableFile sealed(path("sealed"));
    if (!sealed.ok()) {
        GTEST_SKIP() << sealed.error();
    }
    kivtest::InDirectory here(path("sealed"));
    ASSERT_TRUE(here.entered());
    auto result = run({"x", "y", "x"}, {"TMP"});
    EXPECT_EQ(result.exit_status, 4);
    EXPECT_EQ(result.out.rfind("Cannot open temporary file ./KIV", 0), 0u) << result.out;
    EXPECT_EQ(read_file(path("sealed/x")), "x");
}

TEST_F(SubstTool, TurnsAwayAFileItCannotWriteBeforeTheLibraryMakesATemporaryFile) {
    write_file(path("fixed"), "x");
    write_file(path("free"), "x");
    kivtest::UnwritableFile fixed(path("fixed"));
    if (!fixed.ok()) {
        GTEST_SKIP() << fixed.error();
    }
    auto result = run({"-v", "x", "y", path("fixed"), path("free")});
    EXPECT_EQ(result.exit_status, 3);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "kivsubst: " + quoted(path("fixed")) +
                              " is not writable: Operation not permitted\n");
    EXPECT_TRUE(temporary_files().empty());
    EXPECT_EQ(read_file(path("fixed")), "x");
    EXPECT_EQ(read_file(path("free")), "x");
}

TEST_F(SubstTool, FailsWhenHelpOrVersionCannotBeWritten) {
    for (const char* option : {"--help", "--version"}) {
        auto result = kivtest::run_program(
            "/bin/sh", {"-c", "exec \"$0\" \"$1\" >/dev/full", KIVSUBST_CLI_PATH, option});
        EXPECT_EQ(result.exit_status, 1) << option;
        EXPECT_EQ(result.err,
                  "kivsubst: cannot write to standard output: No space left on device\n")
            << option;
    }
}

// The reason in a message is the error of the call that failed, taken when
// it failed: TMP naming a plain file is "Not a directory", also when the
// library's own line could not be written (standard output full).
TEST_F(SubstTool, TellsTheReasonOfTheCallThatFailed) {
    write_file(path("plain"), "not a directory");
    for (const bool full : {false, true}) {
        write_file(path("f.txt"), "a");
        const std::string command = "exec \"$0\" -- a b '" + path("f.txt") + "'" +
                                    (full ? " > /dev/full" : "");
        auto result = kivtest::run_program("/bin/sh", {"-c", command, KIVSUBST_CLI_PATH},
                                           {"TMP=" + path("plain")});
        EXPECT_EQ(result.exit_status, 4) << full;
        EXPECT_EQ(result.err, "kivsubst: " + quoted(path("f.txt")) +
                                  ": cannot create a temporary file in " + quoted(path("plain")) +
                                  ": Not a directory (4)\n")
            << full;
        EXPECT_EQ(read_file(path("f.txt")), "a");
    }
}

}  // namespace
