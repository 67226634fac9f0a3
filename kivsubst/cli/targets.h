/* SPDX-License-Identifier: Zlib */
// The files a run works on: the FILE operands, and with -r the regular
// files under those that are directories, each a name in a directory held
// by handle; and the checks that every one of them passes before any is
// changed, which record the very file that every later step must find.
#ifndef KIVSUBST_CLI_TARGETS_H
#define KIVSUBST_CLI_TARGETS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kivcli/folder.h"
#include "options.h"

namespace kivsubst_cli {

struct Target {
    std::string shown;  // as messages name it: the operand, or the walk's path
    std::shared_ptr<kivcli::Folder> folder;  // the directory it is in (null: see `problem`)
    std::string name;                        // its name there
    bool named = false;  // named on the command line: a link at the name is followed
    kivcli::SystemError problem = 0;  // why its directory could not be opened
    kivcli::FileIdentity identity;        // the file the check found
    std::int64_t size = 0;            // its size then, for batches and progress
};

// The targets, in the order given, each directory's files in sorted order.
// A directory that cannot be read, and a file that -r leaves alone for
// safety, are reported and count as a failure (3). Under -r, links are not
// followed: a link to a file is no target (told with -v).
std::vector<Target> collect_targets(const Options& options, int& failure);

// Whether every target exists, is a regular file, can be read (and, when
// `writing`, written) and is named only once, the same file under two names
// included. Prints one line for each that is not; nothing has been changed.
// Records each file's identity and size as it found them.
bool check_targets(std::vector<Target>& targets, bool writing);

// Closes the directory of `target`, and those above it, until they are
// needed again.
void release_folders(const Target& target);
// The same once the walk over `targets` is past the `done`th, unless the
// next target is in the same directory: a run holds only the directories
// of the files it is at.
void release_after(const std::vector<Target>& targets, std::size_t done);

}  // namespace kivsubst_cli

#endif
