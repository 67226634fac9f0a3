/* SPDX-License-Identifier: Zlib */
// One substitution, from the temporary name to the restored times, as the
// library's export makes it; and the same steps one at a time, for a front
// end that patches one file, and for a batch (batch.h), which shares the
// syncs that make many files durable.
#ifndef KIVSUBST_SUBSTITUTE_H
#define KIVSUBST_SUBSTITUTE_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bytes.h"
#include "paths.h"
#include "platform.h"
#include "scan.h"
#include "scanners.h"
#include "tempname.h"
#include "temporary_store.h"
#include "text.h"
#include "text_scan.h"

namespace kivsubst {

// Why a substitution failed, for a front end that names the file and the
// reason in its own words; the library's own line has been printed already.
struct Failure {
    enum class Step {
        temporary_name,    // no free temporary name (2)
        open_file,         // the file cannot be opened for reading (3)
        create_temporary,  // the temporary file cannot be created (4)
        memory,            // out of memory (6)
        write_temporary,   // the result could not be written in full (7)
        write_back,        // the result could not be written over the file (7)
        keep_companion,    // the caller's copy (its backup) could not be made durable (7)
        encoding,          // its encoding cannot be told, or the text not written in it (9)
        stopped,           // the scanner's stop hook ended the scan; nothing was printed
    };
    Step step = Step::open_file;
    // The system's error number, taken right after the call that failed,
    // before anything else could change it; described only when told.
    int error = 0;
    // Our own words, where the reason is no system call's failure: they
    // stand instead of the error number's.
    std::string note;
    Path temporary;        // the temporary file, or its directory for temporary_name
    bool temporary_kept = false;  // it holds the complete result

    // Why, in words: the note, else the system's words for the error.
    std::string reason() const { return note.empty() ? platform::describe(error) : note; }
    void because(int system_error) {
        error = system_error;
        note.clear();
    }
    void because(std::string words) { note = std::move(words); }
};

// A file named by a directory that the caller holds and a name in it, as a
// front end's walk or command line opened it: the file is opened relative
// to that directory, and the temporary file is made there too unless TMP
// names a directory.
struct FileAt {
    platform::Directory directory;
    Path name;
    Path shown;  // the file as the library's lines name it
    platform::Links links = platform::Links::refuse;
    // The file the caller checked: another file found at the name is not
    // patched (it fails as one that cannot be opened).
    std::optional<platform::FileIdentity> expected;
    // Whether the file's directory is still to be settled (kivfs/leftovers.h)
    // where it holds the temporary file: a front end settles each directory
    // once a run, not once a file.
    bool settle = true;
    // The run's TMP directory and spare temporary files, where the caller
    // keeps one for many files: the temporary file is a spare of it where
    // one is left, else made in its directory, and given back to it when
    // the file is done with it. Null, or closed: TMP is looked up by its
    // name, as for a file alone.
    TemporaryStore* store = nullptr;
    // Where set, the temporary file is a staged file beside the file, in
    // `directory`, under the name this gives (a transaction records the
    // name before it gives it); none refuses it (2). A name taken is not
    // passed over for another: the temporary file cannot be created (4).
    std::function<std::optional<Path>(platform::Directory& directory)> staged_name;
};

// When the writes of a step are made durable: by the step itself, or by the
// batch, which syncs many files at once before the next step.
enum class Durability { now, by_caller };

// One file's substitution, step by step. Each step that fails prints the
// library's line, records why in failure(), and returns the result code;
// a step that succeeds returns 0, and the next may follow. What is left on
// disk after each outcome is what the export's call leaves.
class Substitution {
public:
    explicit Substitution(Path path);
    explicit Substitution(FileAt file);
    ~Substitution();
    Substitution(Substitution&&) noexcept;
    Substitution& operator=(Substitution&&) noexcept;

    // Chooses the temporary name, opens the file, creates the temporary
    // file and scans the file into it with the scanner `scanners` gives for
    // it, which may serve many files in turn. For text in the file's own
    // encoding, the file's mark is read first (9 when the encoding cannot
    // be told, the mark names another encoding than the one named, or the
    // text cannot be written in it).
    int prepare(Scanners& scanners);
    // Marks the temporary file as the result's one complete copy, which
    // no later call's settling takes, until the file written back is
    // durable and the temporary file goes; a call killed or cut off while
    // it writes the result over the file leaves it so marked (mode 1600 on
    // POSIX, as a result kept after 7). A batch marks its files before
    // their shared sync.
    int mark_temporary_as_result();
    // Marks the temporary file (as above) and makes it durable, data and
    // directory entry.
    int make_temporary_durable();
    // Opens the file again, checks that it is the file that was read, and
    // writes the result over it. A FileAt whose name no longer stands for
    // the file checked fails as in prepare() (3), its temporary file
    // removed; the export's path keeps the result (7).
    int write_back(Durability durability);
    // Deletes the temporary file and gives the file back its times; the
    // file written stays open, for the caller to sync, when `closing` says
    // later (it is closed when the substitution goes).
    enum class Closing { now, later };
    void finish(Closing closing = Closing::now);
    // The same steps the other way round, for a caller that makes the times
    // durable with the file's content: the times right after the
    // write-back, and, once the file is durable, the temporary file goes.
    void restore_times();
    void remove_temporary();

    // Runs every step: the export's call. 0, 1, or a failure's result.
    int run(Scanners& scanners);

    // After prepare(): the file as it was read (its position at its end),
    // the replacements made, and the file's recorded status.
    platform::File& input();
    std::uint64_t replacements() const;
    const platform::FileStatus& status() const;
    // After prepare(): the temporary file, for a batch to sync with
    // others; keep_temporary() leaves it in place, holding the result, when
    // a sync that the batch owed it failed.
    platform::File& temporary();
    void keep_temporary();
    // For a batch whose shared sync failed: syncs the file written back on
    // its own; if that fails too, records why, keeps the temporary file
    // (the only durable copy of the result) and returns 7.
    int sync_written();
    // For a batch whose sync of the caller's copy kept with this file (its
    // backup) failed with the system's `error`: records why and returns 7.
    int companion_not_durable(int error);
    // After write_back(): the file written.
    platform::File& written();
    // Once prepare() has begun: the directory where the temporary file is
    // made and deleted, for a batch to sync its entries; none before.
    platform::Directory* temporary_directory();
    // 0 if something was replaced, else 1.
    int result() const;
    const Failure& failure() const { return failure_; }

private:
    struct State;
    int fail(Failure::Step step, int error, int code);
    int fail(Failure::Step step, std::string note, int code);
    int not_the_checked_file(bool another_file);
    int open_input();
    int scan_into_temporary(Scanner* scanner);

    Path path_;
    std::optional<FileAt> at_;  // until prepare() takes it
    std::unique_ptr<State> state_;
    Failure failure_;
};

// Replaces every occurrence of `pattern` (at least one byte) in the file at
// `path` with `replacement`, printing a line for a failure. Returns the
// library's result code.
int substitute(const Path& path, Bytes pattern, Bytes replacement);
// Replaces every occurrence of a text in the file at `path`, the pair
// written in `encoding`, or in the file's own (from_mark); as replaceText.
int substitute_text(const Path& path, TextPair pair, text::Encoding encoding);

}  // namespace kivsubst

#endif
