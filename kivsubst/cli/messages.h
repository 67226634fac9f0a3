/* SPDX-License-Identifier: Zlib */
// What the front end says about a file that a step of the substitution
// failed on, and where the library's own lines go.
#ifndef KIVSUBST_CLI_MESSAGES_H
#define KIVSUBST_CLI_MESSAGES_H

#include <string>

#include "engine.h"
#include "targets.h"

namespace kivsubst_cli {

// What failed and why, naming the file, then the result in parentheses,
// and where the result is kept if its temporary file was kept.
std::string failure_message(const Target& target, const kivsubst::engine::Failure& failure,
                            int code);

// Has the library's own lines printed as the front end prints: names as
// messages show them, and on Windows to a console in UTF-16.
void print_library_lines_here();

}  // namespace kivsubst_cli

#endif
