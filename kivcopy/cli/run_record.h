/* SPDX-License-Identifier: Zlib */
// What this run has made: the targets it wrote, which a later source of the
// same run never replaces (two sources of one name would otherwise leave
// only the last), whatever was made there (a file, a link, a FIFO, another
// name), and, with --preserve=links, the first copy of each source that has
// other names, which its later names become names of.
#ifndef KIVCOPY_CLI_RUN_RECORD_H
#define KIVCOPY_CLI_RUN_RECORD_H

#include <map>
#include <set>
#include <string>
#include <utility>

#include "places.h"

namespace kivcopy_cli {

class RunRecord {
public:
    void wrote(const TargetName& target);
    bool wrote_before(const TargetName& target) const;

    // A copy made by this run: where it was made, and which file it is.
    struct Copy {
        TargetName target;
        kivcli::FileIdentity identity;
    };
    // The copy of the file `source` was made at `target` and is `made`.
    void copied(const kivcli::FileIdentity& source, const TargetName& target,
                const kivcli::FileIdentity& made);
    // The copy this run made of the file `source`; null when it made none
    // (or nothing was noted).
    const Copy* copy_of(const kivcli::FileIdentity& source) const;

private:
    // By the identity of the target's directory, and the name in it.
    std::set<std::pair<kivcli::FileIdentity, std::string>> written_;
    std::map<kivcli::FileIdentity, Copy> copies_;
};

}  // namespace kivcopy_cli

#endif
