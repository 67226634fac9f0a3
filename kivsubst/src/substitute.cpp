// SPDX-License-Identifier: Zlib
#include "substitute.h"

#include <optional>
#include <string>
#include <utility>

#include "kivfs/leftovers.h"
#include "kivsubst.h"
#include "paths.h"
#include "platform.h"
#include "report.h"
#include "scan.h"
#include "tempname.h"
#include "writeback.h"

namespace kivsubst {
namespace {

using platform::Directory;
using platform::File;

// The temporary file, deleted when it goes out of scope unless it is kept
// on purpose or was deleted already. It is created, synced and deleted
// through its directory's handle, never by a name looked up again. One of
// a run's store goes back to the store as a spare instead of being
// deleted.
class TemporaryFile {
public:
    TemporaryFile(Directory& directory, Path name, File file, TemporaryStore* store)
        : directory_(directory), name_(std::move(name)), file_(std::move(file)), store_(store) {}
    ~TemporaryFile() {
        if (!settled_) {
            remove();
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    File& file() { return file_; }

    // Marks the file as the one complete copy of the result, from before
    // it is made durable until the file written back is: a call killed,
    // or cut off by a power cut, while it writes the result over the file
    // leaves the result where no later call's settling takes it.
    bool mark() {
        marked_ = marked_ || kivfs::leave_for_the_user(file_.handle());
        return marked_;
    }
    // Makes the complete result durable, data, mark and directory entry.
    bool make_durable() { return mark() && file_.sync() && directory_.sync_entry(file_); }
    // Leaves the file in place, holding the result, marked so that no
    // later call's settling takes it for a killed call's.
    void keep() {
        kivfs::leave_for_the_user(file_.handle());
        file_.close();
        settled_ = true;
    }
    void remove() {
        if (store_ != nullptr && (!marked_ || kivfs::take_back_from_the_user(file_.handle()))) {
            store_->give_back({std::move(name_), std::move(file_)});
        } else {
            file_.close();
            directory_.remove(name_);
        }
        settled_ = true;
    }

private:
    Directory& directory_;
    Path name_;
    File file_;
    TemporaryStore* store_;  // the run's, or null
    bool marked_ = false;    // see mark()
    bool settled_ = false;   // kept or removed
};

// Creates the temporary file exclusively. A name that was taken after it
// was checked (by another process, or by a link planted there) is skipped
// for the service's next free name; `name` is left at the last name tried.
File create_temporary(Directory& directory, Path& name) {
    for (;;) {
        platform::Creation outcome = platform::Creation::failed;
        File file = directory.create_new(name, outcome);
        if (outcome != platform::Creation::name_taken) {
            return file;
        }
        std::optional<Path> next = tempname::next_free_name(directory);
        if (!next) {
            return File();
        }
        name = std::move(*next);
    }
}

// How opening the file again for the write-back went: opened; refused (the
// file read is still at its name but cannot be written); gone (the name
// stands for nothing that can be opened, or for a link where none is
// followed); or another file (the name stands for a file other than the
// one read).
enum class Reopening { opened, refused, gone, another_file };

// The file: a name in a directory held open, or the caller's own path.
// The export's file is opened through the temporary file's directory when
// that is the file's own and the directory is held open, so that the file
// and its temporary file are side by side by construction; else by the
// caller's own name.
class Target {
public:
    Target(Directory* directory, Path name, platform::Links links)
        : directory_(directory), name_(std::move(name)), links_(links) {}

    File open_for_reading() {
        return directory_ != nullptr ? directory_->open_for_reading(name_, links_)
                                     : File::open_for_reading(name_);
    }
    // Opens the file for the write-back, but only if it is still the very
    // file that was read: a file swapped for another, or for a link to
    // another, between the scan and the write-back is never written.
    // `why` says why when no file is returned, and the outcome whether
    // the name no longer stands for the file read or that file refused.
    File open_same_for_overwriting(const platform::FileIdentity& read, Failure& why,
                                   Reopening& outcome) {
        File file = directory_ != nullptr ? directory_->open_for_overwriting(name_, links_)
                                          : File::open_for_overwriting(name_);
        if (!file.is_open()) {
            why.because(platform::last_error());
            outcome = still_holds(read) ? Reopening::refused : Reopening::gone;
            return File();
        }
        std::optional<platform::FileStatus> opened = file.status();
        if (!opened) {
            why.because(platform::last_error());
            outcome = Reopening::refused;
            return File();
        }
        if (!(opened->identity == read)) {
            why.because("it is no longer the file that was read");
            outcome = Reopening::another_file;
            return File();
        }
        outcome = Reopening::opened;
        return file;
    }

private:
    // Whether the name still stands for the file read, after it could not
    // be opened for writing: opened for reading, as the scan opened it, it
    // is found to be that file, which then merely refused to be written.
    // Anything else (nothing at the name, a link where none is followed,
    // another file) means that the file read is no longer there. The file
    // read is still held open, so no other file can carry its identity.
    bool still_holds(const platform::FileIdentity& read) {
        const File again = open_for_reading();
        const std::optional<platform::FileStatus> found =
            again.is_open() ? again.status() : std::nullopt;
        return found && found->identity == read;
    }

    Directory* directory_;  // null: name_ is the caller's whole path
    Path name_;
    platform::Links links_;
};

}  // namespace

// Everything one substitution holds from step to step. The temporary file
// and the target refer to the directories, so the state stays where it was
// made.
struct Substitution::State {
    // The export's file, by its path.
    explicit State(const Path& path) {
        const tempname::Choice choice = tempname::choose_directory(paths::directory_part(path));
        own_directory = Directory::open(choice.directory);
        const bool beside = platform::directories_are_held_open && choice.is_files_own &&
                            own_directory.is_open();
        target.emplace(beside ? &own_directory : nullptr, beside ? paths::name_part(path) : path,
                       platform::Links::follow);
    }
    // A front end's file, at a name in a directory it holds.
    explicit State(FileAt& file) {
        if (file.staged_name) {
            own_directory = std::move(file.directory);
            target.emplace(&own_directory, file.name, file.links);
            staged_name = std::move(file.staged_name);
            settle = false;
        } else if (file.store != nullptr && file.store->directory() != nullptr) {
            // the store settled TMP when it opened it
            store = file.store;
            directory = store->directory();
            files_directory = std::move(file.directory);
            target.emplace(&files_directory, file.name, file.links);
            settle = false;
        } else if (std::optional<Path> tmp = tempname::tmp_directory()) {
            own_directory = Directory::open(*tmp);
            files_directory = std::move(file.directory);
            target.emplace(&files_directory, file.name, file.links);
            // a run over many files passes its store, which settles TMP
            // once, rather than once a file
        } else {
            own_directory = std::move(file.directory);
            target.emplace(&own_directory, file.name, file.links);
            settle = file.settle;
        }
        expected = file.expected;
        held = true;
    }

    // The temporary file: a spare of the run's store where one is left
    // (`reused`), else one created exclusively at `name` or the next free
    // name after it.
    File make_temporary(bool& reused) {
        std::optional<TemporaryStore::Spare> spare;
        if (store != nullptr && (spare = store->take())) {
            name = std::move(spare->name);
            reused = true;
            return std::move(spare->file);
        }
        reused = false;
        if (staged_name) {
            platform::Creation outcome = platform::Creation::failed;
            return directory->create_new(name, outcome);
        }
        if (name.empty()) {
            std::optional<Path> free = tempname::next_free_name(*directory);
            if (!free) {
                return File();
            }
            name = std::move(*free);
        }
        return create_temporary(*directory, name);
    }

    Directory own_directory;               // the temporary file's, unless the store holds it
    Directory* directory = &own_directory;  // the temporary file's
    TemporaryStore* store = nullptr;       // the run's, holding the temporary file's directory
    // gives the staged file's name, where the temporary file is one
    std::function<std::optional<Path>(Directory&)> staged_name;
    Directory files_directory;  // the file's own, when it is not the temporary file's
    std::optional<Target> target;
    std::optional<platform::FileIdentity> expected;
    bool held = false;  // a front end's file: no name of it can be the temporary file's
    bool settle = true;  // the temporary file's directory is to be settled first
    Path name;
    File input;
    platform::FileStatus status;
    platform::Privileges privileges;
    std::optional<TemporaryFile> temporary;
    Scanner* scanner = nullptr;
    ScanOutcome scanned;
    File written;
};

Substitution::Substitution(Path path) : path_(std::move(path)) {}
Substitution::Substitution(FileAt file) : path_(file.shown), at_(std::move(file)) {}
Substitution::~Substitution() = default;
Substitution::Substitution(Substitution&&) noexcept = default;
Substitution& Substitution::operator=(Substitution&&) noexcept = default;

// Records why the step failed: `error` is the error number of the call
// that failed, which the caller took right after it failed, before the
// library's line (`code`'s, printed as the argument is made) could change
// it; or our own words, where no system call failed.
int Substitution::fail(Failure::Step step, int error, int code) {
    failure_.step = step;
    failure_.because(error);
    return code;
}

int Substitution::fail(Failure::Step step, std::string note, int code) {
    failure_.step = step;
    failure_.because(std::move(note));
    return code;
}

// For text, the file's first bytes tell its mark, and with it the scanner
// for its encoding; then the file is read again from its start. A file
// whose encoding cannot be told, or in which the text cannot be written, is
// left as it is (9), and so is one found not to be UTF-8 while it is
// scanned: its temporary file goes. Bytes have one scanner for every file.
int Substitution::prepare(Scanners& scanners) {
    if (const int failed = open_input()) {
        return failed;
    }
    Scanners::Refusal refusal = Scanners::Refusal::none;
    Scanner* const scanner = scanners.for_input(state_->input, refusal);
    if (refusal == Scanners::Refusal::unreadable) {
        const int error = platform::last_error();
        return fail(Failure::Step::write_temporary, error, report::copy_error());
    }
    if (refusal == Scanners::Refusal::memory) {
        return fail(Failure::Step::memory, scanners.why(refusal), report::no_memory());
    }
    if (scanner == nullptr) {
        return fail(Failure::Step::encoding, scanners.why(refusal), report::bad_encoding(path_));
    }
    if (const int failed = scan_into_temporary(scanner)) {
        return failed;
    }
    if (!state_->scanned.valid_text) {
        state_->temporary->remove();
        return fail(Failure::Step::encoding, "it has no byte-order mark and is not UTF-8",
                    report::bad_encoding(path_));
    }
    return 0;
}

// The temporary name, the file opened and its status taken, then the
// temporary file created beside the name chosen.
int Substitution::open_input() {
    state_ = at_ ? std::make_unique<State>(*at_) : std::make_unique<State>(path_);
    at_.reset();
    State& state = *state_;
    // What killed calls left in the temporary file's directory goes first,
    // where that directory is held open (POSIX).
    if (platform::directories_are_held_open && state.settle && state.directory->is_open()) {
        kivfs::settle_leftovers({state.directory->handle(), Path()});
    }
    // A spare of the run's store has its name already.
    if (state.staged_name) {
        std::optional<Path> name = state.staged_name(*state.directory);
        if (!name) {
            const int error = platform::last_error();
            failure_.temporary = state.directory->path();
            return fail(Failure::Step::temporary_name, error, report::no_temp_name());
        }
        state.name = std::move(*name);
    } else if (state.store == nullptr || !state.store->has_spare()) {
        std::optional<Path> name = tempname::next_free_name(*state.directory);
        if (!name) {
            const int error = platform::last_error();
            failure_.temporary = state.directory->path();
            return fail(Failure::Step::temporary_name, error, report::no_temp_name());
        }
        state.name = std::move(*name);
    }

    state.input = state.target->open_for_reading();
    if (!state.input.is_open()) {
        const int error = platform::last_error();
        return fail(Failure::Step::open_file, error, report::cannot_open(path_));
    }
    // The file's length, identity and times, and what a write may strip
    // from it, are all taken from the file that was opened, before anything
    // is written.
    std::optional<platform::FileStatus> status = state.input.status();
    if (!status) {
        const int error = platform::last_error();
        return fail(Failure::Step::open_file, error, report::cannot_open(path_));
    }
    if (state.expected && !(status->identity == *state.expected)) {
        return fail(Failure::Step::open_file, "it is no longer the file that was checked",
                    report::cannot_open(path_));
    }
    state.status = *status;
    state.privileges = platform::privileges_of(state.input, state.status);
    return 0;
}

int Substitution::scan_into_temporary(Scanner* scanner) {
    State& state = *state_;
    bool reused = false;
    File created = state.make_temporary(reused);
    const int create_error = created.is_open() ? 0 : platform::last_error();
    failure_.temporary = state.directory->path_of(state.name);
    if (!created.is_open()) {
        return fail(Failure::Step::create_temporary, create_error,
                    report::cannot_open_temp(failure_.temporary));
    }
    state.temporary.emplace(*state.directory, state.name, std::move(created), state.store);

    state.scanner = scanner;
    if (!state.scanner->ready()) {
        return fail(Failure::Step::memory, "out of memory", report::no_memory());
    }
    state.scanned = state.scanner->run(state.input, state.status.length, state.temporary->file());
    if (state.scanned.kind == ScanOutcome::Kind::stopped) {
        // the caller that asked for the stop acts on it; the temporary file
        // goes at once, since the process may end right after
        state.temporary->remove();
        return fail(Failure::Step::stopped, "the run was stopped", KIVSUBST_COPY_ERROR);
    }
    if (state.scanned.kind == ScanOutcome::Kind::complete && reused &&
        !state.temporary->file().set_size(state.scanned.bytes_written)) {
        // a spare's old content past the result would stay in it
        state.scanned.kind = ScanOutcome::Kind::write_failed;
    }
    if (state.scanned.kind != ScanOutcome::Kind::complete) {
        // the temporary file goes; the file is untouched
        const int error = platform::last_error();
        return fail(Failure::Step::write_temporary, error, report::copy_error());
    }
    return 0;
}

int Substitution::mark_temporary_as_result() {
    if (!state_->temporary->mark()) {
        const int error = platform::last_error();
        return fail(Failure::Step::write_temporary, error, report::copy_error());
    }
    return 0;
}

int Substitution::make_temporary_durable() {
    if (!state_->temporary->make_durable()) {
        const int error = platform::last_error();
        return fail(Failure::Step::write_temporary, error, report::copy_error());
    }
    return 0;
}

int Substitution::write_back(Durability durability) {
    State& state = *state_;
    // The file that was read stays open until the write-back has opened the
    // file again and found it to be the same one: a file held open keeps its
    // inode, so no file made at the name meanwhile can carry its number and
    // pass for it.
    failure_.step = Failure::Step::write_back;
    Reopening reopening = Reopening::refused;
    if (state.held || state.directory->path_of(state.name) != path_) {
        state.written = state.target->open_same_for_overwriting(state.status.identity,
                                                                failure_, reopening);
    } else {
        failure_.because("it is the temporary file itself");
    }
    state.input.close();
    if (state.expected && (reopening == Reopening::gone || reopening == Reopening::another_file)) {
        return not_the_checked_file(reopening == Reopening::another_file);
    }
    if (!state.written.is_open() ||
        !kivsubst::write_back(state.temporary->file(), state.scanned.bytes_written, state.written,
                              state.privileges, state.scanner->block(),
                              state.scanner->block_size(), durability == Durability::now)) {
        if (state.written.is_open()) {
            failure_.because(platform::last_error());
        }
        state.temporary->keep();  // it holds the complete result
        failure_.temporary_kept = true;
        return report::copy_error();
    }
    return 0;
}

// A caller's file that is no longer the one it checked, found so at the
// write-back, fails as it does when found so before the scan: nothing is
// written to it, and its temporary file goes, since the result was made
// from a file that is not at the name any more.
// `another_file` tells a file found at the name from nothing found there,
// whose reason is the system's.
int Substitution::not_the_checked_file(bool another_file) {
    state_->temporary->remove();
    failure_.step = Failure::Step::open_file;
    if (another_file) {
        failure_.because("it is no longer the file that was checked");
    }
    return report::cannot_open(path_);
}

// The times go back on the file that was written, through its handle,
// whatever its name stands for by now.
void Substitution::finish(Closing closing) {
    State& state = *state_;
    state.temporary->remove();
    state.written.set_times(state.status.times);
    if (closing == Closing::now) {
        state.written.close();
    }
}

void Substitution::restore_times() {
    state_->written.set_times(state_->status.times);
}

void Substitution::remove_temporary() {
    state_->temporary->remove();
}

int Substitution::run(Scanners& scanners) {
    int failed = prepare(scanners);
    if (failed == 0) {
        failed = make_temporary_durable();
    }
    if (failed == 0) {
        failed = write_back(Durability::now);
    }
    if (failed != 0) {
        return failed;
    }
    finish();
    return result();
}

platform::File& Substitution::input() {
    return state_->input;
}

std::uint64_t Substitution::replacements() const {
    return state_->scanned.replacements;
}

const platform::FileStatus& Substitution::status() const {
    return state_->status;
}

platform::File& Substitution::temporary() {
    return state_->temporary->file();
}

void Substitution::keep_temporary() {
    state_->temporary->keep();
    failure_.temporary_kept = true;
}

int Substitution::sync_written() {
    if (state_->written.sync()) {
        return 0;
    }
    const int error = platform::last_error();
    keep_temporary();
    return fail(Failure::Step::write_back, error, report::copy_error());
}

int Substitution::companion_not_durable(int error) {
    return fail(Failure::Step::keep_companion, error, report::copy_error());
}

platform::File& Substitution::written() {
    return state_->written;
}

platform::Directory* Substitution::temporary_directory() {
    return state_ ? state_->directory : nullptr;
}

int Substitution::result() const {
    return replacements() > 0 ? KIVSUBST_REPLACED : KIVSUBST_NOT_FOUND;
}

int substitute(const Path& path, Bytes pattern, Bytes replacement) {
    ByteScanners scanners({{std::string(reinterpret_cast<const char*>(pattern.data), pattern.size),
                            std::string(reinterpret_cast<const char*>(replacement.data),
                                        replacement.size)}});
    return Substitution(path).run(scanners);
}

int substitute_text(const Path& path, TextPair pair, text::Encoding encoding) {
    TextScanners text({std::move(pair)}, encoding);
    return Substitution(path).run(text);
}

}  // namespace kivsubst
