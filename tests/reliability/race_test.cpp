// SPDX-License-Identifier: Zlib
// Names swapped under the front ends: the swapname library renames a file
// over a name right after the program first looks at it, where a racing
// attacker would, and the program must not act on what it did not check.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <string>

#include "kivtest/files.h"
#include "kivtest/programs.h"

namespace {

using kivtest::write_file;

class SwappedName : public kivtest::WorkDirTest {
protected:
    // Runs `program` with the name `name` swapped for `with` after the
    // program's first look at it; a program that hangs is killed after a
    // while, and that counts as a failure.
    kivtest::ProgramRun run_swapping(const std::string& program,
                                     const std::vector<std::string>& arguments,
                                     const std::string& name, const std::string& with) {
        std::vector<std::string> command = {"-s", "KILL", "20", program};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return kivtest::run_program("/usr/bin/timeout", command,
                                    {"LD_PRELOAD=" KIV_SWAPNAME_PATH, "KIV_SWAP_NAME=" + name,
                                     "KIV_SWAP_WITH=" + with});
    }
};

// kivcopy looks at its source before the copy, to tell in the system's
// words what is wrong with it. A FIFO swapped in after that look must not
// hold the program up, nor be copied: the source is opened without waiting,
// and only if it is still the file looked at.
TEST_F(SwappedName, KivcopyNeverWaitsOnAFifoSwappedInForTheSource) {
    write_file(path("source"), "data");
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    auto result = run_swapping(KIVCOPY_CLI_PATH, {path("source"), path("target")}, path("source"),
                               path("fifo"));
    EXPECT_NE(result.signal, SIGKILL) << "kivcopy was still waiting after 20 seconds";
    EXPECT_EQ(result.exit_status, 1) << result.err;
    EXPECT_NE(result.err.find("it was replaced while this program worked on it"),
              std::string::npos)
        << result.err;
    EXPECT_FALSE(kivtest::exists(path("target")));
}

}  // namespace
