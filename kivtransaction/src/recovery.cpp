// SPDX-License-Identifier: Zlib
// Recovery trusts a journal only as far as it must: the file must be the
// caller's alone and read as a journal this system wrote; every folder it
// names must still be the folder it recorded; and the only names it renames
// or removes are the staged members' hidden names that it records. A staged
// file is put in place only if it is still the very file that was made
// ready; one is removed only if it is the caller's alone. Every step is one
// that can be taken again: a recovery cut off anywhere is finished by the
// next.
#include "recovery.h"

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "journal.h"
#include "kivtransaction.h"
#include "member_folder.h"

namespace kivtransaction {
namespace {

using journal::Contents;
using journal::MemberKind;

bool is_folder(const journal::Intent& intent) {
    return intent.kind == MemberKind::folder;
}

// The folder member whose made folder holds member `index`: the one whose
// folder joined with its staged name is the folder that member records.
std::optional<std::size_t> made_folder_of(const Contents& contents, std::size_t index) {
    const journal::Intent& intent = contents.intents[index];
    for (std::size_t made = index; made-- > 0;) {
        const journal::Intent& folder = contents.intents[made];
        if (is_folder(folder) && joined_path(folder.folder, folder.staged) == intent.folder) {
            return made;
        }
    }
    return std::nullopt;
}

// Opens the folder of member `index` that a folder member made, reached
// from where that member's own folder was opened: under the hidden name
// it was made under, or, once it took its name (the transaction
// committed), under that name; either only if it is the folder recorded.
// A folder at neither name leaves `folder` unopened: it was never made, or
// an undo removed it, and nothing of the member can be in it.
bool open_made_folder(const Contents& contents, std::size_t index, std::size_t made,
                      const std::vector<MemberFolder>& folders, MemberFolder& folder) {
    const MemberFolder& parent = folders[made];
    if (parent.directory == nullptr) {
        return true;
    }
    const journal::Intent& maker = contents.intents[made];
    const journal::FileId& id = contents.intents[index].folder_id;
    std::vector<std::string> names = {maker.staged};
    if (contents.committed) {
        names.push_back(maker.target);
    }
    for (const std::string& name : names) {
        bool replaced = false;
        int error = 0;
        if (open_recorded_folder(joined_path(parent.path, name), id, folder, replaced, error)) {
            return true;
        }
        if (replaced || !names_nothing(error)) {
            return false;
        }
    }
    return true;
}

// Opens every folder that the journal's members name; false where one
// cannot be opened or is not the folder recorded. A folder that a folder
// member made is opened through that member's (and left unopened where it
// is gone, see open_made_folder).
bool open_folders(const Contents& contents, std::vector<MemberFolder>& folders) {
    for (std::size_t index = 0; index < contents.intents.size(); ++index) {
        const journal::Intent& intent = contents.intents[index];
        MemberFolder folder;
        bool replaced = false;
        int error = 0;
        const std::optional<std::size_t> made = made_folder_of(contents, index);
        if (made ? !open_made_folder(contents, index, *made, folders, folder)
                 : !open_recorded_folder(intent.folder, intent.folder_id, folder, replaced,
                                         error)) {
            return false;
        }
        folders.push_back(std::move(folder));
    }
    return true;
}

// Syncs the folders of the members that are files, each once.
bool sync_file_folders(const Contents& contents, std::vector<MemberFolder>& folders) {
    std::set<std::pair<std::uint64_t, std::uint64_t>> synced;
    bool all = true;
    for (std::size_t index = 0; index < folders.size(); ++index) {
        MemberFolder& folder = folders[index];
        int error = 0;
        if (!is_folder(contents.intents[index]) && folder.directory != nullptr &&
            synced.insert({folder.id.volume, folder.id.index}).second) {
            all = sync_folder(folder, error) && all;
        }
    }
    return all;
}

// Steps each folder member whose folder is there, the last made first (a
// folder inside another was made after it), and syncs the folder it is in
// once the next folder member to be stepped is in another one.
template <typename Step>
bool step_folder_members(const Contents& contents, std::vector<MemberFolder>& folders,
                         Step step) {
    std::vector<std::size_t> order;
    for (std::size_t index = contents.intents.size(); index-- > 0;) {
        if (is_folder(contents.intents[index]) && folders[index].directory != nullptr) {
            order.push_back(index);
        }
    }
    bool all = true;
    for (std::size_t at = 0; at < order.size(); ++at) {
        MemberFolder& folder = folders[order[at]];
        int error = 0;
        all = step(order[at], folder, error) && all;
        if (at + 1 == order.size() || !(folders[order[at + 1]].id == folder.id)) {
            all = sync_folder(folder, error) && all;
        }
    }
    return all;
}

// Settles every member, files first: `file_step` for each file member
// whose folder is there, `folder_step` for each folder member's (see
// step_folder_members), each with what is at the member's staged name now;
// the files' folders synced in between. False where a look or a step failed.
template <typename FileStep, typename FolderStep>
bool settle_members(const Contents& contents, std::vector<MemberFolder>& folders,
                    FileStep file_step, FolderStep folder_step) {
    bool all = true;
    for (std::size_t index = 0; index < contents.intents.size(); ++index) {
        MemberFolder& folder = folders[index];
        NameLook staged;
        int error = 0;
        if (is_folder(contents.intents[index]) || folder.directory == nullptr) {
            continue;
        }
        all = look_at(folder, contents.intents[index].staged, staged, error) &&
              file_step(index, folder, staged, error) && all;
    }
    all = sync_file_folders(contents, folders) && all;
    return step_folder_members(contents, folders,
                               [&](std::size_t index, MemberFolder& folder, int& error) {
                                   NameLook staged;
                                   return look_at(folder, contents.intents[index].staged, staged,
                                                  error) &&
                                          folder_step(index, folder, staged, error);
                               }) &&
           all;
}

// Puts each member's staged file in place where it is still there and
// still the file made ready: an install's renamed onto its target, a
// patch's written back over its target (if that is still the file that
// was read) and then removed. A member whose staged name holds nothing was
// put in place before the cut. Then each folder member's folder, its
// contents in place, takes its name where it is still under its hidden one.
bool finish(const Contents& contents, std::vector<MemberFolder>& folders) {
    const auto place_file = [&](std::size_t index, MemberFolder& folder, const NameLook& staged,
                                int& error) {
        const journal::Intent& intent = contents.intents[index];
        const journal::Ready& ready = contents.ready[index];
        const bool ready_to_place =
            staged.exists && staged.regular && staged.id == ready.staged_id;
        if (intent.kind == MemberKind::install) {
            const bool placed =
                !ready_to_place || rename_onto(folder, intent.staged, intent.target, error);
            // A rename beside a running program that a kill cut off left
            // the old file set aside, which the new file's name supersedes.
            settle_set_aside(folder, intent.target);
            return placed;
        }
        if (!ready_to_place) {
            return true;
        }
        bool gone = false;
        const WriteBack write{intent.staged,    ready.staged_id, intent.target,
                              ready.target_id, ready.accessed,  ready.modified};
        return write_back(folder, write, gone, error) &&
               (gone || remove_name(folder, intent.staged, error));
    };
    const auto name_folder = [&](std::size_t index, MemberFolder& folder, const NameLook& staged,
                                 int& error) {
        const journal::Intent& intent = contents.intents[index];
        if (!staged.exists || !staged.directory ||
            !(staged.id == contents.ready[index].staged_id)) {
            return true;  // it took its name before the cut
        }
        return rename_folder_onto_free_name(folder, intent.staged, intent.target, error);
    };
    return settle_members(contents, folders, place_file, name_folder);
}

// Removes each member's staged file where it is there and the caller's
// alone: a file that someone else put at the name is not ours to remove.
// Then the folders that folder members made, each where it is empty: one
// that holds what is not ours stays, and with it the journal.
bool undo(const Contents& contents, std::vector<MemberFolder>& folders) {
    const auto remove_file = [&](std::size_t index, MemberFolder& folder, const NameLook& staged,
                                 int& error) {
        return !staged.exists || !staged.callers_alone ||
               remove_name(folder, contents.intents[index].staged, error);
    };
    const auto remove_folder = [&](std::size_t index, MemberFolder& folder,
                                   const NameLook& staged, int& error) {
        return !staged.exists || !staged.directory ||
               remove_empty_folder(folder, contents.intents[index].staged, error);
    };
    return settle_members(contents, folders, remove_file, remove_folder);
}

// Whether a transaction committed to the next restart still waits for it:
// every member whose staged file is still there and ready is still in the
// restart queue. A restart carries out the whole queue, so a member left
// over without its entry (a power cut in the middle of the restart, or an
// entry another program took out) is finished now.
bool waits_for_restart(const Contents& contents, std::vector<MemberFolder>& folders) {
    bool waiting = false;
    for (std::size_t index = 0; index < contents.intents.size(); ++index) {
        const journal::Intent& intent = contents.intents[index];
        NameLook staged;
        int error = 0;
        if (folders[index].directory == nullptr ||
            !look_at(folders[index], intent.staged, staged, error) || !staged.exists) {
            continue;
        }
        if (!queued_at_restart(folders[index], intent.staged, intent.target)) {
            return false;
        }
        waiting = true;
    }
    return waiting;
}

// Recovers one journal that no live transaction holds.
std::int32_t recover_journal(JournalFile& file) {
    std::string reason;
    std::string bytes;
    int error = 0;
    if (!file.trusted(reason)) {
        return KIVTRANSACTION_JOURNAL_REFUSED;
    }
    if (!file.read(bytes, error)) {
        return KIVTRANSACTION_NO_JOURNAL;
    }
    const journal::Reading reading =
        journal::read(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    if (reading.verdict == journal::Reading::Verdict::unwritten) {
        // A begin cut off before its header was durable recorded nothing:
        // the journal itself is all there is to undo.
        return file.remove(error) ? KIVTRANSACTION_UNDONE : KIVTRANSACTION_NO_JOURNAL;
    }
    if (reading.verdict != journal::Reading::Verdict::readable) {
        return KIVTRANSACTION_JOURNAL_REFUSED;
    }
    const Contents& contents = reading.contents;
    std::vector<MemberFolder> folders;
    if (!open_folders(contents, folders)) {
        return KIVTRANSACTION_JOURNAL_REFUSED;
    }
    if (contents.at_restart && waits_for_restart(contents, folders)) {
        return KIVTRANSACTION_PENDING;
    }
    const bool done = contents.committed ? finish(contents, folders) : undo(contents, folders);
    if (!done || !file.remove(error)) {
        return KIVTRANSACTION_NO_JOURNAL;
    }
    return contents.committed ? KIVTRANSACTION_FINISHED : KIVTRANSACTION_UNDONE;
}

// A refusal or a failure outweighs a transaction that waits for the
// restart, which outweighs a finished one, which outweighs an undone one.
std::int32_t weightier(std::int32_t held, std::int32_t found) {
    const auto weight = [](std::int32_t result) {
        switch (result) {
            case KIVTRANSACTION_OK: return 0;
            case KIVTRANSACTION_UNDONE: return 1;
            case KIVTRANSACTION_FINISHED: return 2;
            case KIVTRANSACTION_PENDING: return 3;
            case KIVTRANSACTION_NO_JOURNAL: return 4;
            default: return 5;
        }
    };
    return weight(found) > weight(held) ? found : held;
}

}  // namespace

std::int32_t recover(JournalFolder& folder) {
    std::vector<std::string> names;
    int error = 0;
    if (!folder.journal_names(names, error)) {
        return KIVTRANSACTION_NO_JOURNAL;
    }
    std::int32_t result = KIVTRANSACTION_OK;
    for (const std::string& name : names) {
        bool live = false;
        std::unique_ptr<JournalFile> file = folder.open_journal(name, live, error);
        if (file == nullptr) {
            if (!live && error != kivfs::not_found_error()) {
                result = weightier(result, KIVTRANSACTION_NO_JOURNAL);
            }
            continue;
        }
        result = weightier(result, recover_journal(*file));
    }
    return result;
}

}  // namespace kivtransaction
