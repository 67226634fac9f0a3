// SPDX-License-Identifier: Zlib
// Recovery of what transactions that ended without finishing left in a
// journal folder: a journal with its commit record has every member put
// in place (all new); any other has every staged member removed (all old).
// Either way the journal then goes. A journal that a live transaction
// holds is passed over; one that is not to be trusted is left as it is,
// and nothing it names is touched. Recovery may itself be cut off at any
// point and run again.
#ifndef KIVTRANSACTION_RECOVERY_H
#define KIVTRANSACTION_RECOVERY_H

#include <cstdint>

#include "journal_folder.h"

namespace kivtransaction {

// KIVTRANSACTION_OK where there was nothing to recover, FINISHED where a
// transaction was finished (and none refused), UNDONE where transactions
// were only undone, JOURNAL_REFUSED where a journal was refused (the
// others are recovered all the same), NO_JOURNAL where the folder cannot
// be read or a step failed (the journal stays for the next recovery).
std::int32_t recover(JournalFolder& folder);

}  // namespace kivtransaction

#endif
