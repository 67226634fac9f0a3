// SPDX-License-Identifier: Zlib
#include "atomic.h"

#include <cstdint>

#include "journal_folder.h"
#include "kivcli/output.h"
#include "kivcli/paths.h"
#include "kivcli/quote.h"
#include "kivcopy.h"
#include "kivtransaction.h"
#include "member_folder.h"
#include "recovery.h"
#include "transaction.h"

namespace kivcopy_cli {
namespace {

using kivcli::quoted;
using kivtransaction::Transaction;

void say(const std::string& message) {
    kivcli::complain(program_name, message);
}

// Said once a transaction is given up, after what made it so.
void say_nothing_changed() {
    say("no file copied: every target keeps its old content");
}

// Why the commit was refused, for the target whose guard refused it.
std::string commit_refusal(std::int32_t code) {
    switch (code) {
        case KIVCOPY_TARGET_EXISTS:
            return "appeared since its file was staged";
        case KIVTRANSACTION_TARGET_CHANGED:
            return "its staged file changed";
        case KIVCOPY_TARGET_NOT_WRITTEN:
            return "can no longer be written";
        case KIVINSTALL_IN_USE:
            return "in use by another program";
        default:
            return "refused by the commit (" + std::to_string(code) + ")";
    }
}

}  // namespace

std::string journal_folder_of(const Options& options, const Destination& destination) {
    if (!options.journal_folder.empty()) {
        return options.journal_folder;
    }
    if (destination.into) {
        return destination.path;
    }
    const std::string directory = kivcli::directory_of(destination.path);
    return directory.empty() ? "." : directory;
}

AtomicRun::AtomicRun() = default;
AtomicRun::~AtomicRun() = default;

// The folder is opened here only to be looked at, for its volume: the
// transaction opens it again for itself, never through a link at its name.
bool AtomicRun::begin(const Options& options, const Destination& destination, Copier& copier,
                      const Report& report) {
    folder_ = journal_folder_of(options, destination);
    kivcli::SystemError error = 0;
    const std::shared_ptr<Folder> journal = Folder::open(folder_, error);
    const std::int32_t begun =
        journal == nullptr ? KIVTRANSACTION_NO_JOURNAL
                           : Transaction::begin(kivtransaction::system_form(folder_), transaction_);
    if (begun != KIVTRANSACTION_OK) {
        report.fail(begun == KIVTRANSACTION_JOURNAL_REFUSED
                        ? quoted(folder_) + " holds a journal that is not to be trusted; "
                                            "kivcopy --recover tells which"
                        : "cannot keep a journal in " + quoted(folder_) +
                              (error != 0 ? ": " + kivcli::describe(error) : std::string()));
        say_nothing_changed();
        return false;
    }
    copier.stage_in(*transaction_, journal->status().identity.volume);
    return true;
}

bool AtomicRun::end(bool all_staged, const Copier& copier, const Report& report) {
    if (!all_staged) {
        transaction_->abort();
        say_nothing_changed();
        return false;
    }
    const std::int32_t committed = transaction_->commit();
    if (committed == KIVTRANSACTION_PENDING) {
        return report.fail("the run is committed, but not every target is in place yet: "
                           "kivcopy --recover=" + quoted(folder_) + " finishes it");
    }
    if (committed != KIVTRANSACTION_OK) {
        const std::int32_t member = transaction_->failed_member();
        const auto& lines = copier.told_after_commit();
        if (member >= 0 && static_cast<std::size_t>(member) < lines.size()) {
            report.fail(lines[static_cast<std::size_t>(member)] + ": the target " +
                        commit_refusal(committed));
        } else {
            report.fail("cannot write the journal in " + quoted(folder_));
        }
        say_nothing_changed();
        return false;
    }
    for (const std::string& line : copier.told_after_commit()) {
        report.tell(line);
    }
    return true;
}

bool recover_journal_folder(const Options& options) {
    const std::string folder =
        options.journal_folder.empty() ? options.operands.front() : options.journal_folder;
    int error = 0;
    const std::unique_ptr<kivtransaction::JournalFolder> journal =
        kivtransaction::JournalFolder::open(kivtransaction::system_form(folder), error);
    if (journal == nullptr) {
        say("cannot open the journal folder " + quoted(folder) + ": " + kivcli::describe(error));
        return false;
    }
    switch (kivtransaction::recover(*journal)) {
        case KIVTRANSACTION_OK:
            kivcli::print(quoted(folder) + ": nothing to do\n");
            return true;
        case KIVTRANSACTION_FINISHED:
            kivcli::print(quoted(folder) + ": finished: every target of the interrupted run is new\n");
            return true;
        case KIVTRANSACTION_UNDONE:
            kivcli::print(quoted(folder) + ": undone: every target of the interrupted run is old\n");
            return true;
        case KIVTRANSACTION_JOURNAL_REFUSED:
            say(quoted(folder) + ": refused: a journal there is not one to trust (not a plain "
                                 "file of the caller's with one name, or not a journal); it is "
                                 "left as it is, and nothing it names was touched");
            return false;
        default:
            say(quoted(folder) + ": cannot finish: a file that the journal names cannot be "
                                 "read or changed; the journal stays for the next --recover");
            return false;
    }
}

}  // namespace kivcopy_cli
