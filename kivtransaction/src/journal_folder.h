// SPDX-License-Identifier: Zlib
// The journal folder that a caller names, held open, and the journal files
// in it: "kivtransaction-" and 16 hex digits and ".journal", one for each
// transaction, created exclusively, locked by the transaction that writes
// it for as long as it lives (so that recovery passes over a live one),
// and appended to one record at a time, each made durable before the call
// goes on to the step that the record announces.
#ifndef KIVTRANSACTION_JOURNAL_FOLDER_H
#define KIVTRANSACTION_JOURNAL_FOLDER_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kivcommon/types.h"

namespace kivtransaction {

using kivcommon::NativeHandle;
using kivcommon::Path;

class JournalFile;

class JournalFolder {
public:
    ~JournalFolder();
    JournalFolder(const JournalFolder&) = delete;
    JournalFolder& operator=(const JournalFolder&) = delete;

    // Opens the folder at `path`, never through a link at its own name: a
    // folder reached so is refused, as is one that is not a directory.
    // Null, with the system's error.
    static std::unique_ptr<JournalFolder> open(const Path& path, int& error);

    // Creates a new journal, exclusively and readable by the caller alone,
    // locked, with `header` written and made durable, and its name made
    // durable in the folder. Null, with the system's error.
    std::unique_ptr<JournalFile> create(std::uint64_t transaction, const std::string& header,
                                        int& error);

    // The names of the journals in the folder, sorted; false where the
    // folder cannot be read.
    bool journal_names(std::vector<std::string>& names, int& error) const;

    // Opens the journal `name` for recovery, locked: null where a live
    // transaction holds it (`live`), or with the system's error where it
    // cannot be opened. What it is, whose, and how many names it has is for
    // the caller to judge (JournalFile::trusted).
    std::unique_ptr<JournalFile> open_journal(const std::string& name, bool& live, int& error);

    // Makes the folder's names durable.
    bool sync(int& error);

    NativeHandle handle() const { return handle_; }
    const Path& path() const { return path_; }

private:
    JournalFolder(NativeHandle handle, Path path) : handle_(handle), path_(std::move(path)) {}
    NativeHandle handle_;
    // The path it was opened by: Windows names its journals by it, while
    // the held handle keeps the folder from being renamed or removed.
    Path path_;
};

class JournalFile {
public:
    ~JournalFile();
    JournalFile(const JournalFile&) = delete;
    JournalFile& operator=(const JournalFile&) = delete;

    // Appends `record` and makes it durable before returning. False, with
    // the system's error.
    bool append(const std::string& record, int& error);
    // Appends `records` and makes them durable with one sync.
    bool append(const std::vector<std::string>& records, int& error);

    // Reads the whole journal; false with the system's error.
    bool read(std::string& bytes, int& error);

    // Whether the file may be trusted as a journal of the caller's: a
    // regular file with one name, the caller's, that no one else may write.
    // False with a reason.
    bool trusted(std::string& reason) const;

    // Removes the journal's name and makes that durable; the file stays
    // locked until this object goes (on Windows the file held is marked for
    // deletion and its handle closed at once, which removes the name).
    bool remove(int& error);

    const std::string& name() const { return name_; }

private:
    friend class JournalFolder;
    JournalFile(JournalFolder& folder, NativeHandle handle, std::string name)
        : folder_(folder), handle_(handle), name_(std::move(name)) {}

    JournalFolder& folder_;
    NativeHandle handle_;
    std::string name_;
};

// Whether `name` is a journal's: "kivtransaction-", 16 lowercase hex
// digits, ".journal".
bool is_journal_name(const std::string& name);
std::string journal_name(std::uint64_t transaction);

}  // namespace kivtransaction

#endif
