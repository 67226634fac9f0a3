// SPDX-License-Identifier: Zlib
#include "transaction_explorer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>
#include <utility>

#include "journal.h"
#include "kivfs/hidden_names.h"
#include "kivtransaction.h"

namespace kivcrash {
namespace {

namespace journal = kivtransaction::journal;

// A byte that no content of the cases holds, written wherever a state
// leaves garbage (a length that reached the disk without its data).
constexpr char garbage = '\0';

constexpr std::size_t most_examples = 4;

const char* const journal_folder_name = "journal";

InodeId identity_of(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

// The bytes of an image as a disk gives them back: its values, and the
// garbage byte wherever it holds none.
std::string bytes_of(const Image& image) {
    std::string bytes(static_cast<std::size_t>(image.length), garbage);
    const std::size_t known = std::min({bytes.size(), image.bytes.size(), image.held.size()});
    for (std::size_t at = 0; at < known; ++at) {
        if (image.held[at] != '\0') {
            bytes[at] = image.bytes[at];
        }
    }
    return bytes;
}

// The image's bytes before its first garbage byte: what a journal held
// before an append that the cut left with its length but not its data.
std::string held_prefix(const Image& image) {
    const std::string bytes = bytes_of(image);
    std::size_t end = 0;
    while (end < bytes.size() && end < image.held.size() && image.held[end] != '\0') {
        ++end;
    }
    return bytes.substr(0, end);
}

// Creates `path` exclusively with `bytes`, and gives back its identity.
bool write_new_file(const std::string& path, const std::string& bytes, mode_t mode, InodeId& id,
                    std::string& why) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        why = "cannot create '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote <= 0) {
            why = "cannot write '" + path + "': " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    struct stat status{};
    const bool known = ::fstat(fd, &status) == 0;
    ::close(fd);
    if (!known) {
        why = "cannot read the status of '" + path + "'";
        return false;
    }
    id = identity_of(status);
    return true;
}

bool read_whole(const std::string& path, std::string& bytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bytes.clear();
    char block[65536];
    for (;;) {
        const ssize_t got = ::read(fd, block, sizeof block);
        if (got <= 0) {
            ::close(fd);
            return got == 0;
        }
        bytes.append(block, static_cast<std::size_t>(got));
    }
}

std::vector<std::string> names_in(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// What the made copy of a state is: for each of the model's folders and
// files that were made, the made one's identity; for each folder, its path.
struct Made {
    std::map<InodeId, InodeId> identities;
    // The file system the copy is made on, by its ID: the volume of every
    // identity the journal records (recovery's member_folder.h).
    std::uint64_t file_system = 0;
    std::map<InodeId, std::string> folders;
    std::map<InodeId, std::string> file_paths;  // the first name of each file made
};

// What became of the state's journal on its way to the copy.
enum class JournalFate {
    rewritten,          // read, and written again for the copy (or there was none)
    refused,            // the reader refused it: written as it was
    // Refused, though only an append was cut off: written without the
    // cut-off bytes, or left out where no whole header reached the disk.
    cut_off_refused,
    headless_refused,
};

// The examples of refused cut-off journals already noted.
struct Noted {
    bool cut_off = false;
    bool headless = false;
};

// The entry of `map` for the recorded inode number: the journal records a
// file system by its ID, the log by its device, and a case is on one file
// system, where inode numbers tell files apart.
template <typename Map>
typename Map::const_iterator recorded_entry(const Map& map, std::uint64_t index) {
    for (auto entry = map.begin(); entry != map.end(); ++entry) {
        if (entry->first.index == index) {
            return entry;
        }
    }
    return map.end();
}

// The recorded identity as the copy's; one that the state does not hold
// becomes an identity that no file has.
journal::FileId made_id(const Made& made, const journal::FileId& recorded) {
    auto found = recorded_entry(made.identities, recorded.index);
    if (found == made.identities.end()) {
        return {};
    }
    return {made.file_system, found->second.index};
}

// The journal's records written again with the copy's folders and
// identities; a cut-off tail that the reader dropped stays dropped.
// A folder that a folder member made is recorded as that member's folder
// joined with its staged name, whether the state holds it or not, and so
// it is rewritten.
std::string rewritten(const journal::Contents& contents, const Made& made) {
    std::string bytes = journal::header_record(contents.header);
    std::map<std::string, std::string> made_folders;  // as recorded -> in the copy
    for (journal::Intent intent : contents.intents) {
        const std::string recorded = intent.folder;
        auto through = made_folders.find(recorded);
        auto folder = recorded_entry(made.folders, intent.folder_id.index);
        if (through != made_folders.end()) {
            intent.folder = through->second;
        } else if (folder != made.folders.end()) {
            intent.folder = folder->second;
        }
        intent.folder_id = made_id(made, intent.folder_id);
        if (intent.kind == journal::MemberKind::folder) {
            made_folders[recorded + "/" + intent.staged] = intent.folder + "/" + intent.staged;
        }
        bytes += journal::intent_record(intent);
    }
    for (journal::Ready ready : contents.ready) {
        ready.staged_id = made_id(made, ready.staged_id);
        ready.target_id = made_id(made, ready.target_id);
        bytes += journal::ready_record(ready);
    }
    if (contents.committed) {
        bytes += journal::commit_record(static_cast<std::uint32_t>(contents.intents.size()));
    }
    return bytes;
}

// Makes `folder`'s entries of the state real at `path`: each file with
// its image's bytes, a file named twice linked to its first name, and each
// folder inside (one that the transaction made) with its own entries.
bool make_entries(const LeftOnDisk& left, const InodeId& folder, const std::string& path,
                  Made& made, std::string& why) {
    auto entries = left.directories.find(folder);
    if (entries == left.directories.end()) {
        return true;
    }
    for (const auto& [name, inode] : entries->second) {
        auto image = left.files.find(inode);
        if (image == left.files.end()) {
            if (left.directories.count(inode) == 0) {
                continue;
            }
            const std::string inside = path + "/" + name;
            struct stat status{};
            if (::mkdir(inside.c_str(), 0755) != 0 || ::stat(inside.c_str(), &status) != 0) {
                why = "cannot make the folder '" + inside + "': " + std::strerror(errno);
                return false;
            }
            made.identities[inode] = identity_of(status);
            made.folders[inode] = inside;
            if (!make_entries(left, inode, inside, made, why)) {
                return false;
            }
            continue;
        }
        const std::string file = path + "/" + name;
        auto first = made.file_paths.find(inode);
        if (first != made.file_paths.end()) {
            if (::link(first->second.c_str(), file.c_str()) != 0) {
                why = "cannot link '" + file + "': " + std::strerror(errno);
                return false;
            }
            continue;
        }
        InodeId id;
        const mode_t mode = kivfs::parse_hidden_name(name).has_value() ? 0600 : 0644;
        if (!write_new_file(file, bytes_of(image->second), mode, id, why)) {
            return false;
        }
        made.identities[inode] = id;
        made.file_paths[inode] = file;
    }
    return true;
}

// Makes the state's journals real in the journal folder, each rewritten
// for the copy; says what became of them.
bool make_journals(const LeftOnDisk& left, const TransactionCase& transaction, const Made& made,
                   JournalFate& fate, std::string& reason, std::string& why) {
    fate = JournalFate::rewritten;
    auto entries = left.directories.find(transaction.journal_folder);
    if (entries == left.directories.end()) {
        return true;
    }
    static const std::size_t header_bytes = journal::header_record({}).size();
    for (const auto& [name, inode] : entries->second) {
        auto image = left.files.find(inode);
        if (image == left.files.end()) {
            continue;
        }
        const std::string whole = bytes_of(image->second);
        std::string bytes = whole;
        const journal::Reading reading =
            journal::read(reinterpret_cast<const unsigned char*>(whole.data()), whole.size());
        if (reading.verdict == journal::Reading::Verdict::readable) {
            bytes = rewritten(reading.contents, made);
        } else if (reading.verdict == journal::Reading::Verdict::unwritten) {
            // a journal whose header never reached the disk recorded no
            // identity to rewrite: written as it is, for recovery to remove
        } else {
            reason = reading.reason;
            const std::string prefix = held_prefix(image->second);
            const journal::Reading before =
                journal::read(reinterpret_cast<const unsigned char*>(prefix.data()), prefix.size());
            if (prefix.size() < whole.size() &&
                before.verdict == journal::Reading::Verdict::readable) {
                fate = JournalFate::cut_off_refused;
                bytes = rewritten(before.contents, made);
            } else if (prefix.size() < header_bytes) {
                fate = JournalFate::headless_refused;
                continue;
            } else {
                fate = JournalFate::refused;
            }
        }
        InodeId id;
        if (!write_new_file(scratch_journal_folder(transaction) + "/" + name, bytes, 0600, id,
                            why)) {
            return false;
        }
    }
    return true;
}

// Makes the state real in the scratch tree: the journal folder and each
// member folder made anew, their files, then the journals.
bool make_state(const LeftOnDisk& left, const TransactionCase& transaction, JournalFate& fate,
                std::string& reason, std::string& why) {
    std::error_code error;
    std::filesystem::remove_all(transaction.scratch, error);
    Made made;
    const auto make_folder = [&](const std::string& path) {
        if (::mkdir(path.c_str(), 0755) != 0) {
            why = "cannot make the folder '" + path + "': " + std::strerror(errno);
            return false;
        }
        return true;
    };
    const auto make_recorded_folder = [&](const InodeId& recorded, const std::string& path) {
        struct stat status{};
        if (!make_folder(path) || ::stat(path.c_str(), &status) != 0) {
            return false;
        }
        made.identities[recorded] = identity_of(status);
        made.folders[recorded] = path;
        return true;
    };
    if (!make_folder(transaction.scratch) ||
        !make_recorded_folder(transaction.journal_folder, scratch_journal_folder(transaction))) {
        return false;
    }
    struct statfs file_system{};
    if (::statfs(transaction.scratch.c_str(), &file_system) == 0) {
        static_assert(sizeof file_system.f_fsid <= sizeof made.file_system, "the ID fits");
        std::memcpy(&made.file_system, &file_system.f_fsid, sizeof file_system.f_fsid);
    }
    for (std::size_t index = 0; index < transaction.member_folders.size(); ++index) {
        const InodeId& folder = transaction.member_folders[index];
        if (!make_recorded_folder(folder, scratch_member_folder(transaction, index)) ||
            !make_entries(left, folder, scratch_member_folder(transaction, index), made, why)) {
            return false;
        }
    }
    return make_journals(left, transaction, made, fate, reason, why);
}

// Recovers the copy with the real KivRecover, twice, and says what breaks
// the promise, if anything: a recovery refused or failed, or one that
// finds a journal after the call returned done; targets neither
// all old nor all new (or not what the end requires), a hidden name of the
// system's left beside a target, anything left in the journal folder, or a
// second recovery that finds something to do.
std::string judge_recovered(const TransactionCase& transaction, bool ended) {
    const std::string journal_folder = scratch_journal_folder(transaction);
    const std::int32_t first = KivRecover(journal_folder.c_str());
    if (first < 0) {
        return "KivRecover gave " + std::to_string(first);
    }
    // A call that returned done removed its journal durably: a cut after
    // it leaves recovery nothing to do.
    if (ended && transaction.at_the_end != AtTheEnd::either && first != KIVTRANSACTION_OK) {
        return "the call returned done, but KivRecover found a journal to recover (gave " +
               std::to_string(first) + ")";
    }
    bool all_old = true;
    bool all_new = true;
    std::string what;
    for (const TransactionTarget& target : transaction.targets) {
        auto index = std::find(transaction.member_folders.begin(),
                               transaction.member_folders.end(), target.directory) -
                     transaction.member_folders.begin();
        std::string content;
        const std::string folder =
            scratch_member_folder(transaction, static_cast<std::size_t>(index));
        const bool present = read_whole(
            folder + (target.under.empty() ? "" : "/" + target.under) + "/" + target.name,
            content);
        // A folder the transaction made goes with an undone one.
        const std::string made_folder = target.under.substr(0, target.under.find('/'));
        if (!target.under.empty() && !present &&
            std::filesystem::exists(folder + "/" + made_folder)) {
            what += " '" + made_folder + "' there without its files;";
            all_old = false;
        }
        const bool old = target.existed ? present && content == target.old_content : !present;
        const bool fresh = present && content == target.new_content;
        all_old = all_old && old;
        all_new = all_new && fresh;
        what += " '" + target.name + "' " + (old ? "old" : fresh ? "new" : "neither") + ";";
    }
    if (!all_old && !all_new) {
        return "the targets are neither all old nor all new:" + what;
    }
    if (ended && transaction.at_the_end == AtTheEnd::all_new && !all_new) {
        return "the call returned done, but not every target is new:" + what;
    }
    if (ended && transaction.at_the_end == AtTheEnd::all_old && !all_old) {
        return "the call returned done, but not every target is old:" + what;
    }
    for (std::size_t index = 0; index < transaction.member_folders.size(); ++index) {
        std::error_code error;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(
                 scratch_member_folder(transaction, index), error)) {
            const std::string name = entry.path().filename().string();
            if (kivfs::parse_hidden_name(name).has_value()) {
                return "'" + name + "' is left beside the targets";
            }
        }
    }
    for (const std::string& name : names_in(journal_folder)) {
        return "'" + name + "' is left in the journal folder";
    }
    const std::int32_t second = KivRecover(journal_folder.c_str());
    if (second != KIVTRANSACTION_OK) {
        return "a second KivRecover gave " + std::to_string(second);
    }
    return {};
}

void note(TransactionExploration& result, const std::string& example) {
    if (result.examples.size() < most_examples) {
        result.examples.push_back(example);
    }
}

// One crash state made real, recovered and judged; each state counts once.
void judge_state(const LeftOnDisk& left, const TransactionCase& transaction, bool ended,
                 const std::string& where, TransactionExploration& result, Noted& noted) {
    JournalFate fate = JournalFate::rewritten;
    std::string reason;
    std::string why;
    if (!make_state(left, transaction, fate, reason, why)) {
        ++result.violations;
        ++result.other_violations;
        note(result, where + ": the state cannot be made: " + why);
        return;
    }
    if (fate == JournalFate::refused) {
        ++result.violations;
        ++result.other_violations;
        note(result, where + ": the journal is refused: " + reason);
        return;
    }
    const std::string broken = judge_recovered(transaction, ended);
    const bool cut_off =
        fate == JournalFate::cut_off_refused || fate == JournalFate::headless_refused;
    if (cut_off) {
        ++result.cut_off_journals_refused;
        bool& seen = fate == JournalFate::headless_refused ? noted.headless : noted.cut_off;
        if (!seen) {
            seen = true;
            note(result, where + ": the journal, cut off in an append, is refused: " + reason);
        }
    }
    if (!broken.empty()) {
        ++result.other_violations;
        note(result, where + ": " + broken);
    }
    if (cut_off || !broken.empty()) {
        ++result.violations;
    }
}

Model model_of(const TransactionCase& transaction) {
    Model model;
    for (const ExistingFile& file : transaction.existing) {
        model.add_existing_file(file.directory, file.name, file.inode, file.content);
    }
    return model;
}

}  // namespace

std::string scratch_journal_folder(const TransactionCase& transaction) {
    return transaction.scratch + "/" + journal_folder_name;
}

std::string scratch_member_folder(const TransactionCase& transaction, std::size_t index) {
    return transaction.scratch + "/member" + std::to_string(index);
}

TransactionExploration explore_transaction(const std::vector<Op>& log,
                                           const TransactionCase& transaction,
                                           const Limits& limits) {
    Model model = model_of(transaction);
    TransactionExploration result;
    Noted noted;
    const auto check_point = [&](const std::string& where, bool ended) {
        const Visited visited =
            each_crash_state(model, limits, limits.seed + result.points,
                             [&](const LeftOnDisk& left) {
                                 judge_state(left, transaction, ended, where, result, noted);
                             });
        ++result.points;
        result.states += visited.states;
        result.exhaustive_points += visited.exhaustive ? 1 : 0;
    };
    check_point("at the start", false);
    for (std::size_t i = 0; i < log.size(); ++i) {
        model.apply(log[i]);
        if (Model::changes_anything(log[i])) {
            check_point("after #" + std::to_string(i) + " " + log[i].describe(), false);
        }
    }
    if (transaction.at_the_end != AtTheEnd::either) {
        check_point("after the call returned", true);
    }
    std::error_code error;
    std::filesystem::remove_all(transaction.scratch, error);
    return result;
}

bool materialise_whole(const std::vector<Op>& log, std::size_t operations,
                       const TransactionCase& transaction, std::string& why) {
    Model model = model_of(transaction);
    for (std::size_t i = 0; i < operations && i < log.size(); ++i) {
        model.apply(log[i]);
    }
    Op everything;
    everything.kind = OpKind::sync;
    model.apply(everything);
    bool made = false;
    Limits one;
    one.exhaustive_up_to = 1;
    each_crash_state(model, one, 0, [&](const LeftOnDisk& left) {
        JournalFate fate = JournalFate::rewritten;
        std::string reason;
        made = make_state(left, transaction, fate, reason, why);
        if (made && fate != JournalFate::rewritten) {
            why = "the journal is refused: " + reason;
            made = false;
        }
    });
    return made;
}

}  // namespace kivcrash
