/* SPDX-License-Identifier: Zlib */
// --atomic and --recover: the files of a run installed as one transaction
// of kivtransaction's, so that after a failure, a kill or a power cut every
// target holds its old content or every target its new; and the journal
// folder of a run that was cut off, finished or undone.
#ifndef KIVCOPY_CLI_ATOMIC_H
#define KIVCOPY_CLI_ATOMIC_H

#include <memory>
#include <string>

#include "copier.h"
#include "destination.h"
#include "options.h"
#include "report.h"

namespace kivcopy_cli {

// The journal folder of a run: FOLDER where --atomic or --recover names
// one, else the DIRECTORY the copies go into, or for SOURCE TARGET the
// directory that holds TARGET.
std::string journal_folder_of(const Options& options, const Destination& destination);

// A run's transaction, from its beginning, before the first source, to its
// commit or abort.
class AtomicRun {
public:
    AtomicRun();
    ~AtomicRun();
    AtomicRun(const AtomicRun&) = delete;
    AtomicRun& operator=(const AtomicRun&) = delete;

    // Begins the transaction in the run's journal folder and has `copier`
    // stage every file in it; false, with the failure told, where the
    // folder cannot hold a journal.
    bool begin(const Options& options, const Destination& destination, Copier& copier,
               const Report& report);
    // Commits what was staged where every source was (`all_staged`), else
    // aborts; tells the copies (-v) or that no target changed. True where
    // every target is new.
    bool end(bool all_staged, const Copier& copier, const Report& report);

private:
    std::string folder_;
    std::unique_ptr<kivtransaction::Transaction> transaction_;
};

// Finishes or undoes what an interrupted run left in the run's journal
// folder and prints what it did on standard output. True once the folder
// is clean, else false after telling why on standard error.
bool recover_journal_folder(const Options& options);

}  // namespace kivcopy_cli

#endif
