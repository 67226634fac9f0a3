// SPDX-License-Identifier: Zlib
// What every front end prints the same way on every system.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kivcli/output.h"

namespace kivcli {

void complain(const char* program, const std::string& message) {
    print_error(std::string(program) + ": " + message + "\n");
}

int finish_output(const char* program, int status, int failed, const char* failure) {
    const bool failed_before = std::ferror(stdout) != 0;
    errno = 0;
    if (std::fclose(stdout) != 0) {
        complain(program, std::string(failure) + ": " + std::strerror(errno));
        return failed;
    }
    if (failed_before) {
        complain(program, failure);
        return failed;
    }
    return status;
}

}  // namespace kivcli
