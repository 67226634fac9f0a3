// SPDX-License-Identifier: Zlib
#include "atomic.h"

#include <cstdint>
#include <memory>

#include "engine.h"
#include "journal_folder.h"
#include "kivcli/folder.h"
#include "kivcli/output.h"
#include "kivcli/progress.h"
#include "kivcli/quote.h"
#include "kivcopy.h"
#include "kivtransaction.h"
#include "member_folder.h"
#include "messages.h"
#include "patch.h"
#include "recovery.h"
#include "transaction.h"

namespace kivsubst_cli {
namespace {

using kivcli::Folder;
using kivcli::quoted;
using kivtransaction::Transaction;

void say(const std::string& message) {
    kivcli::complain("kivsubst", message);
}

// Said once a transaction is given up, after what made it so.
void say_nothing_changed() {
    say("no file changed: every file keeps its old content");
}

// Whether every target is on the volume of the journal folder, whose
// journal its recovery must find wherever the targets are found. The
// folder is opened here only to be looked at: the transaction opens it
// again for itself, never through a link at its name.
bool on_journal_volume(const std::vector<Target>& targets, const std::string& folder,
                       Tally& tally) {
    kivcli::SystemError error = 0;
    const std::shared_ptr<Folder> journal = Folder::open(folder, error);
    if (journal == nullptr) {
        tally.fail(exit_journal, "cannot keep a journal in " + quoted(folder) + ": " +
                                     kivcli::describe(error) + " (10)");
        return false;
    }
    for (const Target& target : targets) {
        if (target.identity.volume != journal->status().identity.volume) {
            tally.fail(exit_journal, quoted(target.shown) +
                                         " is not on the volume of the journal folder " +
                                         quoted(folder) + " (10)");
            return false;
        }
    }
    return true;
}

// Why the commit was refused, for the file whose guard refused it.
std::string commit_refusal(std::int32_t code) {
    switch (code) {
        case KIVTRANSACTION_TARGET_CHANGED:
            return "changed since it was read";
        case KIVCOPY_TARGET_NOT_WRITTEN:
            return "can no longer be written";
        case KIVINSTALL_IN_USE:
            return "in use by another program";
        default:
            return "refused by the commit (" + std::to_string(code) + ")";
    }
}

// One transaction over the run's files: each staged in turn, with the
// progress and the stops of a run without --atomic, then committed.
class AtomicRun {
public:
    AtomicRun(std::vector<Target>& targets, const Options& options, Tally& tally,
              const HeldStops& stops, std::string folder)
        : targets_(targets),
          options_(options),
          tally_(tally),
          stops_(stops),
          folder_(std::move(folder)),
          scanners_(scanners_for(options)),
          progress_(options.progress, total_of(targets)) {
        scanners_->report_progress([this](std::int64_t read) { progress_.update(done_ + read); });
        scanners_->stop_when([this] { return stops_.asked(); });
    }

    void run(Transaction& transaction);

private:
    static std::int64_t total_of(const std::vector<Target>& targets) {
        std::int64_t total = 0;
        for (const Target& target : targets) {
            total += target.size;
        }
        return total;
    }
    bool stage_all(Transaction& transaction);
    void commit(Transaction& transaction);
    void tell_patched();

    std::vector<Target>& targets_;
    const Options& options_;
    Tally& tally_;
    const HeldStops& stops_;
    std::string folder_;
    std::unique_ptr<kivsubst::engine::Scanners> scanners_;
    kivcli::Progress progress_;
    std::int64_t done_ = 0;
    std::vector<std::uint64_t> replaced_;  // each target's replacements, once staged
};

void AtomicRun::run(Transaction& transaction) {
    if (!scanners_->ready()) {
        tally_.fail(KIVSUBST_NO_MEMORY, "out of memory (6)");
        transaction.abort();
        return;
    }
    const bool staged = stage_all(transaction);
    progress_.finish();
    if (!staged || stops_.asked()) {
        // A stop ends the process once the stops are let go, as a run
        // without --atomic ends; a failure has been told.
        transaction.abort();
        if (!stops_.asked()) {
            say_nothing_changed();
        }
        return;
    }
    commit(transaction);
}

// Each target staged beside itself, through the directory the run holds
// it by and its name there: the first failure ends the staging.
bool AtomicRun::stage_all(Transaction& transaction) {
    for (std::size_t i = 0; i < targets_.size(); release_after(targets_, i++)) {
        if (stops_.asked()) {
            return false;
        }
        Target& target = targets_[i];
        kivcli::SystemError error = 0;
        if (!target.folder->reachable(error)) {
            tally_.fail(KIVSUBST_CANNOT_OPEN, quoted(target.shown) + ": cannot open: " +
                                                  kivcli::describe(error) + " (3)");
            return false;
        }
        const kivsubst::engine::FileAt at = file_at(target);
        const Transaction::HeldFile file{target.folder, at.name, at.shown, at.links, at.expected};
        Transaction::PatchOutcome outcome;
        const int result = transaction.replace(file, *scanners_, &outcome);
        if (result != KIVSUBST_REPLACED && result != KIVSUBST_NOT_FOUND) {
            if (outcome.failure.step != kivsubst::engine::Failure::Step::stopped) {
                tally_.fail(result, failure_message(target, outcome.failure, result));
            }
            return false;
        }
        replaced_.push_back(outcome.replacements);
        done_ += target.size;
        progress_.update(done_);
    }
    return true;
}

// The commit puts every staged file in place, or refuses with every file
// old; what it left for recovery is the journal folder's to finish.
void AtomicRun::commit(Transaction& transaction) {
    const std::int32_t committed = transaction.commit();
    if (committed == KIVTRANSACTION_PENDING) {
        tally_.fail(exit_left_to_recover,
                    "the run is committed, but not every file is in place yet: "
                    "kivsubst --recover=" + quoted(folder_) + " finishes it (11)");
        return;
    }
    if (committed != KIVTRANSACTION_OK) {
        const std::int32_t member = transaction.failed_member();
        if (member >= 0 && static_cast<std::size_t>(member) < targets_.size()) {
            tally_.fail(exit_journal, quoted(targets_[static_cast<std::size_t>(member)].shown) +
                                          ": " + commit_refusal(committed) + " (10)");
        } else {
            tally_.fail(exit_journal, "cannot write the journal in " + quoted(folder_) + " (10)");
        }
        say_nothing_changed();
        return;
    }
    tell_patched();
}

// Every file is new now: each told with -v, as a run without --atomic
// tells it.
void AtomicRun::tell_patched() {
    for (std::size_t i = 0; i < replaced_.size(); ++i) {
        tally_.any_replaced = tally_.any_replaced || replaced_[i] > 0;
        if (!options_.verbose) {
            continue;
        }
        kivcli::print_error(quoted(targets_[i].shown) + ": " +
                            (replaced_[i] == 0 ? std::string("nothing found")
                                               : std::to_string(replaced_[i]) + " replaced") +
                            "\n");
    }
}

}  // namespace

std::string journal_folder_of(const Options& options) {
    if (!options.journal_folder.empty() || options.files.empty()) {
        return options.journal_folder;
    }
    const std::string& first = options.files.front();
    kivcli::SystemError error = 0;
    if (options.recursive && Folder::open(first, error) != nullptr) {
        return first;
    }
    std::string directory;
    std::string name;
    split_operand(first, directory, name);
    // Named as messages name a directory: without the separator that ends
    // it (Windows keeps one), except where it is a root's ("/", "C:\").
    while (directory.size() > 1 && (directory.back() == '/' || directory.back() == '\\') &&
           directory[directory.size() - 2] != ':' && directory[directory.size() - 2] != '/' &&
           directory[directory.size() - 2] != '\\') {
        directory.pop_back();
    }
    return directory.empty() ? "." : directory;
}

int settle_journal_folder(const Options& options) {
    const std::string folder = journal_folder_of(options);
    int error = 0;
    const std::unique_ptr<kivtransaction::JournalFolder> journal =
        kivtransaction::JournalFolder::open(kivtransaction::system_form(folder), error);
    if (journal == nullptr) {
        say("cannot keep a journal in " + quoted(folder) + ": " + kivcli::describe(error) +
            " (10)");
        say_nothing_changed();
        return exit_journal;
    }
    const std::int32_t recovered = kivtransaction::recover(*journal);
    if (recovered < 0) {
        say(quoted(folder) + (recovered == KIVTRANSACTION_JOURNAL_REFUSED
                                  ? " holds a journal that is not to be trusted"
                                  : " holds an interrupted run that cannot be finished") +
            "; kivsubst --recover tells more (10)");
        say_nothing_changed();
        return exit_journal;
    }
    if (options.verbose && recovered != KIVTRANSACTION_OK) {
        kivcli::print_error(quoted(folder) + ": an interrupted run " +
                            (recovered == KIVTRANSACTION_FINISHED ? "finished" : "undone") +
                            " first\n");
    }
    return 0;
}

void patch_atomically(std::vector<Target>& targets, const Options& options, Tally& tally,
                      const HeldStops& stops) {
    const std::string folder = journal_folder_of(options);
    if (!on_journal_volume(targets, folder, tally)) {
        say_nothing_changed();
        return;
    }
    std::unique_ptr<Transaction> transaction;
    const std::int32_t begun =
        Transaction::begin(kivtransaction::system_form(folder), transaction);
    if (begun != KIVTRANSACTION_OK) {
        tally.fail(exit_journal,
                   begun == KIVTRANSACTION_JOURNAL_REFUSED
                       ? quoted(folder) + " holds a journal that is not to be trusted; "
                                          "kivsubst --recover tells which (10)"
                       : "cannot keep a journal in " + quoted(folder) + " (10)");
        say_nothing_changed();
        return;
    }
    AtomicRun(targets, options, tally, stops, folder).run(*transaction);
}

int recover_journal_folder(const Options& options) {
    const std::string folder = journal_folder_of(options);
    int error = 0;
    const std::unique_ptr<kivtransaction::JournalFolder> journal =
        kivtransaction::JournalFolder::open(kivtransaction::system_form(folder), error);
    if (journal == nullptr) {
        say("cannot open the journal folder " + quoted(folder) + ": " +
            kivcli::describe(error) + " (10)");
        return exit_journal;
    }
    switch (kivtransaction::recover(*journal)) {
        case KIVTRANSACTION_OK:
            kivcli::print(quoted(folder) + ": nothing to do\n");
            return 0;
        case KIVTRANSACTION_FINISHED:
            kivcli::print(quoted(folder) + ": finished: every file of the interrupted run is new\n");
            return 0;
        case KIVTRANSACTION_UNDONE:
            kivcli::print(quoted(folder) + ": undone: every file of the interrupted run is old\n");
            return 0;
        case KIVTRANSACTION_JOURNAL_REFUSED:
            say(quoted(folder) + ": refused: a journal there is not one to trust (not a plain "
                                 "file of the caller's with one name, or not a journal); it is "
                                 "left as it is, and nothing it names was touched (10)");
            return exit_journal;
        default:
            say(quoted(folder) + ": cannot finish: a file that the journal names cannot be "
                                 "read or changed; the journal stays for the next --recover (10)");
            return exit_journal;
    }
}

}  // namespace kivsubst_cli
