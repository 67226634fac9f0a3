// SPDX-License-Identifier: Zlib
// Entries that are not copied byte by byte: another name of a file this
// run has copied already, and, found in a tree, symbolic links and FIFOs,
// made anew at the target. Nothing made here is reached again through a
// name that someone else can change: a second name is made for the copy
// itself, through a handle of it, and a link or FIFO is given its owner and
// times where only the caller can rename it (new_entries.h).
#include "copier.h"

#include "kivcli/quote.h"
#include "new_entries.h"
#include "system.h"

namespace kivcopy_cli {

using kivcli::describe;
using kivcli::Links;
using kivcli::quoted;

// -a and --preserve=links: the copy of a source with other names is noted,
// so that its later names become names of that copy, as cp keeps them. A
// file reached through a link (-H, -L) may be reached again by its own name
// or another link, whatever its count of names.
bool Copier::keeps_names_of(const SourceName& source, const Status& status) const {
    return options_.preserve.links && (status.links >= 2 || source.follow);
}

void Copier::note_copy(const SourceName& source, const Status& status, const TargetName& target,
                       const kivcli::FileIdentity& made) {
    record_.wrote(target);
    if (keeps_names_of(source, status)) {
        record_.copied(status.identity, target, made);
    }
}

// -u with names kept (-a -u over an earlier copy): a later name of a
// source whose copy this run made or left alone becomes another name of
// that copy, even where -u would leave its target alone as not older, so
// that names of one file in the source stay names of one file here. A
// target that is that copy already is left to -u.
bool Copier::becomes_name_of_earlier_copy(const SourceName& source, const Status& status,
                                          const Checked& checked) const {
    if (!options_.update || !keeps_names_of(source, status)) {
        return false;
    }
    const RunRecord::Copy* earlier = record_.copy_of(status.identity);
    return earlier != nullptr && !(checked.exists && checked.found == earlier->identity);
}

// A target that -u leaves alone as not older stands for its source's copy,
// for the source's later names to become names of. Only an entry at the
// name itself, of the source's kind (a file, a FIFO, a link), that no one
// else could have given that name is taken: the source's owner's (as -a
// makes a copy), and its only name or in a directory that vouches for its
// other names; else each later name gets a copy of its own.
void Copier::note_target_left_alone(const SourceName& source, const Status& status,
                                    const TargetName& target, const Status& found,
                                    const Checked& checked) {
    if (!options_.update || !keeps_names_of(source, status) || checked.through_link ||
        found.type != status.type || record_.copy_of(status.identity) != nullptr ||
        found.owner != status.owner ||
        !(found.links == 1 || target.folder->vouches_for_hard_link(found))) {
        return;
    }
    record_.copied(status.identity, target, found.identity);
}

// A source whose copy this run made before becomes, at its target, another
// name of that copy. A target that is that copy already (an install run
// again over its own tree) is done; anything else there is moved to its
// backup or removed first, as the options allow. Skip means done.
Copier::Next Copier::link_to_earlier_copy(const SourceName& source, const Status& status,
                                          const TargetName& target, Checked& checked) {
    const RunRecord::Copy* earlier =
        keeps_names_of(source, status) ? record_.copy_of(status.identity) : nullptr;
    if (earlier == nullptr) {
        return Next::copy;
    }
    const bool done_before = checked.exists && checked.found == earlier->identity;
    kivcli::SystemError error = 0;
    if (!done_before && !take_away(source, status.identity, target, checked)) {
        return Next::failed;
    }
    if (!done_before) {
        const bool linked = make_hard_link(*earlier->target.folder, earlier->target.name,
                                           earlier->identity, *target.folder, target.name, error);
        settle_removal(checked, target, linked);
        if (!linked) {
            return failed("cannot make " + quoted(target.shown) + " another name of the copy of " +
                          quoted(source.shown) + ": " + describe(error));
        }
    }
    record_.wrote(target);
    report_.tell(quoted(source.shown) + " -> " + quoted(target.shown) + checked.note);
    return Next::skip;
}

// What is at the name of a link or FIFO to be made: nothing, or what may be
// replaced (-f, -b, --remove-destination, or -u when older), which is then
// moved to its backup or removed. Never a directory, nor what this run
// wrote.
Copier::Next Copier::make_way_for_entry(const SourceName& source, const TargetName& target,
                                        bool may_exist, Checked& checked) {
    Status found;
    kivcli::SystemError error = 0;
    if (!may_exist || target.fresh ||
        !target.folder->status_of(target.name, Links::refuse, found, error)) {
        return Next::copy;
    }
    checked.exists = true;
    checked.found = found.identity;
    if (record_.wrote_before(target)) {
        return failed("will not overwrite just-created " + quoted(target.shown) + " with " +
                      quoted(source.shown));
    }
    if (!options_.replaces()) {
        return skipped(target.shown, "exists");
    }
    if (options_.update && !(found.modification < source.found->modification) &&
        !becomes_name_of_earlier_copy(source, *source.found, checked)) {
        note_target_left_alone(source, *source.found, target, found, checked);
        return skipped(target.shown, "not older");
    }
    if (found.is_directory()) {
        return failed("cannot overwrite directory " + quoted(target.shown) + " with non-directory " +
                      quoted(source.shown));
    }
    if (found.identity == source.found->identity) {
        return failed(quoted(source.shown) + " and " + quoted(target.shown) + " are the same file");
    }
    return Next::copy;
}

bool Copier::make_anew(Anew kind, const SourceName& source, const TargetName& target,
                       bool may_exist) {
    const Status& status = *source.found;
    Checked checked;
    Next next = make_way_for_entry(source, target, may_exist, checked);
    if (next == Next::copy) {
        next = link_to_earlier_copy(source, status, target, checked);
    }
    if (next != Next::copy) {
        return next == Next::skip;
    }
    if (!take_away(source, status.identity, target, checked)) {
        return false;
    }
    const Keeping keeping{status, options_.preserve};
    kivcli::FileIdentity made;
    std::string reason;
    const bool link = kind == Anew::link;
    const bool done = link ? copy_link(*source.folder, source.name, *target.folder, target.name,
                                       keeping, made, reason)
                           : make_fifo(*target.folder, target.name, keeping, made, reason);
    settle_removal(checked, target, done);
    if (!done) {
        return report_.fail((link ? "cannot copy the link " + quoted(source.shown) + " to "
                                  : "cannot create fifo ") +
                            quoted(target.shown) + ": " + reason);
    }
    note_copy(source, status, target, made);
    report_.tell(quoted(source.shown) + " -> " + quoted(target.shown) + checked.note);
    return true;
}

bool Copier::copy_symbolic_link(const SourceName& source, const TargetName& target,
                                bool may_exist) {
    if (transaction_ != nullptr) {
        return refuse_in_transaction(source, "a symbolic link");
    }
    return make_anew(Anew::link, source, target, may_exist);
}

bool Copier::copy_fifo(const SourceName& source, const TargetName& target, bool may_exist) {
    if (transaction_ != nullptr) {
        return refuse_in_transaction(source, "a FIFO");
    }
    return make_anew(Anew::fifo, source, target, may_exist);
}

}  // namespace kivcopy_cli
