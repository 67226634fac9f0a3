// SPDX-License-Identifier: Zlib
// --by-version: before a file is copied, the library's decision by bytes,
// file versions and the manifest, through the target's folder as the run
// holds it; a kept target is told with its reason, and the manifest's
// record is written before the copy.
#include "copier.h"

#include "kivcli/quote.h"
#include "transaction.h"

namespace kivcopy_cli {

using kivcli::describe;
using kivcli::quoted;

void Copier::tell_kept(const TargetName& target, const kivcopy::InstallDecision& decision) const {
    report_.tell("kept " + quoted(target.shown) + ": " +
                 kivcopy::reason_kept(decision.verdict, decision.incoming, decision.installed));
}

// The target as the decision takes it: nothing there, a regular file read
// through its folder, or a link whose bytes are not read.
Copier::Next Copier::decide_by_version(const SourceName& source, const TargetName& target,
                                       const Checked& checked,
                                       kivcopy::platform::Source& opened) {
    if (!options_.manifest_folder.empty() && manifest_ == nullptr) {
        int error = 0;
        manifest_ = kivcopy::Manifest::open(
            kivtransaction::system_form(options_.manifest_folder).c_str(), error);
        if (manifest_ == nullptr) {
            return failed("cannot open the manifest folder " +
                          quoted(options_.manifest_folder) + ": " + describe(error));
        }
    }
    kivcli::SystemError error = 0;
    const std::shared_ptr<Folder> folder =
        Folder::lent_for(*target.folder, kivtransaction::system_form(target.name), error);
    if (folder == nullptr) {
        return failed("cannot open " + quoted(target.shown) + ": " + describe(error));
    }
    using Kind = kivcopy::platform::TargetStatus::Kind;
    kivcopy::platform::TargetStatus found;
    found.kind = !checked.exists                                ? Kind::absent
                 : checked.regular && !checked.through_link ? Kind::regular
                                                             : Kind::link;
    found.identity = checked.found;
    kivcopy::InstallFlags flags;
    flags.by_version = true;
    flags.manifest = manifest_.get();
    kivcopy::InstallDecision decision;
    int failure = 0;
    const kivcopy::CopyStatus looked =
        kivcopy::decide_install(opened, *folder, found, flags, decision, failure);
    if (looked != kivcopy::CopyStatus::copied) {
        return failed("cannot compare " + quoted(source.shown) + " with " + quoted(target.shown) +
                      ": " + describe(failure));
    }
    if (decision.verdict != kivcopy::Verdict::replace) {
        tell_kept(target, decision);
        return Next::skip;
    }
    if (!decision.record.empty() && !manifest_->record(*folder, decision.record, failure)) {
        return failed("cannot record " + quoted(target.shown) + " in the manifest: " +
                      describe(failure));
    }
    return Next::copy;
}

}  // namespace kivcopy_cli
