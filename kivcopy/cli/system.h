/* SPDX-License-Identifier: Zlib */
// What the front end does to files besides copying them, each system in a
// file of its own: removing and renaming targets, copying links, and giving
// a copy the source's mode, owner and times.
#ifndef KIVCOPY_CLI_SYSTEM_H
#define KIVCOPY_CLI_SYSTEM_H

#include <sys/stat.h>

#include <string>

#include "options.h"

namespace kivcopy_cli {

// Removes the file (or link) at `path`; false with the system's reason.
bool remove_target(const std::string& path, std::string& reason);

// Renames the existing target to `path`+`suffix`, replacing an earlier
// backup only when that is a regular file; false with the reason.
bool rename_to_backup(const std::string& path, const std::string& suffix, std::string& reason);

// Whether an existing target refuses to be opened for writing in a way
// that removing it and copying anew gets round: a read-only file, a running
// program (Linux lets neither be written, but both be replaced). `reason`
// gets the system's words.
bool refuses_writing(const std::string& path, std::string& reason);

// What to tell when a target that refuses writing cannot be removed either
// (Windows: a running program, whose file is locked until it ends).
std::string cannot_replace_advice();

// Makes `target` a symbolic link with the same contents as the link at
// `source`; false with the reason (also where the system has no links).
bool copy_link(const std::string& source, const std::string& target, std::string& reason);

// Gives what is at `target` (not through a link at its name) what -p asks
// for of the source's `status`: owner and group (where the caller may set
// them), then the mode, then the access and modification times. False with
// the reason when the mode or times could not be set.
bool preserve_attributes(const std::string& target, const struct stat& status,
                         const Preserve& preserve, std::string& reason);

// The process's umask.
unsigned umask_value();

// The modification time of a status, for -u, to the nanosecond where the
// system keeps it.
bool older_than(const struct stat& target, const struct stat& source);

}  // namespace kivcopy_cli

#endif
