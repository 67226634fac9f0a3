// SPDX-License-Identifier: Zlib
#include "batch.h"

#include <utility>

#include "kivsubst.h"

namespace kivsubst {

void Batch::add(FileAt file) {
    const std::size_t place = members_.size();
    members_.push_back({place, Substitution(std::move(file)), platform::File(), false});
}

void Batch::run(Scanners& scanners, BatchEvents& events) {
    if (!scan_all(scanners, events)) {
        members_.clear();  // stopped: the temporary files go with their substitutions
        return;
    }
    make_temporaries_durable(events);
    if (events.stop_asked()) {
        members_.clear();
        return;
    }
    drop_failed();
    const bool written_durable = write_all_back(events);
    remove_temporaries(events, written_durable);
}

// Reads every file into its temporary file, and gives the caller the
// chance to keep a companion copy of each (its backup). False if the
// caller asked for a stop meanwhile.
bool Batch::scan_all(Scanners& scanners, BatchEvents& events) {
    for (Member& member : members_) {
        if (events.stop_asked()) {
            return false;
        }
        const int failure = member.substitution.prepare(scanners);
        if (failure != 0 && member.substitution.failure().step == Failure::Step::stopped) {
            return false;
        }
        if (failure != 0) {
            events.not_scanned(member.file, member.substitution, failure);
            member.failed = true;
        } else if (!events.scanned(member.file, member.substitution, member.companion)) {
            member.failed = true;
        }
    }
    return true;
}

// The temporary files and companions, with the directories where they were
// made, all at once. If that fails, each file makes its own temporary file
// and companion durable, or fails alone.
void Batch::make_temporaries_durable(BatchEvents& events) {
    std::vector<platform::File*> files;
    for (Member& member : members_) {
        if (!member.failed) {
            files.push_back(&member.substitution.temporary());
            if (member.companion.is_open()) {
                files.push_back(&member.companion);
            }
        }
    }
    if (platform::make_durable(files, directories())) {
        return;
    }
    for (Member& member : members_) {
        if (member.failed) {
            continue;
        }
        int failure = member.substitution.make_temporary_durable();
        if (failure == 0 && member.companion.is_open() && !member.companion.sync()) {
            failure = member.substitution.companion_not_durable(platform::last_error());
        }
        if (failure != 0) {
            events.failed(member.file, member.substitution, failure);
            member.failed = true;
        }
    }
}

// The files that failed leave the batch; their temporary files go with
// their substitutions.
void Batch::drop_failed() {
    std::vector<Member> kept;
    for (Member& member : members_) {
        if (!member.failed) {
            kept.push_back(std::move(member));
        }
    }
    members_ = std::move(kept);
}

// Each file gets its times back right after its write-back, so that the one
// sync that makes its new content durable makes them durable too: a power
// cut never brings back a file with the time of its write-back. True if
// the files written are durable.
bool Batch::write_all_back(BatchEvents& events) {
    std::vector<platform::File*> written;
    for (Member& member : members_) {
        Substitution& substitution = member.substitution;
        const int failure = substitution.write_back(Durability::by_caller);
        if (failure != 0) {
            events.failed(member.file, substitution, failure);
            member.failed = true;
        } else {
            substitution.restore_times();
            written.push_back(&substitution.written());
        }
    }
    return platform::make_durable(written, directories());
}

// The temporary files go once their files are durable, and one more sync,
// of their directories alone, makes the deletions durable, so that a power
// cut brings back no stale temporary file. A single call, which would pay
// a sync of its own for it, leaves that undone. Until the files written
// back are durable, their temporary files are the only durable copy of the
// new content: where the batch's sync failed, each file is synced alone,
// and one that fails keeps its temporary file.
void Batch::remove_temporaries(BatchEvents& events, bool written_durable) {
    for (Member& member : members_) {
        Substitution& substitution = member.substitution;
        if (member.failed) {
            continue;
        }
        if (!written_durable) {
            if (const int failure = substitution.sync_written()) {
                events.failed(member.file, substitution, failure);
                continue;
            }
        }
        substitution.remove_temporary();
        events.patched(member.file, substitution);
    }
    platform::sync_directories(directories());
}

std::vector<platform::Directory*> Batch::directories() {
    std::vector<platform::Directory*> directories;
    for (Member& member : members_) {
        if (platform::Directory* directory = member.substitution.temporary_directory()) {
            directories.push_back(directory);
        }
    }
    return directories;
}

}  // namespace kivsubst
