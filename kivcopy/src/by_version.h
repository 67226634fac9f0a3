/* SPDX-License-Identifier: Zlib */
// How an install that knows versions decides whether the new file takes
// the target's place: by the files' bytes, their file versions and what
// the product installed there last, never by their times. The whole rule
// is one table, read from its first row down; the first row that fits
// decides, and says why in words a log can show.
#ifndef KIVCOPY_BY_VERSION_H
#define KIVCOPY_BY_VERSION_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "pe_version.h"

namespace kivcopy {

// What the decision says: the new file goes in (replace), or the target
// stays, with the caller's result for why.
enum class Verdict : std::int32_t {
    replace = 0,
    already_current = 2,    // the target holds the same bytes already
    kept_newer = 3,         // the target's version is higher, or the new file has none
    kept_same_version = 4,  // the same version, other bytes, and the target is not ours
    kept_changed = 5,       // unversioned, and the target is not what we installed last
};

// How the two files' versions stand to each other.
enum class Versions {
    newer,        // both versioned, the new file's higher
    older,        // both versioned, the new file's lower
    same,         // both versioned, equal
    only_new,     // the new file alone has one
    only_target,  // the target alone has one
    neither,
};

// Whether the target is what this product installed there last, by the
// manifest: its bytes hash to what was recorded (ours), to something else
// (not_ours), or there is no manifest to ask.
enum class Ownership { ours, not_ours, no_manifest };

// One row of the table: what it asks of the files (an unset field takes
// any value), and what it decides.
struct DecisionRow {
    std::optional<bool> identical;  // the same bytes on both sides
    std::optional<Versions> versions;
    std::optional<Ownership> ownership;
    std::optional<bool> allow_downgrade;       // KIVINSTALL_ALLOW_DOWNGRADE given
    std::optional<bool> replace_same_version;  // KIVINSTALL_REPLACE_SAME_VERSION given
    Verdict verdict;
    const char* why;
};

// What a decision looks at.
struct DecisionInput {
    bool identical = false;
    Versions versions = Versions::neither;
    Ownership ownership = Ownership::no_manifest;
    bool allow_downgrade = false;
    bool replace_same_version = false;
};

extern const std::array<DecisionRow, 13> decision_table;

// The first row of decision_table that fits `input`; every input fits one.
const DecisionRow& decide(const DecisionInput& input);

// How two versions stand, either of which may be missing.
Versions compare_versions(const std::optional<pe::FileVersion>& incoming,
                          const std::optional<pe::FileVersion>& installed);

// A version as people write it: "2.1.0.0".
std::string version_text(const pe::FileVersion& version);

// Why a target was kept, for a log: "2.1.0.0 installed is newer than
// 2.0.0.0", "the same bytes are installed"; the versions as found.
std::string reason_kept(Verdict verdict, const std::optional<pe::FileVersion>& incoming,
                        const std::optional<pe::FileVersion>& installed);

// The table as the README shows it: a Markdown table, one line per row.
std::string decision_table_markdown();

}  // namespace kivcopy

#endif
