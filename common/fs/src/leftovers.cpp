// SPDX-License-Identifier: Zlib
#include "kivfs/leftovers.h"

#include <optional>

#include "kivfs/hidden_names.h"
#include "leftovers_platform.h"

namespace kivfs {

// A target renamed aside ("was", "old") is no leftover of this kind: the
// install settles those itself (settle_asides), putting a target back at
// its name where it can.
void settle_leftovers(const FolderToSettle& folder) {
    leftovers::for_each_name(folder, [&](const Path& entry) {
        const std::optional<HiddenName> name = parse_hidden_name(entry);
        if (!name) {
            return;
        }
        if (name->is(private_directory_kind)) {
            leftovers::remove_private_directory(folder, entry);
        } else if (name->is(staged_kind) || name->is(numbered_kind)) {
            leftovers::remove_file(folder, entry, *name);
        }
    });
}

}  // namespace kivfs
