// SPDX-License-Identifier: Zlib
#include <sys/resource.h>

#include "kivcli/entry.h"

namespace {

// A process starts with a soft limit (often 1,024) on open descriptors far
// below what it may raise it to; a deep walk holds one for each level.
void raise_descriptor_limit() {
    constexpr rlim_t enough = 1 << 16;
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= enough) {
        return;
    }
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max > enough ? enough
                                                                                 : limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

int main(int argc, char** argv) {
    raise_descriptor_limit();
    return front_end_main(argc, argv);
}
