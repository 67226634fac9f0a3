// SPDX-License-Identifier: Zlib
#include "kivfs/commit.h"

#include <utility>

namespace kivfs {

bool SyncSet::sync() const {
    if (files.empty() && directories.empty()) {
        return true;
    }
    return sync_group(files, directories);
}

void Commit::add(std::unique_ptr<Change> change, bool failed) {
    entries_.push_back({std::move(change), failed});
}

void Commit::run(CommitEvents& events) {
    make_staged_durable(events);
    if (events.stop_asked()) {
        entries_.clear();  // stopped: what was staged goes with its changes
        return;
    }
    drop_failed();
    const bool placed_synced = put_all_in_place(events);
    remove_staged(events, placed_synced);
}

// The staged files, with the directories where they were made, all at
// once. If that fails, each change makes its own staged file durable, or
// fails alone.
void Commit::make_staged_durable(CommitEvents& events) {
    SyncSet set;
    for (Entry& entry : entries_) {
        if (!entry.failed) {
            entry.change->add_staged(set);
        }
    }
    add_directories(set);
    if (set.sync()) {
        return;
    }
    for (Entry& entry : entries_) {
        if (entry.failed) {
            continue;
        }
        if (const int failure = entry.change->make_staged_durable()) {
            events.failed(*entry.change, failure);
            entry.failed = true;
        }
    }
}

// The changes that failed leave the commit; what they staged goes with
// them.
void Commit::drop_failed() {
    std::vector<Entry> kept;
    for (Entry& entry : entries_) {
        if (!entry.failed) {
            kept.push_back(std::move(entry));
        }
    }
    entries_ = std::move(kept);
}

// Each change is put in place in the order added, then what was placed is
// made durable together with the directories. True if that sync held.
bool Commit::put_all_in_place(CommitEvents& events) {
    SyncSet set;
    for (Entry& entry : entries_) {
        if (const int failure = entry.change->put_in_place()) {
            events.failed(*entry.change, failure);
            entry.failed = true;
        } else {
            entry.change->add_placed(set);
        }
    }
    add_directories(set);
    return set.sync();
}

// What was staged goes once what was placed is durable, and one more sync,
// of the directories alone, makes the removals durable, so that a power
// cut brings back nothing staged. Until what was placed is durable, the
// staged file is the only durable copy of the new content: where the
// shared sync failed, each change syncs alone, and one that fails keeps
// its staged file.
void Commit::remove_staged(CommitEvents& events, bool placed_synced) {
    for (Entry& entry : entries_) {
        if (entry.failed) {
            continue;
        }
        if (const int failure = entry.change->make_placed_durable(placed_synced)) {
            events.failed(*entry.change, failure);
            continue;
        }
        entry.change->remove_staged();
        events.done(*entry.change);
    }
    SyncSet set;
    add_directories(set);
    set.sync();
}

void Commit::add_directories(SyncSet& set) {
    for (Entry& entry : entries_) {
        entry.change->add_directories(set);
    }
}

}  // namespace kivfs
