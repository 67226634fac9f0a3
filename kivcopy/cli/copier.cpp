// SPDX-License-Identifier: Zlib
// A regular file's copy: look at the source, decide about the target, open
// both through the directories that hold them, then the library's copy
// steps and what -p asks for, through the copy's handle.
#include "copier.h"

#include "kivcli/quote.h"
#include "kivcopy.h"
#include "system.h"
#include "watch.h"

namespace kivcopy_cli {

using kivcli::describe;
using kivcli::Links;
using kivcli::quoted;
using kivcopy::platform::Creation;
using kivcopy::platform::Replacing;
using kivcopy::platform::SourceOpening;

Copier::Copier(const Options& options, kivcli::Progress& progress, const Report& report)
    : options_(options), progress_(progress), report_(report), backups_(options.backup) {}

Copier::Next Copier::skipped(const std::string& shown, const char* why) const {
    report_.skip(shown, why);
    return Next::skip;
}

Copier::Next Copier::failed(const std::string& message) const {
    report_.fail(message);
    return Next::failed;
}

bool Copier::copy(const SourceName& source, const TargetName& target) {
    if (transaction_ != nullptr) {
        return stage(source, target);
    }
    Status status;
    Checked checked;
    kivcopy::platform::Source opened;
    kivcopy::platform::File file;
    const Next next = prepare(source, target, status, checked, opened, file);
    if (next != Next::copy) {
        done_ += status.size;  // a file skipped or failed counts as done for the progress line
        return next == Next::skip;
    }
    return write(source, target, checked, opened, file);
}

// Everything before the data: the source looked at, the target's name
// decided about, the source opened as the file looked at, the way cleared
// and the target opened or made. Anything but copy ends the file's copy.
Copier::Next Copier::prepare(const SourceName& source, const TargetName& target, Status& status,
                             Checked& checked, kivcopy::platform::Source& opened,
                             kivcopy::platform::File& file) {
    if (!look_at_source(source, status) || !may_take(source, status)) {
        return Next::failed;
    }
    checked.keeps_names = keeps_names_of(source, status);
    Next next = check_target(source, status, target, checked);
    if (next == Next::copy) {
        next = link_to_earlier_copy(source, status, target, checked);
    }
    if (next != Next::copy) {
        return next;
    }
    if (!open_source(source, status, opened)) {
        return Next::failed;
    }
    if (options_.by_version) {
        next = decide_by_version(source, target, checked, opened);
        if (next != Next::copy) {
            return next;
        }
    }
    if (!clear_the_way(source, opened.identity, target, checked)) {
        return Next::failed;
    }
    return open_target(source, target, checked, opened, file);
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
        return report_.fail("cannot stat " + quoted(source.shown) + ": " + describe(error));
    }
    if (status.is_directory()) {
        return report_.fail(quoted(source.shown) +
                            " is a directory; only files are copied without -r");
    }
    if (!status.is_file()) {
        return report_.fail(quoted(source.shown) + " is not a regular file; only files are copied");
    }
    return true;
}

// A file found in a tree that has other names is left alone when root
// copies, unless its directory is its owner's alone: someone else who may
// add names there could have linked a file there that is not theirs to hand
// out (where the system lets anyone link any file).
bool Copier::may_take(const SourceName& source, const Status& status) {
    if (!source.walked || options_.follow_hard_links || status.links < 2 ||
        !caller_is_privileged() || source.folder->vouches_for_hard_link(status)) {
        return true;
    }
    return report_.fail("not copying " + quoted(source.shown) +
                        ": it has other hard links and its directory is not its owner's alone "
                        "(--follow-hard-links copies it)");
}

// Opens the source only if it is still the file looked at, through the
// directory it was found in.
bool Copier::open_source(const SourceName& source, const Status& status,
                         kivcopy::platform::Source& opened) {
    const PlaceIn place(*source.folder, source.name);
    int error = 0;
    switch (kivcopy::engine::open_source(
        place.place(),
        source.follow ? kivcopy::platform::Links::follow : kivcopy::platform::Links::refuse,
        &status.identity, opened, error)) {
        case SourceOpening::opened:
            return true;
        case SourceOpening::absent:
            return report_.fail("cannot stat " + quoted(source.shown) + ": " + describe(error));
        case SourceOpening::refused:
            return report_.fail("cannot open " + quoted(source.shown) +
                                " for reading: " + describe(error));
        case SourceOpening::directory:
        case SourceOpening::not_regular:
        case SourceOpening::replaced:
            break;
    }
    return report_.fail("cannot copy " + quoted(source.shown) + ": " +
                        describe(kivcli::replaced_meanwhile));
}

// A new copy gets the source's permission bits (less the umask); with -p's
// mode or owner it is made for its owner alone, and given the rest once its
// owner and group are the source's.
unsigned Copier::creation_mode(const TargetName& target,
                               const kivcopy::platform::Source& source) const {
    if (options_.preserve.mode || options_.preserve.ownership) {
        return source.permissions & 0700;
    }
    return plain_mode(target, source);
}

unsigned Copier::plain_mode(const TargetName& target,
                            const kivcopy::platform::Source& source) const {
    return target.folder->gives_group_other_than(source.group)
               ? without_widening_the_group(source.permissions)
               : source.permissions;
}

// An existing target is opened and cut to nothing; one that refuses to be
// opened for writing (a read-only file, a running program) is removed and
// made anew with -f, as cp -f does. A new target, or one taken away, is
// created exclusively: a name taken again meanwhile is never written into.
// What was taken away goes for good only once the new file holds the name
// (POSIX: at once, as cp removes it), else it is put back (Windows).
Copier::Next Copier::open_target(const SourceName& source, const TargetName& target,
                                 Checked& checked, kivcopy::platform::Source& opened,
                                 kivcopy::platform::File& file) {
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
                return failed(quoted(source.shown) + " and " + quoted(target.shown) +
                              " are the same file");
            case Replacing::absent:
                break;  // gone since it was looked at: made anew
            case Replacing::refused:
                if (options_.clobber != Clobber::yes || !removal_gets_round(error) ||
                    checked.through_link) {
                    report_.failed_with(KIVCOPY_TARGET_NOT_WRITTEN, source.shown, target.shown,
                                        checked.regular ? error : 0);
                    return Next::failed;
                }
                const std::string reason = describe(error);
                if (!checked.removal.take(*target.folder, target.name, error)) {
                    return failed("cannot replace " + quoted(target.shown) + " (" + reason +
                                  "): cannot remove it: " + describe(error) +
                                  cannot_replace_advice(checked.read_only));
                }
                if (checked.removal.removed()) {
                    report_.tell("removed " + quoted(target.shown));
                }
                checked.cleared = true;
                break;
        }
    }
    Next next = Next::failed;
    switch (
        kivcopy::engine::create_target(place.place(), creation_mode(target, opened), file, error)) {
        case Creation::created:
            checked.created = true;
            settle_removal(checked, target, true);
            return Next::copy;
        case Creation::name_taken:
            next = !checked.cleared && !options_.replaces()
                       ? skipped(target.shown, "exists")  // appeared meanwhile
                       : failed("cannot create " + quoted(target.shown) + ": " + describe(error));
            break;
        case Creation::failed:
            report_.failed_with(KIVCOPY_TARGET_NOT_WRITTEN, source.shown, target.shown, error);
            break;
    }
    settle_removal(checked, target, false);
    return next;
}

// The copy's times, set in one call as its data is finished. The library
// stamps a copy with the source's last access; where that is older than
// the source's last change, the copy would look older than its source (to
// -u, make, rsync) and be copied again: it gets the last change as its
// modification time instead, as --preserve=timestamps gives it anyway.
kivcommon::FileTimes Copier::stamp_for(const kivcopy::platform::Source& opened) const {
    if (options_.preserve.timestamps || opened.access < opened.modification) {
        return {opened.access, opened.modification};
    }
    return kivcopy::engine::access_stamp(opened);
}

// What -p asks for besides the times, through the copy's handle. A new copy
// that keeps its source's owner but not its mode was made for that owner
// alone: it gets the mode any copy gets once the owner is given.
bool Copier::give_kept_attributes(const Checked& checked, const TargetName& target,
                                  kivcopy::platform::Source& opened,
                                  kivcopy::platform::File& file, std::string& reason) const {
    const Preserve& preserve = options_.preserve;
    if (preserve.any() && !give_attributes(file.handle(), opened, preserve, reason)) {
        return false;
    }
    return !(checked.created && preserve.ownership && !preserve.mode) ||
           give_mode(file.handle(), plain_mode(target, opened), reason);
}

// The data and the stamp, then what -p asks for besides, all through the
// copy's own handle, before it is closed: no one can swap another file in
// between, and the copy never shows another owner's set-ID bits. Owner and
// mode leave the times as they are.
bool Copier::write(const SourceName& source, const TargetName& target, const Checked& checked,
                   kivcopy::platform::Source& opened, kivcopy::platform::File& file) {
    CopyWatch watch(progress_, file.handle(), done_, opened.size);
    const kivcopy::engine::Written written =
        kivcopy::engine::write_copy(opened, file, options_.reflink, stamp_for(opened));
    std::string reason;
    const bool attributes =
        written.closed || give_kept_attributes(checked, target, opened, file, reason);
    Status copy;
    kivcli::SystemError error = 0;
    const bool noted = checked.keeps_names && !written.closed &&
                       Folder::status_of(file.handle(), copy, error);
    watch.stop();
    const int result = kivcopy::result_of(
        kivcopy::engine::copy_result(kivcopy::engine::close_copy(written, file, opened)));
    done_ += opened.size;
    progress_.update(done_);
    record_.wrote(target);
    if (result == KIVCOPY_OK && noted) {
        record_.copied(opened.identity, target, copy.identity);
    }
    if (written.sharing_refused) {
        return report_.fail("cannot share the blocks of " + quoted(source.shown) + " with " +
                            quoted(target.shown) +
                            " (--reflink=always): " + describe(written.error));
    }
    if (result != KIVCOPY_OK) {
        return report_.failed_with(result, source.shown, target.shown, written.error);
    }
    if (!attributes) {
        return report_.fail("cannot keep the attributes of " + quoted(source.shown) + " on " +
                            quoted(target.shown) + ": " + reason);
    }
    report_.tell(quoted(source.shown) + " -> " + quoted(target.shown) + checked.note);
    return true;
}

}  // namespace kivcopy_cli
