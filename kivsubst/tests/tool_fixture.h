/* SPDX-License-Identifier: Zlib */
// The front end run on files in a work directory, shared by the tests that
// run everywhere and the one that only Linux can stage
// (tool_faults_test.cpp).
#ifndef KIVSUBST_TESTS_TOOL_FIXTURE_H
#define KIVSUBST_TESTS_TOOL_FIXTURE_H

#include <gtest/gtest.h>

#include <filesystem>
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

    // The library's temporary files ("KIV" and a number) in the work
    // directory: none may be left after a run that succeeded, or after a
    // file the front end turned away.
    std::vector<std::string> temporary_files() const {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(dir())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("KIV", 0) == 0) {
                found.push_back(name);
            }
        }
        return found;
    }
};

// A plain name as the front end's messages show it.
inline std::string quoted(const std::string& name) {
    return "'" + name + "'";
}

// Runs the front end from `directory`, for bare file names, and goes back.
class InDirectory {
public:
    explicit InDirectory(const std::string& directory) : previous_(current_directory()) {
        entered_ = change_directory(directory);
    }
    ~InDirectory() { change_directory(previous_); }
    InDirectory(const InDirectory&) = delete;
    InDirectory& operator=(const InDirectory&) = delete;
    bool entered() const { return entered_; }

private:
    std::string previous_;
    bool entered_ = false;
};

}  // namespace kivtest

#endif
