// SPDX-License-Identifier: Zlib
#include "patch.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "engine.h"
#include "kivcli/backup.h"
#include "kivcli/backup_names.h"
#include "kivcli/output.h"
#include "kivcli/quote.h"
#include "messages.h"
#include "system.h"

namespace kivsubst_cli {
namespace {

using kivcli::quoted;
using kivsubst::Durability;
using kivsubst::Failure;
using kivsubst::Substitution;
using kivsubst::platform::File;

// A batch shares its syncs among its files. It is bounded by the bytes its
// temporary files hold (the room they take in TMP) and by its files, each
// of which keeps its file, its temporary file and maybe its backup open
// until the batch ends.
constexpr std::int64_t batch_bytes = std::int64_t{256} << 20;
constexpr std::size_t most_batch_files = 256;

class Patcher {
public:
    Patcher(const Options& options, Tally& tally, std::int64_t total)
        : options_(options),
          tally_(tally),
          pairs_(pairs_of(options)),
          scanner_(scanner_for(options)),
          progress_(options.progress, total),
          backups_(options.backup) {
        scanner_.report_progress([this](std::int64_t read) { progress_.update(done_ + read); });
    }

    void run(std::vector<Target>& targets);

private:
    struct Item {
        const Target* target;
        Substitution substitution;
        std::int64_t size;
        File backup;  // the backup made for this file, to be synced with the batch
    };

    void patch_alone(const Target& target);
    void patch_batch(std::vector<Item>& items);
    bool reachable(const Target& target);
    bool keep_backup(Item& item, bool durable);
    void failed(const Target& target, const Substitution& substitution, int code);
    void patched(Item& item);
    void tell(const Item& item);
    void drop_failed(std::vector<Item>& items, const std::vector<bool>& failed) const;

    const Options& options_;
    Tally& tally_;
    std::vector<kivsubst::Pair> pairs_;
    kivsubst::Scanner scanner_;
    kivcli::Progress progress_;
    kivcli::BackupNames backups_;
    std::int64_t done_ = 0;  // bytes of the files finished
};

// Each batch opens the directories its files are in as it needs them and
// closes them when it is done, so that a run over any number of
// directories holds only a batch's worth open.
void Patcher::run(std::vector<Target>& targets) {
    if (!scanner_.ready()) {
        tally_.fail(KIVSUBST_NO_MEMORY, "out of memory (6)");
        return;
    }
    if (targets.size() == 1) {
        patch_alone(targets.front());
    } else {
        std::vector<Item> batch;
        std::vector<const Target*> in_batch;
        std::int64_t bytes = 0;
        const std::size_t files = batch_files(most_batch_files);
        auto finish_batch = [&] {
            patch_batch(batch);
            batch.clear();
            for (const Target* done : in_batch) {
                release_folders(*done);
            }
            in_batch.clear();
            bytes = 0;
        };
        for (const Target& target : targets) {
            const std::int64_t size = target.size;
            if (!batch.empty() && (batch.size() >= files || bytes + size > batch_bytes)) {
                finish_batch();
            }
            in_batch.push_back(&target);
            if (!reachable(target)) {
                done_ += size;
                continue;
            }
            batch.push_back({&target, Substitution(file_at(target)), size, File()});
            bytes += size;
        }
        finish_batch();
    }
    progress_.finish();
}

// The file's directory, opened again only if it is still the one the check
// found the file in; else the file is told as one that cannot be opened.
bool Patcher::reachable(const Target& target) {
    kivcli::SystemError error = 0;
    if (!target.folder->reachable(error)) {
        tally_.fail(KIVSUBST_CANNOT_OPEN,
                    quoted(target.shown) + ": cannot open: " + kivcli::describe(error) + " (3)");
        return false;
    }
    return true;
}

void Patcher::failed(const Target& target, const Substitution& substitution, int code) {
    tally_.fail(code, failure_message(target, substitution.failure(), code));
}

// The backup is made from the very file that was read, with the times it
// had before the scan read it.
bool Patcher::keep_backup(Item& item, bool durable) {
    kivcli::NativeHandle made{};
    std::string reason;
    const std::string backup = backups_.backup_of(*item.target->folder, item.target->name);
    if (!kivcli::keep_copy(*item.target->folder, item.target->name,
                           item.substitution.input().handle(),
                           item.substitution.status().times, backup, durable, made,
                           reason)) {
        tally_.fail(KIVSUBST_COPY_ERROR,
                    quoted(item.target->shown) + ": cannot keep a backup: " + reason + " (7)");
        return false;
    }
    if (!durable) {
        item.backup = File(made);
    }
    return true;
}

void Patcher::patched(Item& item) {
    item.substitution.finish();
    tell(item);
}

// Counts a file as done and tells how it went, with -v.
void Patcher::tell(const Item& item) {
    const Substitution& substitution = item.substitution;
    done_ += item.size;
    progress_.update(done_);
    const int result = substitution.result();
    tally_.any_replaced = tally_.any_replaced || result == KIVSUBST_REPLACED;
    if (!options_.verbose) {
        return;
    }
    if (result == KIVSUBST_NOT_FOUND) {
        kivcli::print_error(quoted(item.target->shown) + ": nothing found\n");
    } else {
        kivcli::print_error(quoted(item.target->shown) + ": " +
                            std::to_string(substitution.replacements()) + " replaced\n");
    }
}

// One file, as the library's own call patches it, with its backup made
// durable first.
void Patcher::patch_alone(const Target& target) {
    if (!reachable(target)) {
        return;
    }
    Item item{&target, Substitution(file_at(target)), target.size, File()};
    Substitution& substitution = item.substitution;
    int failure = substitution.prepare(pairs_, &scanner_);
    if (failure == 0 && options_.backup.enabled() && substitution.replacements() > 0 &&
        !keep_backup(item, true)) {
        return;
    }
    if (failure == 0) {
        failure = substitution.make_temporary_durable();
    }
    if (failure == 0) {
        failure = substitution.write_back(Durability::now);
    }
    if (failure != 0) {
        failed(target, substitution, failure);
        return;
    }
    patched(item);
}

void Patcher::drop_failed(std::vector<Item>& items, const std::vector<bool>& failed) const {
    std::vector<Item> kept;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!failed[i]) {
            kept.push_back(std::move(items[i]));
        }
    }
    items = std::move(kept);  // the failed ones are destroyed: their temporary files go
}

// Several files sharing their syncs: every temporary file (and backup) is
// written, then all are made durable at once; every file is written back,
// then all are made durable at once; only then do the temporary files go.
// Each file still passes from its old content, through a durable temporary
// file holding the new, to its new content, and is never lost on the way.
void Patcher::patch_batch(std::vector<Item>& items) {
    std::vector<bool> failed_at(items.size(), false);
    std::vector<File*> to_sync;
    for (std::size_t i = 0; i < items.size(); ++i) {
        Item& item = items[i];
        const int failure = item.substitution.prepare(pairs_, &scanner_);
        if (failure != 0) {
            failed(*item.target, item.substitution, failure);
            failed_at[i] = true;
            done_ += item.size;
            continue;
        }
        if (options_.backup.enabled() && item.substitution.replacements() > 0 &&
            !keep_backup(item, false)) {
            failed_at[i] = true;
            continue;
        }
        to_sync.push_back(&item.substitution.temporary());
        if (item.backup.is_open()) {
            to_sync.push_back(&item.backup);
        }
    }
    // A failed sync of the whole lot is no loss yet: each file then makes
    // its own temporary file durable, or fails alone.
    const bool temporaries_durable = kivsubst::platform::sync_all(to_sync);
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (failed_at[i] || temporaries_durable) {
            continue;
        }
        const int failure = items[i].substitution.make_temporary_durable();
        if (failure != 0 || (items[i].backup.is_open() && !items[i].backup.sync())) {
            failed(*items[i].target, items[i].substitution, KIVSUBST_COPY_ERROR);
            failed_at[i] = true;
        }
    }
    drop_failed(items, failed_at);

    failed_at.assign(items.size(), false);
    to_sync.clear();
    // Each file gets its times back right after its write-back, so that the
    // one sync that makes its new content durable makes them durable too:
    // a power cut never brings back a file with the time of its write-back.
    for (std::size_t i = 0; i < items.size(); ++i) {
        const int failure = items[i].substitution.write_back(Durability::by_caller);
        if (failure != 0) {
            failed(*items[i].target, items[i].substitution, failure);
            failed_at[i] = true;
        } else {
            items[i].substitution.restore_times();
            to_sync.push_back(&items[i].substitution.written());
        }
    }
    // Until the files written back are durable, their temporary files are
    // the only durable copy of the new content: if that sync fails, they
    // are kept.
    const bool written_durable = kivsubst::platform::sync_all(to_sync);
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (failed_at[i]) {
            continue;
        }
        if (!written_durable && !items[i].substitution.written().sync()) {
            items[i].substitution.keep_temporary();
            failed(*items[i].target, items[i].substitution, KIVSUBST_COPY_ERROR);
            continue;
        }
        items[i].substitution.remove_temporary();
        tell(items[i]);
    }
    // One more sync, of the temporary files' directories alone, makes their
    // deletions durable, so that a power cut brings back no stale temporary
    // file. A single call, which would pay a sync of its own for it, leaves
    // it as the library's call does.
    kivsubst::platform::sync_all({});
}

}  // namespace

std::vector<kivsubst::Pair> pairs_of(const Options& options) {
    std::vector<kivsubst::Pair> pairs;
    for (const auto& [pattern, replacement] : options.pairs) {
        pairs.push_back({{reinterpret_cast<const unsigned char*>(pattern.data()), pattern.size()},
                         {reinterpret_cast<const unsigned char*>(replacement.data()),
                          replacement.size()}});
    }
    return pairs;
}

kivsubst::Scanner scanner_for(const Options& options) {
    return kivsubst::Scanner(pairs_of(options), options.matching);
}

void patch_targets(std::vector<Target>& targets, const Options& options, Tally& tally) {
    std::int64_t total = 0;
    for (const Target& target : targets) {
        total += target.size;
    }
    Patcher(options, tally, total).run(targets);
}

}  // namespace kivsubst_cli
