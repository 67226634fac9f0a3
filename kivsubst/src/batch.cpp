// SPDX-License-Identifier: Zlib
#include "batch.h"

#include <utility>

#include "kivsubst.h"

namespace kivsubst {

void Batch::add(FileAt file) {
    const std::size_t place = members_.size();
    members_.push_back({place, Substitution(std::move(file)), platform::File()});
}

namespace {

// A member's scan: with one scanner for all, or with the one for its text's
// encoding.
int prepare_with(Substitution& substitution, Scanner& scanner) {
    return substitution.prepare({}, &scanner);
}

int prepare_with(Substitution& substitution, TextScanners& text) {
    return substitution.prepare(text);
}

}  // namespace

void Batch::run(Scanner& scanner, BatchEvents& events) {
    run_with(scanner, events);
}

void Batch::run(TextScanners& text, BatchEvents& events) {
    run_with(text, events);
}

template <typename Scanners>
void Batch::run_with(Scanners& scanners, BatchEvents& events) {
    std::vector<bool> failed(members_.size(), false);
    if (!scan_all(scanners, events, failed)) {
        members_.clear();  // stopped: the temporary files go with their substitutions
        return;
    }
    make_temporaries_durable(events, failed);
    if (events.stop_asked()) {
        members_.clear();
        return;
    }
    drop(failed);
    failed.assign(members_.size(), false);
    const bool written_durable = write_all_back(events, failed);
    remove_temporaries(events, failed, written_durable);
}

// Reads every file into its temporary file, and gives the caller the
// chance to keep a companion copy of each (its backup). False if the
// caller asked for a stop meanwhile.
template <typename Scanners>
bool Batch::scan_all(Scanners& scanners, BatchEvents& events, std::vector<bool>& failed) {
    for (std::size_t i = 0; i < members_.size(); ++i) {
        Member& member = members_[i];
        if (events.stop_asked()) {
            return false;
        }
        const int failure = prepare_with(member.substitution, scanners);
        if (failure != 0 && member.substitution.failure().step == Failure::Step::stopped) {
            return false;
        }
        if (failure != 0) {
            events.not_scanned(member.file, member.substitution, failure);
            failed[i] = true;
        } else if (!events.scanned(member.file, member.substitution, member.companion)) {
            failed[i] = true;
        }
    }
    return true;
}

// The temporary files and companions, with the directories where they were
// made, all at once. If that fails, each file makes its own temporary file
// and companion durable, or fails alone.
void Batch::make_temporaries_durable(BatchEvents& events, std::vector<bool>& failed) {
    std::vector<platform::File*> files;
    for (std::size_t i = 0; i < members_.size(); ++i) {
        if (!failed[i]) {
            files.push_back(&members_[i].substitution.temporary());
            if (members_[i].companion.is_open()) {
                files.push_back(&members_[i].companion);
            }
        }
    }
    if (platform::make_durable(files, directories())) {
        return;
    }
    for (std::size_t i = 0; i < members_.size(); ++i) {
        Member& member = members_[i];
        if (failed[i]) {
            continue;
        }
        int failure = member.substitution.make_temporary_durable();
        if (failure == 0 && member.companion.is_open() && !member.companion.sync()) {
            failure = member.substitution.companion_not_durable(platform::last_error());
        }
        if (failure != 0) {
            events.failed(member.file, member.substitution, failure);
            failed[i] = true;
        }
    }
}

// The files that failed leave the batch; their temporary files go with
// their substitutions.
void Batch::drop(const std::vector<bool>& failed) {
    std::vector<Member> kept;
    for (std::size_t i = 0; i < members_.size(); ++i) {
        if (!failed[i]) {
            kept.push_back(std::move(members_[i]));
        }
    }
    members_ = std::move(kept);
}

// Each file gets its times back right after its write-back, so that the one
// sync that makes its new content durable makes them durable too: a power
// cut never brings back a file with the time of its write-back. True if
// the files written are durable.
bool Batch::write_all_back(BatchEvents& events, std::vector<bool>& failed) {
    std::vector<platform::File*> written;
    for (std::size_t i = 0; i < members_.size(); ++i) {
        Substitution& substitution = members_[i].substitution;
        const int failure = substitution.write_back(Durability::by_caller);
        if (failure != 0) {
            events.failed(members_[i].file, substitution, failure);
            failed[i] = true;
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
void Batch::remove_temporaries(BatchEvents& events, const std::vector<bool>& failed,
                               bool written_durable) {
    for (std::size_t i = 0; i < members_.size(); ++i) {
        Substitution& substitution = members_[i].substitution;
        if (failed[i]) {
            continue;
        }
        if (!written_durable) {
            if (const int failure = substitution.sync_written()) {
                events.failed(members_[i].file, substitution, failure);
                continue;
            }
        }
        substitution.remove_temporary();
        events.patched(members_[i].file, substitution);
    }
    platform::make_durable({}, directories());
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
