// SPDX-License-Identifier: Zlib
#include "run_record.h"

namespace kivcopy_cli {

void RunRecord::wrote(const TargetName& target) {
    written_.insert({target.folder->status().identity, target.name});
}

bool RunRecord::wrote_before(const TargetName& target) const {
    return written_.count({target.folder->status().identity, target.name}) != 0;
}

void RunRecord::copied(const kivcli::FileIdentity& source, const TargetName& target,
                       const kivcli::FileIdentity& made) {
    copies_.emplace(source, Copy{target, made});
}

const RunRecord::Copy* RunRecord::copy_of(const kivcli::FileIdentity& source) const {
    const auto found = copies_.find(source);
    return found != copies_.end() ? &found->second : nullptr;
}

}  // namespace kivcopy_cli
