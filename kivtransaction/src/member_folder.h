// SPDX-License-Identifier: Zlib
// What a transaction and its recovery do in a member's folder, each through
// the folder's handle: its whole path and identity for the journal, a look
// at a name there, the rename that puts a staged file in place, the
// removal of one, and the folder's sync. Each platform implements them in
// its own file.
#ifndef KIVTRANSACTION_MEMBER_FOLDER_H
#define KIVTRANSACTION_MEMBER_FOLDER_H

#include <memory>
#include <string>

#include "journal.h"
#include "kivfs/directory.h"
#include "kivfs/wtf8.h"

namespace kivtransaction {

// A name in a folder as the journal records it, and as the system takes
// it back: the bytes themselves on POSIX; WTF-8 of the UTF-16 name on
// Windows (empty for text that is no WTF-8, which names nothing).
#if defined(_WIN32)
inline std::string journal_form(const kivcommon::Path& name) {
    return kivfs::wtf8_from_wide(name);
}
inline kivcommon::Path system_form(const std::string& name) {
    return kivfs::wide_from_wtf8(name);
}
#else
inline std::string journal_form(const kivcommon::Path& name) {
    return name;
}
inline kivcommon::Path system_form(const std::string& name) {
    return name;
}
#endif

// `name` in the folder at the whole path `folder`, both as the journal
// records them.
inline std::string joined_path(const std::string& folder, const std::string& name) {
#if defined(_WIN32)
    constexpr char separator = '\\';
#else
    constexpr char separator = '/';
#endif
    return !folder.empty() && folder.back() == separator ? folder + name
                                                         : folder + separator + name;
}

// A member's folder: held by the staging call, or opened again by
// recovery from the path the journal records. Its identity's volume is
// the one of every file of the member's: on POSIX the file system's ID,
// which outlives a device number that changes from mount to mount.
struct MemberFolder {
    std::shared_ptr<kivfs::Directory> directory;
    std::string path;  // whole, as the journal records it
    journal::FileId id;
};

// The whole path and identity of a folder that a member's staging holds.
bool describe_folder(kivfs::Directory& directory, MemberFolder& folder, int& error);

// Opens the folder at the recorded `path`, never through a link at its
// own name; false where it cannot, or where it is not the folder of the
// recorded identity (`replaced`).
bool open_recorded_folder(const std::string& path, const journal::FileId& id,
                          MemberFolder& folder, bool& replaced, int& error);

// Whether open_recorded_folder()'s error says that nothing is at the path
// (or at a folder along it).
bool names_nothing(int error);

// Whether two paths, their separators already spelled alike, name one
// folder by their letters: byte for byte on POSIX; on Windows in letters
// of either case, compared as its file systems compare names (by the
// system's uppercase table, letters beyond ASCII included).
bool same_letters(const kivcommon::Path& one, const kivcommon::Path& other);

// What is at `name` in the folder, not following a link unless `follow`;
// its identity is on the folder's volume.
struct NameLook {
    bool exists = false;
    bool regular = false;
    bool directory = false;  // a directory itself, not a link to one
    bool callers_alone = false;  // the caller's, one name, no one else may write it
    bool read_only = false;      // Windows: the read-only attribute
    journal::FileId id;
    std::uint64_t size = 0;
};
bool look_at(MemberFolder& folder, const std::string& name, NameLook& look, int& error,
             bool follow = false);

// Whether the file at `name` may be replaced by a rename (`by_rename`) or
// written over now: false, with `in_use`, where another program holds it
// so that the step would be refused (on Windows a file held open without
// delete sharing, or without write sharing for a write); false with the
// system's error where it cannot be told. A name that holds nothing, and
// every name on POSIX, where no holder refuses either step, may be.
bool may_replace(MemberFolder& folder, const std::string& name, bool by_rename, bool& in_use,
                 int& error);

// Renames `from` onto `to` in the folder, replacing what is there (on
// Windows a read-only file too: its member was allowed to replace it, or
// its transaction is committed; and a file that a program runs from, set
// aside first as KivInstallFile sets one aside).
bool rename_onto(MemberFolder& folder, const std::string& from, const std::string& to,
                 int& error);

// Renames the folder `from` onto `to` in the folder, only where `to` names
// nothing: a folder member takes a name that is free, never replacing what
// someone put there meanwhile.
bool rename_folder_onto_free_name(MemberFolder& folder, const std::string& from,
                                  const std::string& to, int& error);

// Removes the folder at `name` where it is empty; one that holds anything
// stays, with the system's error.
bool remove_empty_folder(MemberFolder& folder, const std::string& name, int& error);

// Settles what a rename onto `target` that was cut off between setting a
// target aside and taking its name left (Windows: kivfs/aside.h's
// settling, in the folder); nothing is set aside on POSIX.
void settle_set_aside(MemberFolder& folder, const std::string& target);

// Removes the file at `name`.
bool remove_name(MemberFolder& folder, const std::string& name, int& error);

// A patch member's staged file written back over its target in place:
// the target opened by its name (a link followed, as a patch follows one)
// and taken only if it is still the file of `target`; the staged file only
// if it is still the file of `staged_id`. The target gets the staged
// file's bytes and length, is made durable, then gets `times` back.
// `gone` where the staged file is no longer there (written back before).
struct WriteBack {
    std::string staged;
    journal::FileId staged_id;
    std::string target;
    journal::FileId target_id;
    journal::Time accessed;
    journal::Time modified;
};
bool write_back(MemberFolder& folder, const WriteBack& member, bool& gone, int& error);

// A member that waits for the next restart (Windows): its staged file
// queued to replace its target then (kivfs/restart_queue.h), whether that
// entry is still queued (false once a restart carried it out), and the
// times that a patch's staged file takes before it waits, as the target
// keeps its times. POSIX replaces a file in use at once: nothing there
// ever waits, and these refuse.
bool queue_at_restart(MemberFolder& folder, const std::string& staged, const std::string& target,
                      int& error);
bool queued_at_restart(MemberFolder& folder, const std::string& staged,
                       const std::string& target);
bool give_times(MemberFolder& folder, const std::string& name, const journal::Time& accessed,
                const journal::Time& modified, int& error);

// Makes the folder's names durable.
bool sync_folder(MemberFolder& folder, int& error);

}  // namespace kivtransaction

#endif
