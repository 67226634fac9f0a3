// SPDX-License-Identifier: Zlib
#include "kivfs/leftovers.h"

#include <optional>

#include "kivfs/hidden_names.h"
#include "leftovers_platform.h"

namespace kivfs {

// A target renamed aside whose NAME was cut cannot tell its target's
// whole name: it stays where it is, neither put back at a name it may not
// belong to nor removed, as it may be the only copy of the old file.
void settle_leftovers(const FolderToSettle& folder) {
    leftovers::for_each_name(folder, [&](const Path& entry) {
        const std::optional<HiddenName> name = parse_hidden_name(entry);
        if (!name) {
            return;
        }
        if (name->is(set_aside_kind)) {
            if (!name->target_is_cut()) {
                leftovers::put_back(folder, entry, name->target);
            }
        } else if (name->is(private_directory_kind)) {
            leftovers::remove_private_directory(folder, entry);
        } else {
            leftovers::remove_file(folder, entry, *name);
        }
    });
}

}  // namespace kivfs
