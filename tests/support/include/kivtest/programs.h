/* SPDX-License-Identifier: Zlib */
// Running programs (the built front ends, the crash harness's driver) and
// capturing how they ended and what they printed.
#ifndef KIVTEST_PROGRAMS_H
#define KIVTEST_PROGRAMS_H

#include <string>
#include <vector>

namespace kivtest {

struct ProgramRun {
    int exit_status = -1;  // -1 when the program did not exit normally
    int signal = 0;        // the signal that ended it (POSIX), else 0
    std::string out;
    std::string err;
};

// Runs `program` with `arguments`, the environment changed by
// `extra_environment` ("NAME=value" sets NAME, a bare "NAME" unsets it),
// waits for it and returns its exit status and output.
ProgramRun run_program(const std::string& program, const std::vector<std::string>& arguments,
                       const std::vector<std::string>& extra_environment = {});

// What the front end `program` prints on standard error when it turns down
// a backup suffix that Windows would take for a stream of the file.
inline std::string stream_suffix_refusal(const std::string& program, const std::string& suffix) {
    return program + ": the backup suffix '" + suffix +
           "' may be neither empty nor hold a separator or a ':' (which names a stream of the "
           "file)\nTry '" +
           program + " --help' for more information.\n";
}

}  // namespace kivtest

#endif
