// SPDX-License-Identifier: Zlib
// What every front end prints the same way on every system.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kivcli/output.h"

namespace kivcli {
namespace {

int first_output_error = 0;

}  // namespace

int output_error() {
    return first_output_error;
}

void note_output_error(int error) {
    if (first_output_error == 0) {
        first_output_error = error;
    }
}

void complain(const char* program, const std::string& message) {
    print_error(std::string(program) + ": " + message + "\n");
}

int finish_output(const char* program, int status, int failed, const char* failure) {
    const bool failed_before = std::ferror(stdout) != 0;
    if (std::fclose(stdout) != 0) {
        note_output_error(errno);
    }
    if (!failed_before && output_error() == 0) {
        return status;
    }
    complain(program, output_error() != 0
                          ? std::string(failure) + ": " + std::strerror(output_error())
                          : std::string(failure));
    return failed;
}

}  // namespace kivcli
