/* SPDX-License-Identifier: Zlib */
// --help: what kivcopy does, its options, examples and exit statuses.
#ifndef KIVCOPY_CLI_HELP_H
#define KIVCOPY_CLI_HELP_H

namespace kivcopy_cli {

void print_help();

}  // namespace kivcopy_cli

#endif
