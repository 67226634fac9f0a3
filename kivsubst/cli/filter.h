/* SPDX-License-Identifier: Zlib */
// FILE - : standard input patched to standard output, as a filter, alone
// on the command line.
#ifndef KIVSUBST_CLI_FILTER_H
#define KIVSUBST_CLI_FILTER_H

#include "options.h"

namespace kivsubst_cli {

// Whether the command line names standard input ("-") as a FILE.
bool names_standard_input(const Options& options);

// Runs the filter: the exit status, or the usage error when "-" is not the
// only FILE or comes with an option that needs a file.
int filter(const Options& options);

}  // namespace kivsubst_cli

#endif
