/* SPDX-License-Identifier: Zlib */
// Where a copy comes from and where it goes: names in directories that the
// command line or the walk holds open.
#ifndef KIVCOPY_CLI_PLACES_H
#define KIVCOPY_CLI_PLACES_H

#include <memory>
#include <string>

#include "kivcli/folder.h"

namespace kivcopy_cli {

using kivcli::Folder;
using kivcli::Status;

// A file to copy: a name in a held directory.
struct SourceName {
    Folder* folder;
    std::string name;
    std::string shown;    // as messages name it
    bool follow = false;  // a link at the name is followed (-L, or a name given, without -P)
    const Status* found = nullptr;  // what was found at the name, if it was looked at
    bool walked = false;            // found by a walk of a tree (not named)
};

// Where a copy goes: a name in a held directory.
struct TargetName {
    std::shared_ptr<Folder> folder;
    std::string name;
    std::string shown;
    // Made by this run for the owner alone: nothing can be at the name yet,
    // so it is not looked at before the copy is made there (exclusively).
    bool fresh = false;
};

// A new file or directory made in a set-group-ID directory belongs to the
// directory's group: its group gets no more than everyone else of what the
// source's group had, so that the copy is never open to more people than
// the source.
inline unsigned without_widening_the_group(unsigned mode) {
    const unsigned others = mode & 07;
    return (mode & ~070u) | (mode & 070u & (others << 3));
}

}  // namespace kivcopy_cli

#endif
