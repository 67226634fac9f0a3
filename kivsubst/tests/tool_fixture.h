// The front end run on files in a work directory, shared by the tests that
// run everywhere and the one that only Linux can stage
// (tool_faults_test.cpp).
#ifndef KIVSUBST_TESTS_TOOL_FIXTURE_H
#define KIVSUBST_TESTS_TOOL_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kivtest/files.h"
#include "kivtest/programs.h"

namespace kivtest {

class SubstTool : public WorkDirTest {
protected:
    // Temporary files go to the work directory, so that a test leaves
    // nothing behind elsewhere.
    ProgramRun run(const std::vector<std::string>& arguments) {
        return run(arguments, {"TMP=" + dir()});
    }
    ProgramRun run(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment) {
        return run_program(KIVSUBST_CLI_PATH, arguments, environment);
    }
};

}  // namespace kivtest

#endif
