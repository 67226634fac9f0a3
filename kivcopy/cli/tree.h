/* SPDX-License-Identifier: Zlib */
// -r: a directory tree copied file by file, each file through the library.
#ifndef KIVCOPY_CLI_TREE_H
#define KIVCOPY_CLI_TREE_H

#include <string>

#include "copier.h"
#include "options.h"

namespace kivcopy_cli {

// Copies the directory `source` to `target`, made (with the source's mode
// less the umask) or merged into when it exists. Links are copied as links,
// never followed; other special files are skipped, each with a message.
// A directory is never copied into itself. False when anything failed.
bool copy_tree(Copier& copier, const Options& options, const std::string& source,
               const std::string& target);

// The bytes of the regular files under `source`, for the progress line.
std::int64_t tree_bytes(const std::string& source);

}  // namespace kivcopy_cli

#endif
