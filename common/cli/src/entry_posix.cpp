// SPDX-License-Identifier: Zlib
#include "kivcli/entry.h"

int main(int argc, char** argv) {
    return front_end_main(argc, argv);
}
