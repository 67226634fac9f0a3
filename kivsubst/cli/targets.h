/* SPDX-License-Identifier: Zlib */
// The files a run works on: the FILE operands, and with -r the regular
// files under those that are directories; and the checks that every one
// of them passes before any is changed.
#ifndef KIVSUBST_CLI_TARGETS_H
#define KIVSUBST_CLI_TARGETS_H

#include <cstdint>
#include <string>
#include <vector>

#include "options.h"

namespace kivsubst_cli {

struct Target {
    std::string shown;  // as messages name it: the operand, or the walk's path
    std::string path;   // as the library is given it (library_path)
    std::int64_t size = 0;  // as the check found it, for batches and progress
};

// The targets, in the order given, each directory's files in sorted order.
// A directory that cannot be read is reported and counts as a failure (3).
std::vector<Target> collect_targets(const Options& options, int& failure);

// Whether every target exists, is a regular file, can be read (and, when
// `writing`, written) and is named only once, the same file under two names
// included. Prints one line for each that is not; nothing has been changed.
// Records each file's size as it found it.
bool check_targets(std::vector<Target>& targets, bool writing);

}  // namespace kivsubst_cli

#endif
