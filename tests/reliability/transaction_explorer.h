/* SPDX-License-Identifier: Zlib */
// The power-loss explorer for transactions: replays an operation log of a
// transaction (or of a recovery) through the crash model and, for every
// crash state at every point, makes that state real in a scratch tree and
// lets the real recovery (KivRecover) run on it, then judges what it left:
// every target old or every target new, nothing of the transaction left.
//
// A journal records the identities (device and inode) of its member
// folders and staged files, which a copy made on disk cannot keep: the
// journal that a state leaves is read, each identity it records turned
// into the made copy's, each folder's path into the copy's, and the
// records written again with the journal's own writers.
#ifndef KIV_TRANSACTION_EXPLORER_H
#define KIV_TRANSACTION_EXPLORER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "crash_explorer.h"
#include "oplog.h"

namespace kivcrash {

// A file that existed before the log began, in one of the case's folders.
struct ExistingFile {
    InodeId directory;
    std::string name;
    InodeId inode;
    std::string content;
};

// A member's target: its folder, its name, whether it existed before the
// transaction (and its content then), and the content the member installs.
struct TransactionTarget {
    InodeId directory;
    // The folders between `directory` and the target ("made/inner"), made
    // by the transaction; empty for a target in `directory` itself.
    std::string under;
    std::string name;
    bool existed = false;
    std::string old_content;
    std::string new_content;
};

// What every target must hold in a cut after the log's last operation,
// once the call has returned: anything that keeps the promise (the call
// failed or was left to recovery), all new (a commit that returned 0, or
// the recovery of a committed journal), all old (the recovery of an
// uncommitted one). A call that returned done also leaves no journal for
// recovery to find.
enum class AtTheEnd { either, all_new, all_old };

struct TransactionCase {
    InodeId journal_folder;
    std::vector<InodeId> member_folders;  // each once, in any order
    std::vector<ExistingFile> existing;
    std::vector<TransactionTarget> targets;
    AtTheEnd at_the_end = AtTheEnd::either;
    // The folder under which each state is made real: emptied and made
    // anew for each one.
    std::string scratch;
};

struct TransactionExploration {
    std::size_t points = 0;
    std::size_t exhaustive_points = 0;
    std::uint64_t states = 0;
    // Crash states after whose recovery the promise did not hold, each
    // counted once; journals refused count here too.
    std::uint64_t violations = 0;
    // Of those, the states whose journal was refused although it was only
    // cut off by the crash in the middle of an append: what it held before
    // the append reads as a journal, or it held no whole header yet. The
    // explorer goes on past such a refusal as if the cut-off bytes were
    // dropped (or, without a header, the journal removed), so that the rest
    // of the promise is still judged in that state.
    std::uint64_t cut_off_journals_refused = 0;
    // The states that broke the promise in any other way.
    std::uint64_t other_violations = 0;
    std::vector<std::string> examples;
};

// Judges every crash state at the start of `log` and after each operation
// that can change what a cut leaves, and after the end where the case says
// what the end must hold.
TransactionExploration explore_transaction(const std::vector<Op>& log,
                                           const TransactionCase& transaction,
                                           const Limits& limits);

// Makes real in `transaction.scratch` the one state that a cut after the
// first `operations` operations of `log` leaves when everything the process
// did had reached the disk, with its journal rewritten for the copy, as a
// recovery's starting point. False, with `why`, where that cannot be done.
bool materialise_whole(const std::vector<Op>& log, std::size_t operations,
                       const TransactionCase& transaction, std::string& why);

// The journal folder and the member folders' places in a scratch tree.
std::string scratch_journal_folder(const TransactionCase& transaction);
std::string scratch_member_folder(const TransactionCase& transaction, std::size_t index);

}  // namespace kivcrash

#endif
