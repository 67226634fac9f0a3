/* SPDX-License-Identifier: Zlib */
// A directory held by handle, as the front ends work in one, with the rules
// by which a directory vouches for what is found in it (which the install
// follows too). Each is opened once: by the name the command line gives,
// or relative to its parent as a walk finds it. Every name in it is then
// resolved relative to it, so that a directory renamed or swapped for a
// link meanwhile cannot send a later step elsewhere. A directory closed to spare descriptors is
// opened again through its parent, and only if it is still the very
// directory it was. On Windows a directory is held by its path (the wide
// paths of the entries in it go to the libraries' cores).
//
// A directory is also a value that kivsubst keeps for its temporary file
// (open(path), held()): the temporary file is checked, created, made
// durable and removed through it, so that renaming the directory or
// replacing it by a link halfway through a call cannot move any of it
// elsewhere.
#ifndef KIVFS_DIRECTORY_H
#define KIVFS_DIRECTORY_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kivfs/file.h"
#include "kivfs/paths.h"
#include "kivfs/types.h"

namespace kivfs {

// What one status read found at a name, or through an open handle.
struct Status {
    enum class Type { file, directory, link, fifo, socket, other };
    Type type = Type::other;
    FileIdentity identity;
    unsigned mode = 0;  // the permission bits, set-ID and sticky bits included (POSIX)
    std::uint64_t owner = 0;
    std::uint64_t group = 0;
    std::uint64_t links = 1;  // how many names the file has
    std::int64_t size = 0;
    FileTime access;
    FileTime modification;
    bool read_only = false;  // Windows: the read-only attribute
    std::uint32_t attributes = 0;  // Windows: all its attributes, FILE_ATTRIBUTE_...

    bool is_file() const { return type == Type::file; }
    bool is_directory() const { return type == Type::directory; }
    bool is_link() const { return type == Type::link; }
    bool is_fifo() const { return type == Type::fifo; }
    bool is_socket() const { return type == Type::socket; }
};

// A system error: errno on POSIX, GetLastError() on Windows, captured by
// the call that failed, before anything else can change it.
using SystemError = int;
// The system's words for it.
std::string describe(SystemError error);
// The error that means "no such file or directory".
SystemError not_found_error();
// The error of a directory or file that is no longer the one that was
// opened, checked or made under its name: someone replaced it meanwhile.
constexpr SystemError replaced_meanwhile = -1;

// How a name in a directory stands: free (certainly absent), taken (it
// exists, or its check is refused for lack of access), or unchecked (the
// check failed otherwise, as under a path that is no directory or too long:
// the name is as good as any, and creating the file will tell).
enum class NameState { free, taken, unchecked };

class Directory {
public:
    // A directory not opened, until open(path) or held() gives it one.
    Directory() = default;
    ~Directory();
    Directory(Directory&& other) noexcept;
    Directory& operator=(Directory&& other) noexcept;
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    // The directory that `path` names, as the command line names it: links
    // along it and at its end are followed. Null, with the error, if it is
    // not a directory that can be opened.
    static std::shared_ptr<Directory> open(const std::string& path, SystemError& error);
    // The subdirectory `name` of `parent`, never through a link at `name`
    // unless `links` says so (for a name that a caller gave, not a walk).
    static std::shared_ptr<Directory> open_below(const std::shared_ptr<Directory>& parent,
                                              const std::string& name, SystemError& error,
                                              Links links = Links::refuse);
    // Makes the subdirectory `name` of `parent` with `mode` (less the umask)
    // and holds it. A new directory is taken only if it is still the one
    // made: a directory of the caller's, reached without a link. `existed`
    // tells when a directory was there already; it is then held as
    // open_below() holds one.
    static std::shared_ptr<Directory> make_below(const std::shared_ptr<Directory>& parent,
                                              const std::string& name, unsigned mode,
                                              bool& existed, SystemError& error);

    // The directory that holds what `path` names, a path as a caller of the
    // libraries gives it, with that name in it as entry_name(): on POSIX
    // the part before the last '/' (the current directory for a bare name),
    // opened following the links in it, as cp follows them; on Windows the
    // whole path's part up to its last separator as the system resolves it
    // (kivcommon::system_path), held by that path alone, unlooked at, its
    // entries named by it and a name. None, with the error, where the
    // directory cannot be opened or the path names no entry in one (it
    // ends in a separator, "." or "..").
    static std::shared_ptr<Directory> open_for(const Path& path, SystemError& error);
    // The directory `folder`, which a walk or a command line holds, as
    // open_for() would hold it for its entry `name`, without resolving a
    // path again: on POSIX the same open directory under a descriptor of
    // its own (which outlives `folder`'s release, and is opened again as
    // `folder` is); on Windows by the path of `name` in `folder`, as
    // open_for() holds one there. None, with the error, where `folder`'s
    // handle cannot be had or `name` names no entry.
    static std::shared_ptr<Directory> lent_for(Directory& folder, const Path& name,
                                               SystemError& error);
    // The name in this directory that open_for() opened it for.
    const Path& entry_name() const { return entry_name_; }

    // The directory at `path` (the current one where it is empty) as a
    // value, never opened through a link at its own name; a path that ends
    // in a separator resolves its last component as a file's path would.
    // One that cannot be opened is kept unopened with the reason, which
    // create_new() then gives. On Windows it is held by `path`.
    static Directory open(const Path& path);
    // The directory that the caller holds open as `directory`, opened for
    // reading its names where `readable` (else for lookups alone), shown in
    // messages as `path`. The handle stays the caller's, who keeps it open
    // while this Directory lives (Windows holds the directory by `path`).
    static Directory held(NativeHandle directory, const Path& path, bool readable);
    bool is_open() const { return open_; }
    // The path it was opened or held by, and a name in it, for messages.
    const Path& path() const { return path_; }
    Path path_of(const Path& name) const { return join_path(path_, name); }

    // Whether `name` is free here, without following a link at it.
    NameState check(const Path& name) const;
    // As File's functions of the same names, for a name in this directory;
    // a link at the name is followed only with Links::follow.
    File create_new(const Path& name, Creation& outcome);
    File open_for_reading(const Path& name, Links links = Links::follow);
    File open_for_overwriting(const Path& name, Links links = Links::follow);
    // Makes durable the entry of `file`, just created in this directory.
    // Where the directory cannot be synced itself, the file system holding
    // `file` is synced instead.
    bool sync_entry(File& file);
    bool remove(const Path& name);
    // Whether a name was created or removed here since the directory was
    // last synced: the batch that holds it then syncs it with its files.
    bool has_unsynced_entries() const { return unsynced_entries_; }
    void entries_synced() { unsynced_entries_ = false; }

    // The handle of the directory, opened again through its parent if it was
    // released; an invalid handle, with the error, if it cannot be, or if
    // what is at its name now is another directory.
    NativeHandle handle(SystemError& error);
    NativeHandle handle();
    // Whether the directory is open, or could be opened again as handle()
    // does; false with the error.
    bool reachable(SystemError& error) { return open_ || reopen(error); }
    // Closes the directory's handle until it is needed again.
    void release();
    // Whether the open handle may read the directory's names (else it
    // serves lookups alone: a directory that may be searched but not read).
    bool readable() const { return readable_; }

    // The directory as messages show it, and a name in it.
    const std::string& shown() const { return shown_; }
    std::string shown(const std::string& name) const;
    // Its status as it was when it was opened.
    const Status& status() const { return status_; }
    const std::shared_ptr<Directory>& parent() const { return parent_; }
    const std::string& name() const { return name_; }

    // The status of `name` in this directory: of the link itself, or with
    // Links::follow of what it leads to. False with the error.
    bool status_of(const std::string& name, Links links, Status& status, SystemError& error);
    // The status of an open file or directory.
    static bool status_of(NativeHandle handle, Status& status, SystemError& error);
    // The names in this directory ("." and ".." left out), in sorted byte
    // order; false, with the error, when it could not be read to its end
    // (the names read so far are kept).
    bool names(std::vector<std::string>& names, SystemError& error);

    // Whether a symbolic link here could only have been put in place by the
    // caller: it is the caller's, in a directory of the caller's (or root's)
    // where no one else may add or rename names. Only such a link is
    // written through; anyone else's says where our bytes would go.
    bool trusts_link(const Status& link) const;
    // Whether no one but the caller can add, rename or remove names here: a
    // directory of the caller's (or root's) that no one else may write. An
    // entry the caller makes here may then be reached again by its name. A
    // sticky folder (1777, 1770) is not such a directory: others add names
    // there, and rename or remove their own, an entry the caller has given
    // to one of them included.
    bool only_caller_changes_names() const { return only_caller_changes_names(status_); }
    static bool only_caller_changes_names(const Status& directory);
    // Whether a file found here with other hard links can only have been
    // given its name here by the one who owns both: the file's owner owns
    // the directory, and no one else may add a name to it. A sticky bit
    // keeps others from removing or renaming names, not from adding them,
    // so a root-owned 1777 folder is not root's alone.
    bool vouches_for_hard_link(const Status& file) const {
        return vouches_for_hard_link(status_, file);
    }
    static bool vouches_for_hard_link(const Status& directory, const Status& file);
    // Whether the directory of status `directory` vouches for a file found
    // in it, so that the file's owner and mode may pass to one that takes
    // its name: the rule for a hard link above, or a directory where only
    // the caller changes names. Elsewhere anyone may have planted the file,
    // or linked someone else's file there.
    static bool vouches_for_owner_and_mode(const Status& directory, const Status& file);
    // Whether a new file made here belongs to the directory's group rather
    // than the caller's (a set-group-ID directory), and so to a group that
    // `group` (the source's) need not be.
    bool gives_group_other_than(std::uint64_t group) const;

#if defined(_WIN32)
    // The wide path of `name` in this directory, and of the directory
    // itself, in the form the system's wide functions take (empty for a
    // name that is no WTF-8).
    std::wstring native_path(const std::string& name) const;
    std::wstring native_path() const;
#endif

    // True the first time it is asked, false after: a run settles what
    // killed runs left in a directory (kivfs/leftovers.h) once, before the
    // first file or directory of its own that it stages there.
    bool first_to_settle() { return !std::exchange(settled_, true); }

private:
    bool reopen(SystemError& error);
    // Takes the status of the directory just opened: false, with
    // replaced_meanwhile, when it is not the directory first opened.
    bool take(const Status& now, SystemError& error);
#if defined(_WIN32)
    // The path by which the entry `name` is opened (directory_win32.cpp).
    Path reached(const Path& name) const;
#endif

    std::shared_ptr<Directory> parent_;  // null for a root
    std::string name_;                // its name in its parent, or the path of a root
    Path entry_name_;                 // see entry_name()
    std::string shown_;
    Status status_;
    NativeHandle handle_{};
    bool open_ = false;
    Links links_ = Links::refuse;  // how a link at name_ is taken (a root's: followed)
    bool known_ = false;     // status_ was read once: later openings must match it
    bool readable_ = false;  // opened for reading its names (else only searched)
    bool settled_ = false;   // first_to_settle() was asked
    Path path_;              // see path()
    bool owned_ = true;      // the handle is this object's to close (not held()'s)
    SystemError error_ = 0;  // why open(path) failed: what creating a name in it says
    bool unsynced_entries_ = false;  // see has_unsynced_entries()
};

// A name in a directory, joined for messages as join() joins it:
// with the separator the directory's text already uses, else '/'.
std::string join_shown(const std::string& directory, const std::string& name);

}  // namespace kivfs

#endif
