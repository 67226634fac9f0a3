/* SPDX-License-Identifier: Zlib */
// --atomic and --recover: the files of a run patched as one transaction of
// kivtransaction's, so that after a failure, a kill or a power cut every
// file holds its old content or every file its new; and the journal folder
// of a run that was cut off, finished or undone.
#ifndef KIVSUBST_CLI_ATOMIC_H
#define KIVSUBST_CLI_ATOMIC_H

#include <string>
#include <vector>

#include "options.h"
#include "system.h"
#include "tally.h"
#include "targets.h"

namespace kivsubst_cli {

// Exit statuses of the transaction's own steps: its journal could not be
// kept or was not to be trusted, or a file changed before the commit (no
// file changed); the commit made, with what is left of it for --recover.
constexpr int exit_journal = 10;
constexpr int exit_left_to_recover = 11;

// The journal folder of a run: FOLDER where --atomic or --recover names
// one, else the directory that holds the first FILE operand, or with -r
// the first FILE operand itself where it is a directory.
std::string journal_folder_of(const Options& options);

// Settles what an interrupted run left in the run's journal folder (the
// next run there would do so anyway), before the files are collected, so
// that a walk never takes a journal or a staged file of that run for a
// file of this one. 0 to go on, else exit_journal, after telling why.
int settle_journal_folder(const Options& options);

// Patches every target, each checked before, as one transaction with its
// journal in the run's journal folder, which must be on the targets'
// volume. A target that fails, a guard that refuses the commit, or a stop
// that `stops` holds before the commit leaves every file old; each failure
// is told as the run tells it without --atomic, then that no file changed.
void patch_atomically(std::vector<Target>& targets, const Options& options, Tally& tally,
                      const HeldStops& stops);

// Finishes or undoes what an interrupted run left in the run's journal
// folder and prints what it did on standard output. 0 once the folder is
// clean, else exit_journal, after telling why on standard error.
int recover_journal_folder(const Options& options);

}  // namespace kivsubst_cli

#endif
