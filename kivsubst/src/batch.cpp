// SPDX-License-Identifier: Zlib
#include "batch.h"

#include <utility>

#include "kivsubst.h"

namespace kivsubst {

// One file of the batch as a change of its commit: staged in its temporary
// file (with the caller's companion copy kept beside it), put in place by
// writing the new content back into the same file.
class Batch::Member final : public kivfs::Change {
public:
    Member(std::size_t place, FileAt at) : file(place), substitution(std::move(at)) {}

    void add_staged(kivfs::SyncSet& set) override {
        platform::add_to(set, substitution.temporary());
        if (companion.is_open()) {
            platform::add_to(set, companion);
        }
    }
    void add_directories(kivfs::SyncSet& set) override {
        if (platform::Directory* directory = substitution.temporary_directory()) {
            platform::add_to(set, *directory);
        }
    }
    int make_staged_durable() override {
        const int failure = substitution.make_temporary_durable();
        if (failure == 0 && companion.is_open() && !companion.sync()) {
            return substitution.companion_not_durable(platform::last_error());
        }
        return failure;
    }
    // Each file gets its times back right after its write-back, so that
    // the one sync that makes its new content durable makes them durable
    // too: a power cut never brings back a file with the time of its
    // write-back.
    int put_in_place() override {
        const int failure = substitution.write_back(Durability::by_caller);
        if (failure == 0) {
            substitution.restore_times();
        }
        return failure;
    }
    void add_placed(kivfs::SyncSet& set) override { platform::add_to(set, substitution.written()); }
    int make_placed_durable(bool set_synced) override {
        return set_synced ? 0 : substitution.sync_written();
    }
    void remove_staged() override { substitution.remove_temporary(); }

    std::size_t file;  // its place among the files added
    Substitution substitution;
    platform::File companion;  // the caller's copy, synced with the temporary files
    bool failed = false;       // told failed: it takes no further step
};

class Batch::Events final : public kivfs::CommitEvents {
public:
    explicit Events(BatchEvents& events) : events_(events) {}

    void failed(kivfs::Change& change, int code) override {
        Member& member = static_cast<Member&>(change);
        events_.failed(member.file, member.substitution, code);
    }
    void done(kivfs::Change& change) override {
        Member& member = static_cast<Member&>(change);
        events_.patched(member.file, member.substitution);
    }
    bool stop_asked() override { return events_.stop_asked(); }

private:
    BatchEvents& events_;
};

Batch::Batch() = default;
Batch::~Batch() = default;

void Batch::add(FileAt file) {
    members_.push_back(std::make_unique<Member>(members_.size(), std::move(file)));
}

void Batch::run(Scanners& scanners, BatchEvents& events) {
    if (!scan_all(scanners, events)) {
        members_.clear();  // stopped: the temporary files go with their substitutions
        return;
    }
    // Each result is marked as its file's one complete copy before the
    // shared sync that makes it durable, once every file has been read.
    for (std::unique_ptr<Member>& member : members_) {
        if (!member->failed) {
            if (const int failure = member->substitution.mark_temporary_as_result()) {
                events.failed(member->file, member->substitution, failure);
                member->failed = true;
            }
        }
        const bool failed = member->failed;
        commit_.add(std::move(member), failed);
    }
    members_.clear();
    Events told(events);
    commit_.run(told);
}

// Reads every file into its temporary file, and gives the caller the
// chance to keep a companion copy of each (its backup). False if the
// caller asked for a stop meanwhile.
bool Batch::scan_all(Scanners& scanners, BatchEvents& events) {
    for (std::unique_ptr<Member>& member : members_) {
        if (events.stop_asked()) {
            return false;
        }
        const int failure = member->substitution.prepare(scanners);
        if (failure != 0 && member->substitution.failure().step == Failure::Step::stopped) {
            return false;
        }
        if (failure != 0) {
            events.not_scanned(member->file, member->substitution, failure);
            member->failed = true;
        } else if (!events.scanned(member->file, member->substitution, member->companion)) {
            member->failed = true;
        }
    }
    return true;
}

}  // namespace kivsubst
