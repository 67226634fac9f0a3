/* SPDX-License-Identifier: Zlib */
// --help: what kivsubst does, its options, examples and exit statuses.
#ifndef KIVSUBST_CLI_HELP_H
#define KIVSUBST_CLI_HELP_H

namespace kivsubst_cli {

void print_help();

}  // namespace kivsubst_cli

#endif
