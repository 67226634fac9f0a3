// SPDX-License-Identifier: Zlib
#include "copier.h"

#include "kivcli/output.h"
#include "kivcli/quote.h"
#include "kivcopy.h"
#include "paths.h"
#include "system.h"
#include "watch.h"

namespace kivcopy_cli {
namespace {

using kivcli::describe;
using kivcli::Links;
using kivcli::quoted;
using kivcopy::platform::Creation;
using kivcopy::platform::Replacing;
using kivcopy::platform::SourceOpening;

const char* meaning_of(int result) {
    switch (result) {
        case KIVCOPY_OK:
            return "copied";
        case KIVCOPY_SOURCE_NOT_OPENED:
            return "the source cannot be opened for reading";
        case KIVCOPY_TARGET_NOT_WRITTEN:
            return "the target cannot be opened, written or closed, or is the source itself";
        case KIVCOPY_SOURCE_NOT_READ:
            return "the source cannot be read";
        case KIVCOPY_TARGET_EXISTS:
            return "the target exists";
        case KIVCOPY_TIMES_NOT_SET:
            return "copied, but the target's times cannot be set";
        default:
            return "unknown result";
    }
}

// The caller's result for a copy status, as the library's export gives it.
int result_of(kivcopy::CopyStatus status) {
    switch (status) {
        case kivcopy::CopyStatus::copied:
            return KIVCOPY_OK;
        case kivcopy::CopyStatus::source_not_opened:
            return KIVCOPY_SOURCE_NOT_OPENED;
        default:
            return -static_cast<int>(status);
    }
}

// A new file made in a set-group-ID directory belongs to the directory's
// group: its group gets no more than everyone else of what the source's
// group had, so that the copy is never open to more people than the source.
unsigned without_widening_the_group(unsigned mode) {
    const unsigned others = mode & 07;
    return (mode & ~070u) | (mode & 070u & (others << 3));
}

// Another name in the target's directory, as messages show it.
std::string beside(const TargetName& target, const std::string& name) {
    const bool ends_in_name =
        target.shown.size() >= target.name.size() &&
        target.shown.compare(target.shown.size() - target.name.size(), target.name.size(),
                             target.name) == 0;
    return ends_in_name ? target.shown.substr(0, target.shown.size() - target.name.size()) + name
                        : target.folder->shown(name);
}

}  // namespace

// What the look at the target found and what was done to make way for the
// copy.
struct Copier::Checked {
    bool exists = false;        // something is at the target's name
    bool through_link = false;  // a link there that the caller trusts, written through
    bool regular = false;       // a regular file is there (through such a link)
    bool cleared = false;       // it was renamed to its backup or removed: copy anew
    std::string note;           // what -v adds to the copy's line
};

Copier::Copier(const Options& options, kivcli::Progress& progress)
    : options_(options), progress_(progress), backups_(options.backup) {}

bool Copier::fail(const std::string& message) {
    kivcli::complain(program_name, message);
    return false;
}

void Copier::tell(const std::string& line) const {
    if (options_.verbose) {
        kivcli::print(line + "\n");
    }
}

bool Copier::skip(const std::string& shown, const char* why) {
    tell("skipped " + quoted(shown) + " (" + why + ")");
    return true;
}

bool Copier::failed_with(int result, const SourceName& source, const TargetName& target,
                         int error) {
    return fail(quoted(source.shown) + " -> " + quoted(target.shown) + ": " +
                std::to_string(result) + ": " + meaning_of(result) +
                (error != 0 ? " (" + describe(error) + ")" : std::string()));
}

// A source found by the walk is what the walk saw (without following a
// link); one named on the command line is looked at through any link, and
// told in the system's words when it is no regular file. Either is opened
// only later, and only if it is still that file.
bool Copier::look_at_source(const SourceName& source, Status& status) {
    kivcli::SystemError error = 0;
    if (source.found != nullptr) {
        status = *source.found;
    } else if (!source.folder->status_of(source.name, Links::follow, status, error)) {
        return fail("cannot stat " + quoted(source.shown) + ": " + describe(error));
    }
    if (status.is_directory()) {
        return fail(quoted(source.shown) + " is a directory; only files are copied without -r");
    }
    if (!status.is_file()) {
        return fail(quoted(source.shown) + " is not a regular file; only files are copied");
    }
    return true;
}

bool Copier::copy(const SourceName& source, const TargetName& target) {
    Status source_status;
    if (!look_at_source(source, source_status) || !may_take(source, source_status)) {
        done_ += source_status.size;
        return false;
    }
    Checked checked;
    const Next next = check_target(source, source_status, target, checked);
    if (next != Next::copy) {
        done_ += source_status.size;
        return next == Next::skip;
    }
    const Next linked = link_to_earlier_copy(source, source_status, target, checked);
    if (linked != Next::copy) {
        done_ += source_status.size;
        return linked == Next::skip;
    }
    kivcopy::platform::Source opened;
    if (!open_source(source, source_status, opened) ||
        !clear_the_way(source, opened, target, checked)) {
        done_ += source_status.size;
        return false;
    }
    kivcopy::platform::File file;
    const Next made = open_target(source, target, checked, opened, file);
    if (made != Next::copy) {
        done_ += source_status.size;
        return made == Next::skip;
    }
    return write(source, target, checked, opened, file);
}

// A file found in a tree that has other names, and belongs to someone other
// than its directory's owner, is left alone when root copies: someone who
// may write in the directory could have linked a file there that is not
// theirs to hand out (where the system lets anyone link any file).
bool Copier::may_take(const SourceName& source, const Status& status) {
    if (!source.walked || options_.follow_hard_links || status.links < 2 ||
        !caller_is_privileged() || status.owner == source.folder->status().owner) {
        return true;
    }
    return fail("not copying " + quoted(source.shown) +
                ": it has other hard links and its owner does not own its directory "
                "(--follow-hard-links copies it)");
}

// Whether an existing target is replaced: with -u only when it is older
// than the source; else when replacing is asked for.
Copier::Next Copier::decide(const TargetName& target, const Status& existing,
                            const Status& source_status) {
    if (options_.update) {
        if (existing.is_file() && !(existing.modification < source_status.modification)) {
            return skip(target.shown, "not older") ? Next::skip : Next::failed;
        }
        return Next::copy;
    }
    if (!options_.replaces()) {
        return skip(target.shown, "exists") ? Next::skip : Next::failed;
    }
    return Next::copy;
}

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
        fail("cannot create " + quoted(target.shown) + ": " + describe(error));
        return Next::failed;
    }
    checked.exists = true;
    const bool moved_aside = options_.backup.enabled() || options_.remove_destination;
    bool resolves = true;
    if (found.is_link() && !target.folder->trusts_link(found)) {
        if (!options_.replaces()) {
            return skip(target.shown, "exists") ? Next::skip : Next::failed;
        }
        if (!moved_aside) {
            fail("will not write through symbolic link " + quoted(target.shown) +
                 ", which someone else could have put there");
            return Next::failed;
        }
        return Next::copy;  // the link itself is renamed or removed
    }
    if (found.is_link()) {
        checked.through_link = true;
        resolves = target.folder->status_of(target.name, Links::follow, found, error);
        if (!resolves && error != kivcli::not_found_error()) {
            // A link that loops or leads where the caller may not look is no
            // dangling link: the system says what it is.
            fail("cannot create " + quoted(target.shown) + ": " + describe(error));
            return Next::failed;
        }
    }
    checked.regular = resolves && found.is_file();
    if (resolves && found.identity == source_status.identity) {
        if (options_.update) {
            // The same file is as new as itself: -u has nothing to do.
            return skip(target.shown, "same file") ? Next::skip : Next::failed;
        }
        fail(quoted(source.shown) + " and " + quoted(target.shown) + " are the same file");
        return Next::failed;
    }
    if (written_before(target)) {
        fail("will not overwrite just-created " + quoted(target.shown) + " with " +
             quoted(source.shown));
        return Next::failed;
    }
    if (resolves && found.is_directory()) {
        fail("cannot overwrite directory " + quoted(target.shown) + " with non-directory " +
             quoted(source.shown));
        return Next::failed;
    }
    if (!resolves && options_.replaces() && !moved_aside) {
        fail("will not write through dangling symbolic link " + quoted(target.shown));
        return Next::failed;
    }
    return decide(target, resolves ? found : Status{}, source_status);
}

// Opens the source only if it is still the file looked at, through the
// directory it was found in.
bool Copier::open_source(const SourceName& source, const Status& status,
                         kivcopy::platform::Source& opened) {
    const kivcli::FileIdentity expected = status.identity;
    const PlaceIn place(*source.folder, source.name);
    int error = 0;
    switch (kivcopy::engine::open_source(place.place(),
                                         source.follow ? kivcopy::platform::Links::follow
                                                      : kivcopy::platform::Links::refuse,
                                         &expected, opened, error)) {
        case SourceOpening::opened:
            return true;
        case SourceOpening::absent:
            return fail("cannot stat " + quoted(source.shown) + ": " + describe(error));
        case SourceOpening::refused:
            return fail("cannot open " + quoted(source.shown) + " for reading: " +
                        describe(error));
        case SourceOpening::directory:
        case SourceOpening::not_regular:
        case SourceOpening::replaced:
            break;
    }
    return fail("cannot copy " + quoted(source.shown) + ": " +
                describe(kivcli::replaced_meanwhile));
}

// -b and --remove-destination take what is at the target's name away
// before the copy is made there anew: the entry itself, a link included.
// A backup replaces an earlier one only when that is a regular file.
bool Copier::clear_the_way(const SourceName& source, const kivcopy::platform::Source& opened,
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
        if (taken && slot.identity == opened.identity) {
            // Renaming the target over its backup would take the source's
            // only name: restoring from a backup must not destroy it.
            return fail("backing up " + quoted(target.shown) + " might destroy source; " +
                        quoted(source.shown) + " not copied");
        }
        if (taken && !slot.is_file()) {
            return fail("cannot back up " + quoted(target.shown) + ": the backup " +
                        quoted(shown) + " exists and is not a regular file");
        }
        if (!rename_entry(*target.folder, target.name, backup, error)) {
            return fail("cannot back up " + quoted(target.shown) + ": cannot rename it to " +
                        quoted(shown) + ": " + describe(error));
        }
        checked.note = " (backup: " + quoted(shown) + ")";
        checked.cleared = true;
    } else if (options_.remove_destination) {
        if (!remove_entry(*target.folder, target.name, error)) {
            return fail("cannot remove " + quoted(target.shown) + ": " + describe(error));
        }
        tell("removed " + quoted(target.shown));
        checked.cleared = true;
    }
    return true;
}

unsigned Copier::creation_mode(const TargetName& target,
                               const kivcopy::platform::Source& source) const {
    if (options_.preserve.mode || options_.preserve.ownership) {
        return source.permissions & 0700;  // the rest once owner and group are the source's
    }
    return target.folder->gives_group_other_than(source.group)
               ? without_widening_the_group(source.permissions)
               : source.permissions;
}

// An existing target is opened and cut to nothing; one that refuses to be
// opened for writing (a read-only file, a running program) is removed and
// made anew with -f, as cp -f does. A new target, or one taken away, is
// created exclusively: a name taken again meanwhile is never written into.
Copier::Next Copier::open_target(const SourceName& source, const TargetName& target,
                                 Checked& checked, kivcopy::platform::Source& opened,
                                 kivcopy::platform::File& file) {
    const auto failed = [](bool) { return Next::failed; };
    const PlaceIn place(*target.folder, target.name);
    int error = 0;
    if (checked.exists && !checked.cleared) {
        const kivcopy::platform::Links links = checked.through_link
                                                   ? kivcopy::platform::Links::follow
                                                   : kivcopy::platform::Links::refuse;
        switch (kivcopy::engine::open_existing_target(place.place(), links, opened, file, error)) {
            case Replacing::opened:
                return Next::copy;
            case Replacing::is_source:
                return failed(fail(quoted(source.shown) + " and " + quoted(target.shown) +
                                   " are the same file"));
            case Replacing::absent:
                break;  // gone since it was looked at: made anew
            case Replacing::refused:
                if (options_.clobber != Clobber::yes || !removal_gets_round(error) ||
                    checked.through_link) {
                    return failed(failed_with(KIVCOPY_TARGET_NOT_WRITTEN, source, target,
                                              checked.regular ? error : 0));
                }
                const std::string reason = describe(error);
                if (!remove_entry(*target.folder, target.name, error)) {
                    return failed(fail("cannot replace " + quoted(target.shown) + " (" + reason +
                                       "): cannot remove it: " + describe(error) +
                                       cannot_replace_advice()));
                }
                tell("removed " + quoted(target.shown));
                checked.cleared = true;
                break;
        }
    }
    switch (kivcopy::engine::create_target(place.place(), creation_mode(target, opened), file,
                                           error)) {
        case Creation::created:
            return Next::copy;
        case Creation::name_taken:
            if (!checked.cleared && !options_.replaces()) {
                return skip(target.shown, "exists") ? Next::skip : Next::failed;  // appeared meanwhile
            }
            return failed(fail("cannot create " + quoted(target.shown) + ": " + describe(error)));
        case Creation::failed:
            break;
    }
    return failed(failed_with(KIVCOPY_TARGET_NOT_WRITTEN, source, target, error));
}

// The data, the library's stamp, then what -p asks for, all through the
// copy's own handle, before it is closed: no one can swap another file in
// between, and the copy never shows another owner's set-ID bits.
bool Copier::write(const SourceName& source, const TargetName& target, const Checked& checked,
                   kivcopy::platform::Source& opened, kivcopy::platform::File& file) {
    CopyWatch watch(progress_, file.handle(), done_, opened.size);
    const kivcopy::engine::Written written =
        kivcopy::engine::write_copy(opened, file, options_.reflink);
    std::string reason;
    bool attributes = written.closed || !options_.preserve.any() ||
                      give_attributes(file.handle(), opened, options_.preserve, reason);
    if (!written.closed && !options_.preserve.timestamps && opened.access < opened.modification) {
        // The library stamps the copy with the source's last access; where
        // that is older than the source's last change, the copy would look
        // older than its source (to -u, make, rsync), and be copied again:
        // it gets the last change as its modification time instead.
        attributes = set_times(file.handle(), opened.access, opened.modification, reason);
    }
    watch.stop();
    const int result = result_of(kivcopy::engine::close_copy(written, file, opened));
    done_ += opened.size;
    progress_.update(done_);
    record_written(target);
    if (result == KIVCOPY_OK) {
        note_copy(opened.identity, target);
    }
    if (written.sharing_refused) {
        return fail("cannot share the blocks of " + quoted(source.shown) + " with " +
                    quoted(target.shown) + " (--reflink=always): " + describe(written.error));
    }
    if (result != KIVCOPY_OK) {
        return failed_with(result, source, target, written.error);
    }
    if (!attributes) {
        return fail("cannot keep the attributes of " + quoted(source.shown) + " on " +
                    quoted(target.shown) + ": " + reason);
    }
    tell(quoted(source.shown) + " -> " + quoted(target.shown) + checked.note);
    return true;
}

// -a and --preserve=links: a source with other names that was copied
// before in this run becomes, at a new target, another name of that copy,
// as the source is another name of the first. Skip means done.
Copier::Next Copier::link_to_earlier_copy(const SourceName& source, const Status& status,
                                          const TargetName& target, const Checked& checked) {
    if (!options_.preserve.links || status.links < 2 || checked.exists) {
        return Next::copy;
    }
    const auto earlier = copies_.find(status.identity);
    if (earlier == copies_.end()) {
        return Next::copy;
    }
    kivcli::SystemError error = 0;
    if (!make_hard_link(*earlier->second.first, earlier->second.second, *target.folder,
                        target.name, error)) {
        fail("cannot make " + quoted(target.shown) + " another name of the copy of " +
             quoted(source.shown) + ": " + describe(error));
        return Next::failed;
    }
    record_written(target);
    tell(quoted(source.shown) + " -> " + quoted(target.shown));
    return Next::skip;
}

void Copier::note_copy(const kivcli::FileIdentity& source, const TargetName& target) {
    if (options_.preserve.links) {
        copies_.emplace(source, std::make_pair(target.folder, target.name));
    }
}

bool Copier::copy_fifo(const SourceName& source, const TargetName& target, bool may_exist) {
    Status found;
    kivcli::SystemError error = 0;
    if (may_exist && target.folder->status_of(target.name, Links::refuse, found, error)) {
        return skip(target.shown, "exists");
    }
    const unsigned mode = options_.preserve.mode ? source.found->mode : source.found->mode & 0777;
    if (!make_fifo(*target.folder, target.name, mode, error)) {
        return fail("cannot create fifo " + quoted(target.shown) + ": " + describe(error));
    }
    std::string reason;
    if (options_.preserve.any() &&
        !give_link_attributes(*target.folder, target.name, *source.found, options_.preserve,
                              reason)) {
        return fail("cannot keep the attributes of " + quoted(source.shown) + " on " +
                    quoted(target.shown) + ": " + reason);
    }
    tell(quoted(source.shown) + " -> " + quoted(target.shown));
    return true;
}

void Copier::record_written(const TargetName& target) {
    written_.insert({target.folder->status().identity, target.name});
}

bool Copier::written_before(const TargetName& target) const {
    return written_.count({target.folder->status().identity, target.name}) != 0;
}

bool Copier::copy_symbolic_link(const SourceName& source, const TargetName& target,
                                bool may_exist) {
    Status found;
    kivcli::SystemError error = 0;
    if (may_exist && target.folder->status_of(target.name, Links::refuse, found, error)) {
        if (!options_.replaces() || options_.update) {
            return skip(target.shown, "exists");
        }
        if (found.is_directory() || !remove_entry(*target.folder, target.name, error)) {
            return fail("cannot replace " + quoted(target.shown) + " with a link" +
                        (found.is_directory() ? std::string() : ": " + describe(error)));
        }
    }
    std::string reason;
    if (!copy_link(*source.folder, source.name, *target.folder, target.name, reason)) {
        return fail("cannot copy the link " + quoted(source.shown) + " to " +
                    quoted(target.shown) + ": " + reason);
    }
    if (source.found != nullptr && options_.preserve.any() &&
        !give_link_attributes(*target.folder, target.name, *source.found, options_.preserve,
                              reason)) {
        return fail("cannot keep the attributes of " + quoted(source.shown) + " on " +
                    quoted(target.shown) + ": " + reason);
    }
    tell(quoted(source.shown) + " -> " + quoted(target.shown));
    return true;
}

}  // namespace kivcopy_cli
