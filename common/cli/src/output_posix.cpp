// SPDX-License-Identifier: Zlib
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "kivcli/output.h"

namespace kivcli {

void print(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
        note_output_error(errno);
    }
}

void print_error(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
}

bool error_is_terminal() {
    return ::isatty(STDERR_FILENO) != 0;
}

}  // namespace kivcli
