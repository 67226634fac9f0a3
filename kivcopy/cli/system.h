/* SPDX-License-Identifier: Zlib */
// What the front end does to files besides copying their bytes, each
// system in a file of its own. Every call takes a directory that the front
// end holds and a name in it, or an open handle: removing and renaming
// targets, copying links, giving a copy or a directory the source's mode,
// owner and times, and making directories.
#ifndef KIVCOPY_CLI_SYSTEM_H
#define KIVCOPY_CLI_SYSTEM_H

#include <cstdint>
#include <memory>
#include <string>

#include "engine.h"
#include "kivcli/folder.h"
#include "options.h"
#if defined(_WIN32)
#include "kivfs/aside.h"
#endif

namespace kivcopy_cli {

using kivcli::Folder;
using kivcli::Status;
using kivcli::SystemError;

// A name in a held directory as the library's core takes it: the
// directory's handle and the name (POSIX), or the whole wide path
// (Windows), kept alive as long as this object.
class PlaceIn {
public:
    PlaceIn(Folder& folder, const std::string& name);
    kivcopy::platform::Place place() const { return place_; }

private:
    kivcopy::platform::Place place_{};
#if defined(_WIN32)
    std::wstring path_;
#endif
};

// Removes the file or link `name` (never what a link leads to).
bool remove_entry(Folder& folder, const std::string& name, SystemError& error);

// Takes what is at a target's name away so that a new file can be created
// there (-f's retry, --remove-destination): the entry itself, a link too,
// never what a link leads to. On POSIX it is removed at once (unlink), as
// cp removes it: the name is free then. On Windows a file that another
// program holds open, sharing deletion, is only marked for deletion and
// keeps its name until the holder lets go, so removing it frees nothing:
// there the entry is set aside as an install sets a target in use aside
// (kivfs/aside.h): renamed to a hidden ".NAME.kiv-was-" name beside it, as
// it is, after what earlier runs and installs left aside in the folder is
// settled. A handle of its own tries its deletion at once, which tells of
// a file that cannot be deleted (a running program). finish(), once a new
// file holds the name, renames it to ".NAME.kiv-old-" and marks it for
// deletion: it goes when that handle closes, or at the holder's close.
// put_back() (or the destructor) puts it back as it was. A run that ends
// between the two leaves it as a was-file, which the next run or install
// that settles the folder puts back where the name is still empty (and
// deletes where a new file took it); only a run killed within the
// moment that its deletion is tried, between the mark and its taking
// back, loses it, as a run killed after cp's unlink would.
class TargetRemoval {
public:
    TargetRemoval() = default;
    ~TargetRemoval();
    TargetRemoval(const TargetRemoval&) = delete;
    TargetRemoval& operator=(const TargetRemoval&) = delete;

    // Takes `name` in `folder` away. False, with the error, when it is
    // still there as it was.
    bool take(Folder& folder, const std::string& name, SystemError& error);
    // Whether what was taken is gone already (POSIX, once taken).
    bool removed() const { return removed_; }
    // A new file holds the name now: what was set aside goes. True when
    // this call removed it (Windows), false when nothing was waiting.
    bool finish();
    // No new file holds the name: what was set aside goes back to its name
    // as it was. False where it cannot (someone took the name meanwhile):
    // it is then kept, whole, under the hidden name aside() gives, until
    // a later run or install settles the folder and finds it superseded.
    bool put_back();
    const std::string& aside() const { return aside_; }

private:
    bool removed_ = false;
    std::string aside_;  // the hidden name of what waits to go (Windows)
#if defined(_WIN32)
    kivfs::HeldAside held_;  // what was set aside, until it goes or goes back
#endif
};

// Renames `from` to `to` in the same directory, replacing a regular file
// at `to`.
bool rename_entry(Folder& folder, const std::string& from, const std::string& to,
                  SystemError& error);

// Whether a target that refused to be opened for writing with `error` can
// be removed and copied anew instead: a read-only file, a running program
// (Linux lets neither be written, but both be replaced).
bool removal_gets_round(SystemError error);

// What to tell when such a target cannot be removed either (Windows: a
// read-only file, which refused the writing by its attribute, or else a
// running program, whose file is locked until it ends).
std::string cannot_replace_advice(bool read_only);

// Makes `name` in `to` another name of the file `existing` in `from`, but
// only if that is still the file `copy` (a copy this run made): the name is
// made for the file itself, through a handle of it, so that a file renamed
// over `existing` meanwhile never gets a second name.
bool make_hard_link(Folder& from, const std::string& existing, const kivcli::FileIdentity& copy,
                    Folder& to, const std::string& name, SystemError& error);

// Gives the open copy what `preserve` asks of the source, through its
// handle: owner and group (where the caller may), then the mode (the
// set-user-ID and set-group-ID bits only if the copy's owner and group are
// the source's). The times came with the copy's stamp. False with the
// reason when something could not be set.
bool give_attributes(kivcopy::platform::NativeHandle copy, const kivcopy::platform::Source& source,
                     const Preserve& preserve, std::string& reason);

// Gives the open copy the permission bits `mode` (less the umask), through
// its handle: a copy made for its owner alone, whose mode -p does not keep.
bool give_mode(kivcopy::platform::NativeHandle copy, unsigned mode, std::string& reason);

// Gives a directory of the copy its final mode (`mode`, when this run made
// it) and what `preserve` asks of the source's `status`.
bool finish_directory(Folder& directory, bool made, unsigned mode, const Status& status,
                      const Preserve& preserve, std::string& reason);

// The size of an open file, for the progress line; -1 if unknown.
std::int64_t size_of(kivcopy::platform::NativeHandle file);

// Makes `directory` and every missing directory above it, each with mode
// 0755 less the umask, and holds the last. Null, with what failed and why,
// on failure.
std::shared_ptr<Folder> make_directories(const std::string& directory, std::string& failed,
                                         SystemError& error);

// Whether the directory `inner` is `outer` or lies below it, found by
// going up from `inner` through its parents.
bool lies_within(Folder& inner, Folder& outer);

// The process's umask.
unsigned umask_value();

// Whether the program runs with the privilege to read and write every file
// (root).
bool caller_is_privileged();

}  // namespace kivcopy_cli

#endif
