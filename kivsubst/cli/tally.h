/* SPDX-License-Identifier: Zlib */
// What the files of a run came to: the first failure, and whether any file
// had (or, without changes, would have) a replacement.
#ifndef KIVSUBST_CLI_TALLY_H
#define KIVSUBST_CLI_TALLY_H

#include <string>

#include "kivcli/output.h"

#include "kivsubst.h"

namespace kivsubst_cli {

struct Tally {
    int first_failure = 0;
    bool any_replaced = false;

    void fail(int result) {
        if (first_failure == 0) {
            first_failure = result;
        }
    }
    // A message of our own, naming what failed and why, then the failure.
    void fail(int result, const std::string& message) {
        kivcli::complain("kivsubst", message);
        fail(result);
    }
    int exit_status() const {
        if (first_failure != 0) {
            return first_failure;
        }
        return any_replaced ? KIVSUBST_REPLACED : KIVSUBST_NOT_FOUND;
    }
};

}  // namespace kivsubst_cli

#endif
