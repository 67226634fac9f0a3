/* SPDX-License-Identifier: Zlib */
// Entries that a copy of a tree makes anew rather than fills with bytes:
// symbolic links and FIFOs. Whatever is done to such an entry after it is
// made (its owner, mode and times, the look at what it is) never goes
// through a name that someone else can change: where others may add,
// rename or remove names in the target's directory, the entry is made and
// finished in a directory of the caller's own inside it, then moved to its
// name, never over anything there.
#ifndef KIVCOPY_CLI_NEW_ENTRIES_H
#define KIVCOPY_CLI_NEW_ENTRIES_H

#include <string>

#include "kivcli/folder.h"
#include "options.h"

namespace kivcopy_cli {

using kivcli::FileIdentity;
using kivcli::Folder;
using kivcli::Status;

// What the new entry is to keep of its source (`status`, found without
// following a link), as `preserve` asks: owner and group (where the caller
// may), mode (a FIFO's) and both times.
struct Keeping {
    const Status& status;
    const Preserve& preserve;
};

// Makes `name` in `to` a symbolic link with the contents of the link
// `source` in `from`; `made` tells the new link's identity. False with the
// reason (also where the system has no links).
bool copy_link(Folder& from, const std::string& source, Folder& to, const std::string& name,
               const Keeping& keeping, FileIdentity& made, std::string& reason);

// Makes `name` in `to` a FIFO with the source's permission bits (less the
// umask, unless the mode is kept); `made` tells its identity. False with
// the reason.
bool make_fifo(Folder& to, const std::string& name, const Keeping& keeping, FileIdentity& made,
               std::string& reason);

}  // namespace kivcopy_cli

#endif
