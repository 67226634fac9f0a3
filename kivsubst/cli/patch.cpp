// SPDX-License-Identifier: Zlib
#include "patch.h"

#include <cstdint>
#include <optional>
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
using kivsubst::engine::Durability;
using kivsubst::engine::File;
using kivsubst::engine::Substitution;

// A batch shares its syncs among its files. It is bounded by the bytes its
// temporary files hold (the room they take in TMP) and by its files, each
// of which keeps its file, its temporary file and maybe its backup open
// until the batch ends.
constexpr std::int64_t batch_bytes = std::int64_t{256} << 20;
constexpr std::size_t most_batch_files = 256;

class Patcher {
public:
    Patcher(const Options& options, Tally& tally, std::int64_t total, const HeldStops& stops)
        : options_(options),
          tally_(tally),
          stops_(stops),
          scanners_(scanners_for(options)),
          progress_(options.progress, total),
          backups_(options.backup) {
        scanners_->report_progress([this](std::int64_t read) { progress_.update(done_ + read); });
        scanners_->stop_when([this] { return stops_.asked(); });
    }

    void run(std::vector<Target>& targets);

private:
    // A file of the run, as a batch knows it by its place.
    struct Item {
        const Target* target;
        std::int64_t size;
    };
    class BatchTeller;

    void patch_alone(const Target& target);
    void patch_batch(kivsubst::engine::Batch& batch, std::vector<Item>& items);
    bool reachable(const Target& target);
    bool keep_backup(const Item& item, Substitution& substitution, File* backup);
    void failed(const Target& target, const Substitution& substitution, int code);
    void tell(const Item& item, const Substitution& substitution);

    const Options& options_;
    Tally& tally_;
    const HeldStops& stops_;
    std::unique_ptr<kivsubst::engine::Scanners> scanners_;
    kivcli::Progress progress_;
    kivcli::BackupNames backups_;
    std::int64_t done_ = 0;  // bytes of the files finished
};

// Each batch opens the directories its files are in as it needs them and
// closes them when it is done, so that a run over any number of
// directories holds only a batch's worth open.
void Patcher::run(std::vector<Target>& targets) {
    if (!scanners_->ready()) {
        tally_.fail(KIVSUBST_NO_MEMORY, "out of memory (6)");
        return;
    }
    if (targets.size() == 1) {
        patch_alone(targets.front());
    } else {
        // declared first, so that it goes last: the batches give their
        // temporary files back to it as they go
        kivsubst::engine::TemporaryStore store;
        std::optional<kivsubst::engine::Batch> batch;
        std::vector<Item> items;
        std::vector<const Target*> in_batch;
        std::int64_t bytes = 0;
        const std::size_t files = batch_files(most_batch_files);
        auto finish_batch = [&] {
            if (batch) {
                patch_batch(*batch, items);
            }
            batch.reset();  // its files and temporary directories go first
            items.clear();
            for (const Target* done : in_batch) {
                release_folders(*done);
            }
            in_batch.clear();
            bytes = 0;
        };
        for (const Target& target : targets) {
            if (stops_.asked()) {
                break;
            }
            const std::int64_t size = target.size;
            if (!items.empty() && (items.size() >= files || bytes + size > batch_bytes)) {
                finish_batch();
            }
            in_batch.push_back(&target);
            if (!reachable(target)) {
                done_ += size;
                continue;
            }
            if (!batch) {
                batch.emplace();
            }
            kivsubst::engine::FileAt at = file_at(target);
            at.store = &store;
            batch->add(std::move(at));
            items.push_back({&target, size});
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
// had before the scan read it. Alone, a file's backup is made durable here;
// in a batch it is left open in `backup`, for the batch to sync with the
// temporary files.
bool Patcher::keep_backup(const Item& item, Substitution& substitution, File* backup) {
    const bool durable = backup == nullptr;
    kivcli::NativeHandle made{};
    std::string reason;
    const std::string name = backups_.backup_of(*item.target->folder, item.target->name);
    if (!kivcli::keep_copy(*item.target->folder, item.target->name,
                           substitution.input().handle(), substitution.status().times, name,
                           durable, made, reason)) {
        tally_.fail(KIVSUBST_COPY_ERROR,
                    quoted(item.target->shown) + ": cannot keep a backup: " + reason + " (7)");
        return false;
    }
    if (!durable) {
        *backup = File(made);
    }
    return true;
}

// Counts a file as done and tells how it went, with -v.
void Patcher::tell(const Item& item, const Substitution& substitution) {
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
// durable first. A stop asked before the write-back ends it there, the
// file untouched and its temporary file removed with the substitution; the
// write-back and the times given back are never cut short.
void Patcher::patch_alone(const Target& target) {
    if (!reachable(target)) {
        return;
    }
    const Item item{&target, target.size};
    Substitution substitution(file_at(target));
    int failure = substitution.prepare(*scanners_);
    if (stops_.asked()) {
        return;
    }
    if (failure == 0 && options_.backup.enabled() && substitution.replacements() > 0 &&
        !keep_backup(item, substitution, nullptr)) {
        return;
    }
    if (failure == 0) {
        failure = substitution.make_temporary_durable();
    }
    if (stops_.asked()) {
        return;
    }
    if (failure == 0) {
        failure = substitution.write_back(Durability::now);
    }
    if (failure != 0) {
        failed(target, substitution, failure);
        return;
    }
    substitution.finish();
    tell(item, substitution);
}

// The batch tells how each of its files went, by its place in the batch.
class Patcher::BatchTeller final : public kivsubst::engine::BatchEvents {
public:
    BatchTeller(Patcher& patcher, std::vector<Item>& items) : patcher_(patcher), items_(items) {}

    void not_scanned(std::size_t file, const Substitution& substitution, int code) override {
        patcher_.failed(*items_[file].target, substitution, code);
        patcher_.done_ += items_[file].size;
    }
    // Files with a replacement get their backup here, made from the file
    // that was read; the batch makes it durable with the temporary files.
    bool scanned(std::size_t file, Substitution& substitution, File& companion) override {
        const Item& item = items_[file];
        return !patcher_.options_.backup.enabled() || substitution.replacements() == 0 ||
               patcher_.keep_backup(item, substitution, &companion);
    }
    void failed(std::size_t file, const Substitution& substitution, int code) override {
        patcher_.failed(*items_[file].target, substitution, code);
    }
    void patched(std::size_t file, const Substitution& substitution) override {
        patcher_.tell(items_[file], substitution);
    }
    bool stop_asked() override { return patcher_.stops_.asked(); }

private:
    Patcher& patcher_;
    std::vector<Item>& items_;
};

// Several files as one batch of the core's, which shares their syncs; the
// batch's files were added in the order of `items`.
void Patcher::patch_batch(kivsubst::engine::Batch& batch, std::vector<Item>& items) {
    BatchTeller teller(*this, items);
    batch.run(*scanners_, teller);
}

}  // namespace

std::unique_ptr<kivsubst::engine::Scanners> scanners_for(const Options& options) {
    if (!options.text) {
        return std::make_unique<kivsubst::engine::ByteScanners>(options.pairs, options.matching);
    }
    return std::make_unique<kivsubst::engine::TextScanners>(options.text_pairs, *options.text,
                                                            options.matching);
}

void patch_targets(std::vector<Target>& targets, const Options& options, Tally& tally,
                   const HeldStops& stops) {
    std::int64_t total = 0;
    for (const Target& target : targets) {
        total += target.size;
    }
    Patcher(options, tally, total, stops).run(targets);
}

}  // namespace kivsubst_cli
