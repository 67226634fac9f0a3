// SPDX-License-Identifier: Zlib
// The exports: each transaction is a small number that installers pass
// easily, found in one table that every thread shares. A call on a
// transaction holds that transaction's own lock, so that calls on
// different transactions run at once and calls on one run one by one.
// Nothing thrown ever leaves the library: memory running out is the one
// failure that throws, and it gives KIVTRANSACTION_NO_JOURNAL... or the
// member's own code for it.
#include "kivtransaction.h"

#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "kivcopy.h"
#include "kivsubst.h"
#include "journal_folder.h"
#include "report.h"
#include "scanners.h"
#include "text.h"
#include "text_scan.h"
#include "recovery.h"
#include "transaction.h"

namespace {

using kivtransaction::Transaction;

// The open transactions by number. Numbers start at 1 and are not reused
// while the process lives (a stale number finds nothing).
class Table {
public:
    std::int32_t add(std::shared_ptr<Transaction> transaction) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (next_ == INT32_MAX) {
            return 0;
        }
        const std::int32_t number = next_++;
        open_[number] = std::move(transaction);
        return number;
    }
    std::shared_ptr<Transaction> find(std::int32_t number) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = open_.find(number);
        return found == open_.end() ? nullptr : found->second;
    }
    // An ended transaction leaves only the member that failed its commit.
    void end(std::int32_t number, std::int32_t failed_member) {
        std::lock_guard<std::mutex> lock(mutex_);
        open_.erase(number);
        ended_[number] = failed_member;
    }
    bool failed_member(std::int32_t number, std::int32_t& member) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = ended_.find(number);
        if (found == ended_.end()) {
            return false;
        }
        member = found->second;
        return true;
    }

private:
    std::mutex mutex_;
    std::map<std::int32_t, std::shared_ptr<Transaction>> open_;
    std::map<std::int32_t, std::int32_t> ended_;
    std::int32_t next_ = 1;
};

Table& table() {
    static Table* const open = new Table;  // never destroyed: calls may come during exit
    return *open;
}

// Runs `call` on the transaction `number` under its lock; a transaction
// that the call ends leaves the table.
template <typename Call>
std::int32_t on_transaction(std::int32_t number, bool ends, Call call) {
    const std::shared_ptr<Transaction> transaction = table().find(number);
    if (transaction == nullptr) {
        return KIVTRANSACTION_UNKNOWN;
    }
    std::int32_t result = KIVTRANSACTION_UNKNOWN;
    {
        std::lock_guard<std::mutex> lock(transaction->calls());
        result = call(*transaction);
    }
    if (ends) {
        table().end(number, transaction->failed_member());
    }
    return result;
}

}  // namespace

extern "C" {

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionBegin(const char* journal_folder,
                                                                   int32_t* transaction) {
    if (journal_folder == nullptr || *journal_folder == '\0' || transaction == nullptr) {
        return KIVTRANSACTION_INVALID_ARGUMENT;
    }
    try {
        std::unique_ptr<Transaction> made;
        const std::int32_t begun = Transaction::begin(journal_folder, made);
        if (begun != KIVTRANSACTION_OK) {
            return begun;
        }
        const std::int32_t number = table().add(std::move(made));
        if (number == 0) {
            return KIVTRANSACTION_NO_JOURNAL;
        }
        *transaction = number;
        return KIVTRANSACTION_OK;
    } catch (const std::bad_alloc&) {
        return KIVTRANSACTION_NO_JOURNAL;
    }
}

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionInstall(int32_t transaction,
                                                                     const char* source,
                                                                     const char* target,
                                                                     int32_t flags) {
    try {
        return on_transaction(transaction, false, [&](Transaction& open) {
            return open.install(source, target, flags);
        });
    } catch (const std::bad_alloc&) {
        return KIVCOPY_TARGET_NOT_WRITTEN;
    }
}

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionReplace(int32_t transaction,
                                                                     const char* path,
                                                                     const char* pattern, int32_t n,
                                                                     const char* replacement,
                                                                     int32_t m) {
    if (path == nullptr || pattern == nullptr || n < 1 || m < 0 ||
        (replacement == nullptr && m != 0)) {
        return kivsubst::report::invalid_argument();
    }
    try {
        kivsubst::ByteScanners scanners(
            {{std::string(pattern, static_cast<std::size_t>(n)),
              replacement == nullptr ? std::string()
                                     : std::string(replacement, static_cast<std::size_t>(m))}});
        return on_transaction(transaction, false, [&](Transaction& open) {
            return open.replace(path, scanners);
        });
    } catch (const std::bad_alloc&) {
        return kivsubst::report::no_memory();
    }
}

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionReplaceText(int32_t transaction,
                                                                         const char* path,
                                                                         const char* pattern,
                                                                         const char* replacement,
                                                                         int32_t encoding) {
    if (path == nullptr || pattern == nullptr || replacement == nullptr || pattern[0] == '\0' ||
        !kivsubst::text::is_encoding(encoding) ||
        (encoding == static_cast<int32_t>(kivsubst::text::Encoding::ansi) &&
         !kivsubst::platform::has_ansi_code_page)) {
        return kivsubst::report::invalid_argument();
    }
    try {
        std::optional<std::u16string> old_text = kivsubst::text::from_utf8(pattern);
        std::optional<std::u16string> new_text = kivsubst::text::from_utf8(replacement);
        if (!old_text || !new_text) {
            return kivsubst::report::bad_encoding(path);
        }
        kivsubst::TextScanners scanners({{std::move(*old_text), std::move(*new_text)}},
                                        static_cast<kivsubst::text::Encoding>(encoding));
        return on_transaction(transaction, false, [&](Transaction& open) {
            return open.replace(path, scanners);
        });
    } catch (const std::bad_alloc&) {
        return kivsubst::report::no_memory();
    }
}

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionCommit(int32_t transaction) {
    try {
        return on_transaction(transaction, true,
                              [](Transaction& open) { return open.commit(); });
    } catch (const std::bad_alloc&) {
        return KIVTRANSACTION_PENDING;
    }
}

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionAbort(int32_t transaction) {
    try {
        return on_transaction(transaction, true, [](Transaction& open) { return open.abort(); });
    } catch (const std::bad_alloc&) {
        return KIVTRANSACTION_PENDING;
    }
}

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionFailedMember(int32_t transaction) {
    try {
        std::int32_t member = -1;
        return table().failed_member(transaction, member) ? member : KIVTRANSACTION_UNKNOWN;
    } catch (const std::bad_alloc&) {
        return KIVTRANSACTION_UNKNOWN;
    }
}

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivRecover(const char* journal_folder) {
    if (journal_folder == nullptr || *journal_folder == '\0') {
        return KIVTRANSACTION_INVALID_ARGUMENT;
    }
    try {
        int error = 0;
        std::unique_ptr<kivtransaction::JournalFolder> folder =
            kivtransaction::JournalFolder::open(journal_folder, error);
        if (folder == nullptr) {
            return KIVTRANSACTION_NO_JOURNAL;
        }
        return kivtransaction::recover(*folder);
    } catch (const std::bad_alloc&) {
        return KIVTRANSACTION_NO_JOURNAL;
    }
}

}  // extern "C"
