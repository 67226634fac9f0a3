// SPDX-License-Identifier: Zlib
// What is at a target's name already, and how it makes way for the copy:
// left alone, written through, replaced, moved to its backup or removed.
#include "copier.h"

#include "kivcli/quote.h"
#include "system.h"

namespace kivcopy_cli {
namespace {

using kivcli::describe;
using kivcli::Links;
using kivcli::quoted;

// Another name in the target's directory, as messages show it.
std::string beside(const TargetName& target, const std::string& name) {
    const bool ends_in_name = target.shown.size() >= target.name.size() &&
                              target.shown.compare(target.shown.size() - target.name.size(),
                                                   target.name.size(), target.name) == 0;
    return ends_in_name ? target.shown.substr(0, target.shown.size() - target.name.size()) + name
                        : target.folder->shown(name);
}

}  // namespace

// Looks at the target's name in its directory, without following a link
// there: nothing there, or what is there and whether it may be replaced.
// A link is written through only when no one but the caller could have put
// it there; anyone else's link is moved aside or removed (-b,
// --remove-destination), never written through.
Copier::Next Copier::check_target(const SourceName& source, const Status& source_status,
                                  const TargetName& target, Checked& checked) {
    if (target.fresh) {
        return Next::copy;
    }
    Status found;
    kivcli::SystemError error = 0;
    if (!target.folder->status_of(target.name, Links::refuse, found, error)) {
        if (error == kivcli::not_found_error()) {
            return Next::copy;
        }
        return failed("cannot create " + quoted(target.shown) + ": " + describe(error));
    }
    checked.exists = true;
    checked.found = found.identity;
    const bool moved_aside = options_.backup.enabled() || options_.remove_destination;
    bool resolves = true;
    if (found.is_link() && !target.folder->trusts_link(found)) {
        if (!options_.replaces()) {
            return skipped(target.shown, "exists");
        }
        if (!moved_aside) {
            return failed("will not write through symbolic link " + quoted(target.shown) +
                          ", which someone else could have put there");
        }
        return Next::copy;  // the link itself is renamed or removed
    }
    if (found.is_link()) {
        checked.through_link = true;
        resolves = target.folder->status_of(target.name, Links::follow, found, error);
        if (!resolves && error != kivcli::not_found_error() && !moved_aside) {
            // A link that loops or leads where the caller may not look is no
            // dangling link: the system says what it is. Moved aside or
            // removed, the link itself goes, wherever it leads.
            return failed("cannot create " + quoted(target.shown) + ": " + describe(error));
        }
    }
    checked.regular = resolves && found.is_file();
    checked.read_only = checked.regular && found.read_only;
    if (resolves && found.identity == source_status.identity) {
        if (options_.update) {
            // The same file is as new as itself: -u has nothing to do.
            return skipped(target.shown, "same file");
        }
        return failed(quoted(source.shown) + " and " + quoted(target.shown) + " are the same file");
    }
    if (record_.wrote_before(target)) {
        return failed("will not overwrite just-created " + quoted(target.shown) + " with " +
                      quoted(source.shown));
    }
    if (resolves && found.is_directory()) {
        return failed("cannot overwrite directory " + quoted(target.shown) +
                      " with non-directory " + quoted(source.shown));
    }
    if (!resolves && options_.replaces() && !moved_aside) {
        return failed("will not write through dangling symbolic link " + quoted(target.shown));
    }
    if (becomes_name_of_earlier_copy(source, source_status, checked)) {
        return Next::copy;  // however new the target is: link_to_earlier_copy
    }
    const Next next = decide(target, resolves ? found : Status{}, source_status);
    if (next == Next::skip) {
        note_target_left_alone(source, source_status, target, found, checked);
    }
    return next == Next::copy && resolves ? never_written_into(source, found, target, checked)
                                          : next;
}

// A target about to be replaced that is not to be opened and written:
// a FIFO or a socket, which no copy goes into (opening a FIFO waits for a
// reader), and, where names of one file stay names of one copy, a file
// with other names, whose bytes are not this name's alone (cp -a leaves
// its other names as they were). Its name is taken away and the copy made
// anew, as --remove-destination does. Through the caller's own link, whose
// removal would leave what it leads to, a FIFO or socket is refused and a
// file written through, as any file there is.
Copier::Next Copier::never_written_into(const SourceName& source, const Status& found,
                                        const TargetName& target, Checked& checked) {
    const bool special = found.is_fifo() || found.is_socket();
    if (!special && !(options_.preserve.links && found.is_file() && found.links > 1)) {
        return Next::copy;
    }
    if (special && checked.through_link) {
        return failed("will not copy " + quoted(source.shown) + " into " +
                      (found.is_fifo() ? "the FIFO " : "the socket ") +
                      "that symbolic link " + quoted(target.shown) + " leads to");
    }
    checked.anew = !checked.through_link;
    return Next::copy;
}

// Whether an existing target is replaced: with -u only when it is older
// than the source; else when replacing is asked for.
Copier::Next Copier::decide(const TargetName& target, const Status& existing,
                            const Status& source_status) {
    if (options_.update) {
        if (existing.is_file() && !(existing.modification < source_status.modification)) {
            return skipped(target.shown, "not older");
        }
        return Next::copy;
    }
    if (!options_.replaces()) {
        return skipped(target.shown, "exists");
    }
    return Next::copy;
}

// -b and --remove-destination take what is at the target's name away
// before the copy is made there anew: the entry itself, a link included.
// A backup replaces an earlier one only when that is a regular file.
bool Copier::clear_the_way(const SourceName& source, const kivcli::FileIdentity& source_identity,
                           const TargetName& target, Checked& checked) {
    if (!checked.exists) {
        return true;
    }
    kivcli::SystemError error = 0;
    if (options_.backup.enabled()) {
        const std::string backup = backups_.backup_of(*target.folder, target.name);
        const std::string shown = beside(target, backup);
        Status slot;
        const bool taken = target.folder->status_of(backup, Links::refuse, slot, error);
        if (taken && slot.identity == source_identity) {
            // Renaming the target over its backup would take the source's
            // only name: restoring from a backup must not destroy it.
            return report_.fail("backing up " + quoted(target.shown) + " might destroy source; " +
                                quoted(source.shown) + " not copied");
        }
        if (taken && !slot.is_file()) {
            return report_.fail("cannot back up " + quoted(target.shown) + ": the backup " +
                                quoted(shown) + " exists and is not a regular file");
        }
        if (!rename_entry(*target.folder, target.name, backup, error)) {
            return report_.fail("cannot back up " + quoted(target.shown) +
                                ": cannot rename it to " + quoted(shown) + ": " + describe(error));
        }
        checked.note = " (backup: " + quoted(shown) + ")";
        checked.cleared = true;
    } else if (options_.remove_destination || checked.anew) {
        return remove_target(target, checked, "remove");
    }
    return true;
}

// An entry made anew (a link, a FIFO, another name of a copy) takes a name
// only where nothing is: what is there is moved to its backup, or removed.
bool Copier::take_away(const SourceName& source, const kivcli::FileIdentity& source_identity,
                       const TargetName& target, Checked& checked) {
    if (!clear_the_way(source, source_identity, target, checked)) {
        return false;
    }
    if (checked.exists && !checked.cleared) {
        return remove_target(target, checked, "replace");
    }
    return true;
}

// Takes away what is at the target's name and says so; a failure is told
// as "cannot ACTION TARGET", in the words of the step that asked for it.
bool Copier::remove_target(const TargetName& target, Checked& checked, const char* action) {
    kivcli::SystemError error = 0;
    if (!checked.removal.take(*target.folder, target.name, error)) {
        return report_.fail(std::string("cannot ") + action + " " + quoted(target.shown) + ": " +
                            describe(error));
    }
    if (checked.removal.removed()) {
        report_.tell("removed " + quoted(target.shown));
    }
    checked.cleared = true;
    return true;
}

// Once a new entry holds the target's name (`made`), what was set aside for
// it goes (Windows); else it goes back to its name as it was.
void Copier::settle_removal(Checked& checked, const TargetName& target, bool made) const {
    if (made) {
        if (checked.removal.finish()) {
            report_.tell("removed " + quoted(target.shown));
        }
    } else if (!checked.removal.put_back()) {
        report_.fail("cannot put back what was at " + quoted(target.shown) + ": it is kept as " +
                     quoted(target.folder->shown(checked.removal.aside())));
    }
}

}  // namespace kivcopy_cli
