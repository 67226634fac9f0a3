/* SPDX-License-Identifier: Zlib */
// The look at both files that an install which knows versions (or keeps a
// manifest) takes before it writes anything: are the bytes the same, what
// versions do the files carry, is the target what the product installed
// there last; and what the decision table (by_version.h) makes of it.
#ifndef KIVCOPY_INSTALL_DECISION_H
#define KIVCOPY_INSTALL_DECISION_H

#include <optional>
#include <vector>

#include "by_version.h"
#include "copy.h"
#include "install_flags.h"
#include "install_platform.h"
#include "pe_version.h"
#include "platform.h"
#include "sha256.h"

namespace kivcopy {

// What the look found and decided.
struct InstallDecision {
    Verdict verdict = Verdict::replace;
    const char* why = nullptr;  // the table row's words; null where nothing was decided
    std::optional<pe::FileVersion> incoming;   // the new file's version
    std::optional<pe::FileVersion> installed;  // the target's
    // The manifest's new record for the target, to be written before the
    // new file is staged; empty where the record stays as it is.
    std::vector<Digest> record;
};

// Looks at the source and at the regular file (or link) `target` at the
// folder's entry name, and decides by the table where `flags.by_version`;
// with a manifest, works out the record an install writes. The source is read
// from its start and left at it. Status copied, or why the look failed
// (source_not_read, target_not_written), with the system's error.
CopyStatus decide_install(platform::Source& source, platform::Directory& folder,
                          const platform::TargetStatus& target, const InstallFlags& flags,
                          InstallDecision& decision, int& error);

}  // namespace kivcopy

#endif
