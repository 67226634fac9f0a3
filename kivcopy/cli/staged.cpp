// SPDX-License-Identifier: Zlib
// A regular file staged as an install of --atomic's transaction: the source
// looked at and opened through the directory that holds it, as a copy
// opens it, and the target's folder lent to the transaction as the run
// holds it, so that no name a walk found is resolved from a path again.
// The target itself changes only at the commit.
#include "copier.h"

#include "kivcli/quote.h"
#include "kivcopy.h"
#include "kivtransaction.h"
#include "member_folder.h"
#include "transaction.h"

namespace kivcopy_cli {

using kivcli::describe;
using kivcli::Links;
using kivcli::quoted;

void Copier::stage_in(kivtransaction::Transaction& transaction, std::uint64_t volume) {
    transaction_ = &transaction;
    journal_volume_ = volume;
}

std::shared_ptr<Folder> Copier::make_directory(const std::shared_ptr<Folder>& parent,
                                               const std::string& name, unsigned mode,
                                               bool& existed, kivcli::SystemError& error) {
    existed = false;
    if (transaction_ == nullptr) {
        return Folder::make_below(parent, name, mode, existed, error);
    }
    std::shared_ptr<Folder> made;
    int failure = 0;
    const std::int32_t result = transaction_->make_folder(
        parent, kivtransaction::system_form(name), made, &failure, mode);
    existed = result == KIVTRANSACTION_FOLDER_EXISTS || result == KIVCOPY_TARGET_EXISTS;
    error = result == KIVCOPY_TARGET_EXISTS ? 0 : failure;
    return result == KIVTRANSACTION_OK || result == KIVTRANSACTION_FOLDER_EXISTS ? made : nullptr;
}

bool Copier::refuse_in_transaction(const SourceName& source, const char* what) const {
    return report_.fail("cannot copy " + quoted(source.shown) + " with --atomic: it is " + what +
                        ", and a transaction installs regular files only");
}

// A target that exists is left alone, as without --atomic, unless -f
// replaces it; the commit refuses the whole run where one appears after
// its file was staged without -f. A target staged earlier in the run is
// never staged again, as one written earlier is never replaced.
bool Copier::stage(const SourceName& source, const TargetName& target) {
    Status status;
    if (!look_at_source(source, status) || !may_take(source, status)) {
        return false;
    }
    if (record_.wrote_before(target)) {
        return report_.fail("will not overwrite just-created " + quoted(target.shown) + " with " +
                            quoted(source.shown));
    }
    const bool replaces = options_.clobber == Clobber::yes || options_.by_version;
    Status found;
    kivcli::SystemError error = 0;
    if (!target.fresh && target.folder->status_of(target.name, Links::refuse, found, error)) {
        if (found.identity == status.identity) {
            return report_.fail(quoted(source.shown) + " and " + quoted(target.shown) +
                                " are the same file");
        }
        if (!replaces) {
            done_ += status.size;
            return report_.skip(target.shown, "exists");
        }
        if (found.is_directory()) {
            return report_.fail("cannot overwrite directory " + quoted(target.shown) +
                                " with non-directory " + quoted(source.shown));
        }
    }
    if (target.folder->status().identity.volume != journal_volume_) {
        return report_.fail("cannot copy " + quoted(source.shown) + " with --atomic: " +
                            quoted(target.shown) + " is not on the journal folder's volume");
    }
    kivcopy::platform::Source opened;
    if (!open_source(source, status, opened)) {
        return false;
    }
    const std::shared_ptr<Folder> folder =
        Folder::lent_for(*target.folder, kivtransaction::system_form(target.name), error);
    if (folder == nullptr) {
        return report_.failed_with(KIVCOPY_TARGET_NOT_WRITTEN, source.shown, target.shown, error);
    }
    int staging = 0;
    kivcopy::InstallDecision decision;
    const std::int32_t flags = options_.by_version ? KIVINSTALL_BY_VERSION | KIVINSTALL_READ_ONLY
                               : replaces          ? KIVINSTALL_REPLACE | KIVINSTALL_READ_ONLY
                                                   : 0;
    const std::int32_t result = transaction_->install(opened, folder, flags, &staging, &decision);
    done_ += status.size;
    progress_.update(done_);
    if (decision.verdict != kivcopy::Verdict::replace && result > KIVINSTALL_RESTART_NEEDED) {
        tell_kept(target, decision);
        return true;
    }
    if (result != KIVCOPY_OK && result != KIVCOPY_TIMES_NOT_SET) {
        return report_.failed_with(result, source.shown, target.shown, staging);
    }
    record_.wrote(target);
    staged_lines_.push_back(quoted(source.shown) + " -> " + quoted(target.shown));
    return true;
}

}  // namespace kivcopy_cli
