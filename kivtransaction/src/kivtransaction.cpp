// SPDX-License-Identifier: Zlib
// The exports: each transaction is a small number that installers pass
// easily, found in one table that every thread shares. Paths are taken
// into the system's own form here: on Windows a narrow path is text in the
// ANSI code page, as kivcopy's and kivsubst's narrow exports take it, and
// each export that takes a path or text has a wide twin. A call on a
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
#include <optional>
#include <string>
#include <type_traits>

#include "kivcopy.h"
#include "kivsubst.h"
#include "journal_folder.h"
#include "report.h"
#include "scanners.h"
#include "text.h"
#include "text_scan.h"
#include "recovery.h"
#include "transaction.h"

#if defined(_WIN32)
#include "kivcommon/win32_paths.h"
#endif

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


using kivcommon::PathChar;

// Each export's work, on paths in the system's own form.

std::int32_t begin(const PathChar* journal_folder, std::int32_t* transaction) {
    if (journal_folder == nullptr || *journal_folder == 0 || transaction == nullptr) {
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

std::int32_t install(std::int32_t transaction, const PathChar* source, const PathChar* target,
                     std::int32_t flags) {
    try {
        return on_transaction(transaction, false, [&](Transaction& open) {
            return open.install(source, target, flags);
        });
    } catch (const std::bad_alloc&) {
        return KIVCOPY_TARGET_NOT_WRITTEN;
    }
}

std::int32_t make_folder(std::int32_t transaction, const PathChar* path) {
    if (path == nullptr || *path == 0) {
        return KIVTRANSACTION_INVALID_ARGUMENT;
    }
    try {
        return on_transaction(transaction, false,
                              [&](Transaction& open) { return open.make_folder(path); });
    } catch (const std::bad_alloc&) {
        return KIVCOPY_TARGET_NOT_WRITTEN;
    }
}

std::int32_t replace(std::int32_t transaction, const PathChar* path, const char* pattern,
                     std::int32_t n, const char* replacement, std::int32_t m) {
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

// The caller's text as UTF-16: UTF-8 from a narrow export, UTF-16 from a
// wide one; none when it is not valid text.
std::optional<std::u16string> text_of(const char* text) {
    return kivsubst::text::from_utf8(text);
}

#if defined(_WIN32)
std::optional<std::u16string> text_of(const wchar_t* text) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wide strings");
    std::u16string units(text, text + std::char_traits<wchar_t>::length(text));
    return kivsubst::text::from_utf16(units.c_str());
}
#endif

template <typename Char>
std::int32_t replace_text(std::int32_t transaction, const PathChar* path, const Char* pattern,
                          const Char* replacement, std::int32_t encoding) {
    if (path == nullptr || pattern == nullptr || replacement == nullptr || pattern[0] == 0 ||
        !kivsubst::text::is_encoding(encoding) ||
        (encoding == static_cast<int32_t>(kivsubst::text::Encoding::ansi) &&
         !kivsubst::platform::has_ansi_code_page)) {
        return kivsubst::report::invalid_argument();
    }
    try {
        std::optional<std::u16string> old_text = text_of(pattern);
        std::optional<std::u16string> new_text = text_of(replacement);
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

std::int32_t recover(const PathChar* journal_folder) {
    if (journal_folder == nullptr || *journal_folder == 0) {
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

#if defined(_WIN32)

// A narrow path in the system's own form: text in the ANSI code page taken
// into UTF-16; none for text that is not valid there, which names no file.
// Null stays null, for the export to refuse as it refuses it.
struct SystemPath {
    bool valid = true;
    std::optional<std::wstring> wide;
    const wchar_t* get() const { return wide ? wide->c_str() : nullptr; }
};

SystemPath system_path_of(const char* path) {
    SystemPath converted;
    if (path != nullptr) {
        converted.wide = kivcommon::from_ansi(path);
        converted.valid = converted.wide.has_value();
    }
    return converted;
}

#endif

}  // namespace

extern "C" {

#if defined(_WIN32)

// A journal folder whose narrow path is no text in the ANSI code page
// cannot be opened.
KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionBegin(const char* journal_folder,
                                                                   int32_t* transaction) {
    try {
        const SystemPath folder = system_path_of(journal_folder);
        return folder.valid ? begin(folder.get(), transaction) : KIVTRANSACTION_NO_JOURNAL;
    } catch (const std::bad_alloc&) {
        return KIVTRANSACTION_NO_JOURNAL;
    }
}

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionBeginW(const wchar_t* journal_folder,
                                                                    int32_t* transaction) {
    return begin(journal_folder, transaction);
}

// Paths that are no text in the ANSI code page name no file, as for
// KivInstallFile: the source is then not opened (10), or the target cannot
// be written (-5010); nothing is staged or recorded.
KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionInstall(int32_t transaction,
                                                                     const char* source,
                                                                     const char* target,
                                                                     int32_t flags) {
    try {
        const SystemPath from = system_path_of(source);
        const SystemPath to = system_path_of(target);
        if (!from.valid) {
            return KIVCOPY_SOURCE_NOT_OPENED;
        }
        if (!to.valid) {
            return KIVCOPY_TARGET_NOT_WRITTEN;
        }
        return install(transaction, from.get(), to.get(), flags);
    } catch (const std::bad_alloc&) {
        return KIVCOPY_TARGET_NOT_WRITTEN;
    }
}

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionInstallW(int32_t transaction,
                                                                      const wchar_t* source,
                                                                      const wchar_t* target,
                                                                      int32_t flags) {
    return install(transaction, source, target, flags);
}

// A path that is no text in the ANSI code page names no folder to make in:
// KIVCOPY_TARGET_NOT_WRITTEN, as for an install's target.
KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionMakeFolder(int32_t transaction,
                                                                        const char* path) {
    try {
        const SystemPath folder = system_path_of(path);
        if (path != nullptr && !folder.valid) {
            return KIVCOPY_TARGET_NOT_WRITTEN;
        }
        return make_folder(transaction, folder.get());
    } catch (const std::bad_alloc&) {
        return KIVCOPY_TARGET_NOT_WRITTEN;
    }
}

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionMakeFolderW(int32_t transaction,
                                                                         const wchar_t* path) {
    return make_folder(transaction, path);
}

// A path that is no text in the ANSI code page names no file (3), as for
// replaceString; the patterns are bytes either way.
KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionReplace(int32_t transaction,
                                                                     const char* path,
                                                                     const char* pattern, int32_t n,
                                                                     const char* replacement,
                                                                     int32_t m) {
    try {
        const SystemPath file = system_path_of(path);
        if (!file.valid) {
            return kivsubst::report::cannot_open(path);
        }
        return replace(transaction, file.get(), pattern, n, replacement, m);
    } catch (const std::bad_alloc&) {
        return kivsubst::report::no_memory();
    }
}

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionReplaceW(int32_t transaction,
                                                                      const wchar_t* path,
                                                                      const char* pattern,
                                                                      int32_t n,
                                                                      const char* replacement,
                                                                      int32_t m) {
    return replace(transaction, path, pattern, n, replacement, m);
}

// The path as KivTransactionReplace takes it; the text is UTF-8, as
// replaceText takes it.
KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionReplaceText(int32_t transaction,
                                                                         const char* path,
                                                                         const char* pattern,
                                                                         const char* replacement,
                                                                         int32_t encoding) {
    try {
        const SystemPath file = system_path_of(path);
        if (!file.valid) {
            return kivsubst::report::cannot_open(path);
        }
        return replace_text(transaction, file.get(), pattern, replacement, encoding);
    } catch (const std::bad_alloc&) {
        return kivsubst::report::no_memory();
    }
}

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionReplaceTextW(int32_t transaction,
                                                                          const wchar_t* path,
                                                                          const wchar_t* pattern,
                                                                          const wchar_t* replacement,
                                                                          int32_t encoding) {
    return replace_text(transaction, path, pattern, replacement, encoding);
}

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivRecover(const char* journal_folder) {
    try {
        const SystemPath folder = system_path_of(journal_folder);
        return folder.valid ? recover(folder.get()) : KIVTRANSACTION_NO_JOURNAL;
    } catch (const std::bad_alloc&) {
        return KIVTRANSACTION_NO_JOURNAL;
    }
}

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivRecoverW(const wchar_t* journal_folder) {
    return recover(journal_folder);
}

#else

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionBegin(const char* journal_folder,
                                                                   int32_t* transaction) {
    return begin(journal_folder, transaction);
}

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionInstall(int32_t transaction,
                                                                     const char* source,
                                                                     const char* target,
                                                                     int32_t flags) {
    return install(transaction, source, target, flags);
}

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionMakeFolder(int32_t transaction,
                                                                        const char* path) {
    return make_folder(transaction, path);
}

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionReplace(int32_t transaction,
                                                                     const char* path,
                                                                     const char* pattern, int32_t n,
                                                                     const char* replacement,
                                                                     int32_t m) {
    return replace(transaction, path, pattern, n, replacement, m);
}

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivTransactionReplaceText(int32_t transaction,
                                                                         const char* path,
                                                                         const char* pattern,
                                                                         const char* replacement,
                                                                         int32_t encoding) {
    return replace_text(transaction, path, pattern, replacement, encoding);
}

KIVTRANSACTION_API int32_t KIVTRANSACTION_CALL KivRecover(const char* journal_folder) {
    return recover(journal_folder);
}

#endif

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

}  // extern "C"
