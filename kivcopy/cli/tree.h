/* SPDX-License-Identifier: Zlib */
// -r: a directory tree copied file by file, each file through the library's
// copy steps, every directory of the copy made or entered relative to its
// parent and held while it is filled.
#ifndef KIVCOPY_CLI_TREE_H
#define KIVCOPY_CLI_TREE_H

#include <cstdint>
#include <memory>
#include <string>

#include "copier.h"
#include "options.h"

namespace kivcopy_cli {

// Copies the directory `source` (as the command line names it) to `name`
// in the held directory `into` (shown as `shown`): made, for its owner
// alone until it is filled and then with the source's mode less the umask,
// or merged into when it exists. Links are copied as links, never
// followed; other special files are skipped, each with a message. A
// directory is never copied into itself. False when anything failed.
bool copy_tree(Copier& copier, const Report& report, const Options& options,
               const std::string& source, const std::shared_ptr<Folder>& into,
               const std::string& name, const std::string& shown);

// The bytes of the regular files under `source`, for the progress line.
std::int64_t tree_bytes(const std::string& source);

}  // namespace kivcopy_cli

#endif
