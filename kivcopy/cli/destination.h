/* SPDX-License-Identifier: Zlib */
// Where a run's copies go: the destination the command line names, and
// the target of each source in it.
#ifndef KIVCOPY_CLI_DESTINATION_H
#define KIVCOPY_CLI_DESTINATION_H

#include <memory>
#include <string>

#include "options.h"
#include "places.h"

namespace kivcopy_cli {

// The destination, and whether each source goes into it under its own
// name (several sources, -t, an existing directory, or a name ending in a
// separator) or becomes it; in the first case the directory, held.
struct Destination {
    std::string path;
    bool into = false;
    std::shared_ptr<Folder> folder;
};

// Reads the destination from the operands (the last one, unless -t named
// it; the sources are what is left) and holds the directory the copies go
// into, made with -D. Returns the exit status for a wrong command line or
// a directory that cannot be made, or -1 to go on.
int find_destination(Options& options, Folder& here, Destination& destination);

// Where `source` is copied to. Its folder is null, with the failure told,
// when the directory of a single TARGET cannot be opened (or, with -D,
// made).
TargetName target_of(const Options& options, const Destination& destination,
                     const std::string& source);

}  // namespace kivcopy_cli

#endif
