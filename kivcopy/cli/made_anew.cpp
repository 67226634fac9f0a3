// SPDX-License-Identifier: Zlib
// Entries that are not copied byte by byte: another name of a file this
// run has copied already, and, found in a tree, symbolic links and FIFOs,
// made anew at the target.
#include "copier.h"

#include "kivcli/quote.h"
#include "system.h"

namespace kivcopy_cli {

using kivcli::describe;
using kivcli::Links;
using kivcli::quoted;

// -a and --preserve=links: a source with other names that was copied
// before in this run becomes, at a new target, another name of that copy,
// as the source is another name of the first. Skip means done.
Copier::Next Copier::link_to_earlier_copy(const SourceName& source, const Status& status,
                                          const TargetName& target, const Checked& checked) {
    if (!options_.preserve.links || status.links < 2 || checked.exists) {
        return Next::copy;
    }
    const TargetName* earlier = record_.copy_of(status.identity);
    if (earlier == nullptr) {
        return Next::copy;
    }
    kivcli::SystemError error = 0;
    if (!make_hard_link(*earlier->folder, earlier->name, *target.folder, target.name, error)) {
        return failed("cannot make " + quoted(target.shown) + " another name of the copy of " +
                      quoted(source.shown) + ": " + describe(error));
    }
    record_.wrote(target);
    report_.tell(quoted(source.shown) + " -> " + quoted(target.shown));
    return Next::skip;
}

bool Copier::copy_symbolic_link(const SourceName& source, const TargetName& target,
                                bool may_exist) {
    Status found;
    kivcli::SystemError error = 0;
    if (may_exist && target.folder->status_of(target.name, Links::refuse, found, error)) {
        if (!options_.replaces() || options_.update) {
            return report_.skip(target.shown, "exists");
        }
        if (found.is_directory() || !remove_entry(*target.folder, target.name, error)) {
            return report_.fail("cannot replace " + quoted(target.shown) + " with a link" +
                                (found.is_directory() ? std::string() : ": " + describe(error)));
        }
    }
    std::string reason;
    if (!copy_link(*source.folder, source.name, *target.folder, target.name, reason)) {
        return report_.fail("cannot copy the link " + quoted(source.shown) + " to " +
                            quoted(target.shown) + ": " + reason);
    }
    if (source.found != nullptr && options_.preserve.any() &&
        !give_link_attributes(*target.folder, target.name, *source.found, options_.preserve,
                              reason)) {
        return report_.fail("cannot keep the attributes of " + quoted(source.shown) + " on " +
                            quoted(target.shown) + ": " + reason);
    }
    report_.tell(quoted(source.shown) + " -> " + quoted(target.shown));
    return true;
}

bool Copier::copy_fifo(const SourceName& source, const TargetName& target, bool may_exist) {
    Status found;
    kivcli::SystemError error = 0;
    if (may_exist && target.folder->status_of(target.name, Links::refuse, found, error)) {
        return report_.skip(target.shown, "exists");
    }
    const unsigned mode = options_.preserve.mode ? source.found->mode : source.found->mode & 0777;
    if (!make_fifo(*target.folder, target.name, mode, error)) {
        return report_.fail("cannot create fifo " + quoted(target.shown) + ": " + describe(error));
    }
    std::string reason;
    if (options_.preserve.any() && !give_link_attributes(*target.folder, target.name, *source.found,
                                                         options_.preserve, reason)) {
        return report_.fail("cannot keep the attributes of " + quoted(source.shown) + " on " +
                            quoted(target.shown) + ": " + reason);
    }
    report_.tell(quoted(source.shown) + " -> " + quoted(target.shown));
    return true;
}

}  // namespace kivcopy_cli
