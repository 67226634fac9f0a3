// SPDX-License-Identifier: Zlib
#include "substitute.h"

#include <optional>
#include <string>
#include <utility>

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
// through its directory's handle, never by a name looked up again.
class TemporaryFile {
public:
    TemporaryFile(Directory& directory, Path name, File file)
        : directory_(directory), name_(std::move(name)), file_(std::move(file)) {}
    ~TemporaryFile() {
        if (!settled_) {
            remove();
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    File& file() { return file_; }

    // Makes the complete result durable, data and directory entry.
    bool make_durable() { return file_.sync() && directory_.sync_entry(file_); }
    // Leaves the file in place, holding the result.
    void keep() {
        file_.close();
        settled_ = true;
    }
    void remove() {
        file_.close();
        directory_.remove(name_);
        settled_ = true;
    }

private:
    Directory& directory_;
    Path name_;
    File file_;
    bool settled_ = false;  // kept or removed
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

// The file, in the temporary file's directory when that is the file's own
// and the directory is held open, so that the file and its temporary file
// are side by side by construction; else by the caller's own name.
class Target {
public:
    Target(const Path& path, Directory& directory, bool in_directory)
        : path_(path),
          directory_(directory),
          in_directory_(platform::directories_are_held_open && in_directory &&
                        directory.is_open()) {}

    File open_for_reading() {
        return in_directory_ ? directory_.open_for_reading(paths::name_part(path_))
                             : File::open_for_reading(path_);
    }
    // Opens the file for the write-back, but only if it is still the very
    // file that was read: a file swapped for another, or for a link to
    // another, between the scan and the write-back is never written.
    File open_same_for_overwriting(const platform::FileIdentity& read) {
        File file = in_directory_ ? directory_.open_for_overwriting(paths::name_part(path_))
                                  : File::open_for_overwriting(path_);
        std::optional<platform::FileStatus> opened = file.is_open() ? file.status() : std::nullopt;
        return opened && opened->identity == read ? std::move(file) : File();
    }

private:
    const Path& path_;
    Directory& directory_;
    bool in_directory_;
};

}  // namespace

int substitute(const Path& path, Bytes pattern, Bytes replacement) {
    const tempname::Choice choice = tempname::choose_directory(paths::directory_part(path));
    Directory directory = Directory::open(choice.directory);
    std::optional<Path> name = tempname::next_free_name(directory);
    if (!name) {
        return report::no_temp_name();
    }
    Target target(path, directory, choice.is_files_own);

    File input = target.open_for_reading();
    if (!input.is_open()) {
        return report::cannot_open(path);
    }
    // The file's length, identity and times, and what a write may strip
    // from it, are all taken from the file that was opened, before anything
    // is written.
    const std::optional<platform::FileStatus> status = input.status();
    if (!status) {
        return report::cannot_open(path);
    }
    const platform::Privileges privileges = input.privileges();

    File created = create_temporary(directory, *name);
    if (!created.is_open()) {
        return report::cannot_open_temp(directory.path_of(*name));
    }
    TemporaryFile temporary(directory, *name, std::move(created));

    Scanner scanner(pattern, replacement);
    if (!scanner.ready()) {
        return report::no_memory();
    }
    ScanOutcome scanned = scanner.run(input, status->length, temporary.file());
    if (scanned.kind != ScanOutcome::Kind::complete || !temporary.make_durable()) {
        return report::copy_error();  // the temporary file goes; the file is untouched
    }

    // The file that was read stays open until the write-back has opened the
    // file again and found it to be the same one: a file held open keeps its
    // inode, so no file made at the name meanwhile can come to carry its
    // number and pass for it.
    File file = directory.path_of(*name) == path ? File()
                                                 : target.open_same_for_overwriting(status->identity);
    input.close();
    if (!file.is_open() || !write_back(temporary.file(), scanned.bytes_written, file, privileges,
                                       scanner.block(), scanner.block_size())) {
        temporary.keep();  // it holds the complete result
        return report::copy_error();
    }
    temporary.remove();

    // The times go back on the file that was written, through its handle,
    // whatever its name stands for by now.
    file.set_times(status->times);
    file.close();
    return scanned.replacements > 0 ? KIVSUBST_REPLACED : KIVSUBST_NOT_FOUND;
}

}  // namespace kivsubst
