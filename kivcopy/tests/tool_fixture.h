/* SPDX-License-Identifier: Zlib */
// The front end run on files in a work directory, shared by its tests.
#ifndef KIVCOPY_TESTS_TOOL_FIXTURE_H
#define KIVCOPY_TESTS_TOOL_FIXTURE_H

#include <string>
#include <vector>

#include "kivtest/files.h"
#include "kivtest/programs.h"

namespace kivtest {

class CopyTool : public WorkDirTest {
protected:
    static ProgramRun run(const std::vector<std::string>& arguments) {
        return run_program(KIVCOPY_CLI_PATH, arguments);
    }
};

}  // namespace kivtest

#endif
