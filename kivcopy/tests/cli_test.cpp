// The kivcopy front end: cp's two shapes, one line per failure, exit status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kivtest/files.h"
#include "kivtest/programs.h"

namespace {

using kivtest::read_file;
using kivtest::write_file;

class CopyTool : public kivtest::WorkDirTest {
protected:
    kivtest::ProgramRun run(const std::vector<std::string>& arguments) {
        return kivtest::run_program(KIVCOPY_CLI_PATH, arguments);
    }
};

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
    EXPECT_NE(result.err.find(path("missing") + " -> " + path("into/missing") + ": 10: "),
              std::string::npos)
        << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
}

TEST_F(CopyTool, ReplacesAnExistingTargetOnlyWithOverwrite) {
    write_file(path("a"), "new");
    write_file(path("b"), "old");
    auto kept = run({path("a"), path("b")});
    EXPECT_EQ(kept.exit_status, 1);
    EXPECT_NE(kept.err.find(": -5048: the target exists"), std::string::npos) << kept.err;
    EXPECT_EQ(read_file(path("b")), "old");

    for (const char* option : {"-f", "--overwrite"}) {
        write_file(path("a"), option);
        auto replaced = run({option, path("a"), path("b")});
        EXPECT_EQ(replaced.exit_status, 0) << replaced.err;
        EXPECT_EQ(read_file(path("b")), option);
    }
}

TEST_F(CopyTool, RejectsAWrongCommandLine) {
    EXPECT_EQ(run({}).exit_status, 64);
    EXPECT_EQ(run({path("a")}).exit_status, 64);
    EXPECT_EQ(run({"--bogus", path("a"), path("b")}).exit_status, 64);
    write_file(path("a"), "x");
    write_file(path("b"), "y");
    EXPECT_EQ(run({path("a"), path("b"), path("not-a-directory")}).exit_status, 64);
}

TEST_F(CopyTool, PrintsHelpAndVersion) {
    auto help = run({"--help"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.out.rfind("Usage: kivcopy", 0), 0u) << help.out;
    auto version = run({"--version"});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out, std::string("kivcopy ") + KIV_TEST_VERSION + "\n");
}

}  // namespace
