// SPDX-License-Identifier: Zlib
// A transaction's steps, in the order that makes it all or nothing:
// each member's staged name recorded and made durable before the staged
// file is created; at commit, the guards looked at again, the staged
// files' names made durable, one ready record for each member and then the
// commit record, each write made durable on its own; only then is any
// target changed. The journal goes once every member is in place and
// durable, and with it the transaction.
#include "transaction.h"

#include <chrono>
#include <random>
#include <set>
#include <utility>

#include "kivcopy.h"
#include "kivfs/hidden_names.h"
#include "kivtransaction.h"
#include "recovery.h"
#include "report.h"
#include "substitute.h"

namespace kivtransaction {
namespace {

// A number that names the transaction and its journal: random, with the
// clock mixed in where the system's randomness is weak.
std::uint64_t new_transaction_number() {
    std::random_device random;
    std::uint64_t number = (std::uint64_t{random()} << 32) ^ random();
    number ^= static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    return number;
}

// A file's identity in the folder's terms: the folder's volume (see
// member_folder.h) and the file's own index.
journal::FileId id_in(const MemberFolder& folder, const kivcommon::FileIdentity& identity) {
    return {folder.id.volume, identity.index};
}

#if defined(_WIN32)
constexpr kivcommon::PathChar separator = L'\\';
bool is_separator(kivcommon::PathChar c) {
    return c == L'\\' || c == L'/';
}
#else
constexpr kivcommon::PathChar separator = '/';
bool is_separator(kivcommon::PathChar c) {
    return c == '/';
}
#endif

bool is_folder(const journal::MemberKind kind) {
    return kind == journal::MemberKind::folder;
}

// Where the last component of `path` starts: after its last separator.
std::size_t name_start(const kivcommon::Path& path) {
    std::size_t start = path.size();
    while (start > 0 && !is_separator(path[start - 1])) {
        --start;
    }
    return start;
}

// A folder's path as callers spell it alike: separators run together and
// none at the end (Windows: either separator, as the system takes them; a
// UNC path keeps its two leading ones). Letters of either case name one
// folder on Windows: same_letters() compares two such paths.
kivcommon::Path spelled_alike(const kivcommon::Path& path) {
    kivcommon::Path spelled;
    for (std::size_t at = 0; at < path.size(); ++at) {
        kivcommon::PathChar c = path[at];
        if (is_separator(c)) {
            c = separator;
            if (!spelled.empty() && spelled.back() == separator && at > 1) {
                continue;
            }
        }
        spelled.push_back(c);
    }
    while (spelled.size() > 1 && spelled.back() == separator) {
        spelled.pop_back();
    }
    return spelled;
}

}  // namespace

std::int32_t Transaction::begin(const Path& journal_folder, std::unique_ptr<Transaction>& made) {
    int error = 0;
    std::unique_ptr<JournalFolder> folder = JournalFolder::open(journal_folder, error);
    if (folder == nullptr) {
        return KIVTRANSACTION_NO_JOURNAL;
    }
    const std::int32_t recovered = recover(*folder);
    if (recovered < 0) {
        return recovered;
    }
    journal::Header header;
    std::unique_ptr<JournalFile> file;
    for (int attempt = 0; attempt < 4 && file == nullptr; ++attempt) {
        header.transaction = new_transaction_number();
        file = folder->create(header.transaction, journal::header_record(header), error);
    }
    if (file == nullptr) {
        return KIVTRANSACTION_NO_JOURNAL;
    }
    made.reset(new Transaction(std::move(folder), std::move(file)));
    return KIVTRANSACTION_OK;
}

Transaction::~Transaction() {
    if (state_ != State::ended) {
        abort();
    }
}

std::int32_t Transaction::open_for_members() const {
    if (state_ == State::must_abort) {
        return KIVTRANSACTION_MUST_ABORT;
    }
    return state_ == State::open ? KIVTRANSACTION_OK : KIVTRANSACTION_UNKNOWN;
}

kivcopy::InstallFlags Transaction::install_flags(std::int32_t flags) {
    kivcopy::InstallFlags taken = kivcopy::install_flags(flags);
    if (taken.by_version) {
        if (manifest_ == nullptr) {
            manifest_ = std::make_unique<kivcopy::Manifest>(
                kivfs::Directory::held(folder_->handle(), folder_->path(), true));
        }
        taken.manifest = manifest_.get();
    }
    return taken;
}

std::int32_t Transaction::install(const kivcommon::PathChar* source,
                                  const kivcommon::PathChar* target, std::int32_t flags) {
    std::optional<journal::FileId> inside;
    const kivcommon::Path at = in_made_folders(target, inside);
    return add_install(
        flags,
        [&](const kivcopy::StagedName& naming, kivcopy::StagedInstall& staged) {
            return kivcopy::stage_install(source, at.c_str(), install_flags(flags), naming,
                                          staged);
        },
        nullptr, inside);
}

kivcommon::Path Transaction::in_made_folders(const kivcommon::PathChar* path,
                                             std::optional<journal::FileId>& inside) const {
    const kivcommon::Path text(path);
    const std::size_t last = name_start(text);
    if (last == 0 || last == text.size()) {
        return text;
    }
    const kivcommon::Path folder = spelled_alike(text.substr(0, last - 1));
    for (auto made = made_folders_.rbegin(); made != made_folders_.rend(); ++made) {
        if (same_letters(made->spelled, folder)) {
            inside = made->id;
            return made->staged_at + separator + text.substr(last);
        }
    }
    return text;
}

std::int32_t Transaction::make_folder(const kivcommon::PathChar* path) {
    if (const std::int32_t closed = open_for_members(); closed != KIVTRANSACTION_OK) {
        return closed;
    }
    // "app/bin/" names the folder that "app/bin" does.
    kivcommon::Path named(path);
    while (named.size() > 1 && is_separator(named.back())) {
        named.pop_back();
    }
    std::optional<journal::FileId> inside;
    const kivcommon::Path at = in_made_folders(named.c_str(), inside);
    int error = 0;
    const std::shared_ptr<kivfs::Directory> parent = kivfs::Directory::open_for(at, error);
    if (parent == nullptr) {
        return KIVCOPY_TARGET_NOT_WRITTEN;
    }
    if (inside) {
        // The made folder must still be the one this path led into.
        MemberFolder held;
        if (!describe_folder(*parent, held, error) || !(held.id == *inside)) {
            return KIVCOPY_TARGET_NOT_WRITTEN;
        }
    }
    std::shared_ptr<kivfs::Directory> made;
    const std::int32_t result = make_folder(parent, parent->entry_name(), made, &error);
    if (result == KIVTRANSACTION_OK) {
        const Member& member = members_.back();
        made_folders_.push_back({spelled_alike(named),
                                 at.substr(0, name_start(at)) + system_form(member.staged_name),
                                 member.made_id});
    }
    return result;
}

std::int32_t Transaction::make_folder(const std::shared_ptr<kivfs::Directory>& parent,
                                      const kivcommon::Path& name,
                                      std::shared_ptr<kivfs::Directory>& made, int* error,
                                      unsigned mode) {
    if (const std::int32_t closed = open_for_members(); closed != KIVTRANSACTION_OK) {
        return closed;
    }
    int failure = 0;
    const auto failed = [&](std::int32_t result) {
        if (error != nullptr) {
            *error = failure;
        }
        return result;
    };
    Member member;
    member.kind = journal::MemberKind::folder;
    member.folder.directory = parent;
    member.target = journal_form(name);
    NameLook look;
    if (!describe_folder(*parent, member.folder, failure) ||
        !look_at(member.folder, member.target, look, failure)) {
        return failed(KIVCOPY_TARGET_NOT_WRITTEN);
    }
    // A folder this transaction makes already is there for it too.
    for (const Member& earlier : members_) {
        if (is_folder(earlier.kind) && earlier.made != nullptr &&
            earlier.folder.id == member.folder.id &&
            same_letters(system_form(earlier.target), system_form(member.target))) {
            made = earlier.made;
            return KIVTRANSACTION_FOLDER_EXISTS;
        }
    }
    if (look.exists) {
        if (!look.directory) {
            return failed(KIVCOPY_TARGET_EXISTS);
        }
        made = kivfs::Directory::open_below(parent, member.target, failure);
        return made != nullptr ? KIVTRANSACTION_FOLDER_EXISTS
                               : failed(KIVCOPY_TARGET_NOT_WRITTEN);
    }
    const kivcommon::Path hidden = kivfs::hidden_name_for(name, kivfs::transaction_kind);
    bool announced = false;
    if (!announce(member, *parent, member.target, journal_form(hidden), 0, announced)) {
        return failed(KIVCOPY_TARGET_NOT_WRITTEN);
    }
    member.staged_name = journal_form(hidden);
    bool existed = false;
    made = kivfs::Directory::make_below(parent, member.staged_name, mode, existed, failure);
    MemberFolder described;
    if (made == nullptr || existed || !describe_folder(*made, described, failure)) {
        // Recorded, perhaps made: only an abort, which removes it where it
        // is there and empty, is left.
        state_ = State::must_abort;
        made = nullptr;
        members_.push_back(std::move(member));
        return failed(KIVCOPY_TARGET_NOT_WRITTEN);
    }
    member.made = made;
    member.made_id = described.id;
    members_.push_back(std::move(member));
    return KIVTRANSACTION_OK;
}

std::int32_t Transaction::install(kivcopy::platform::Source& source,
                                  std::shared_ptr<kivfs::Directory> target_folder,
                                  std::int32_t flags, int* error,
                                  kivcopy::InstallDecision* decided) {
    return add_install(
        flags,
        [&](const kivcopy::StagedName& naming, kivcopy::StagedInstall& staged) {
            return kivcopy::stage_install(source, std::move(target_folder), install_flags(flags),
                                          naming, staged);
        },
        error, std::nullopt, decided);
}

std::int32_t Transaction::add_install(
    std::int32_t flags,
    const std::function<kivcopy::Installed(const kivcopy::StagedName&, kivcopy::StagedInstall&)>&
        stage,
    int* error, const std::optional<journal::FileId>& inside, kivcopy::InstallDecision* decided) {
    if (const std::int32_t closed = open_for_members(); closed != KIVTRANSACTION_OK) {
        return closed;
    }
    Member member;
    member.kind = journal::MemberKind::install;
    member.flags = kivcopy::install_flags(flags);
    bool announced = false;
    kivcopy::StagedName naming{kivfs::transaction_kind, {}};
    naming.announce = [&](kivfs::Directory& folder, const kivcommon::Path& name) {
        return announce(member, folder, journal_form(folder.entry_name()), journal_form(name),
                        static_cast<std::uint32_t>(flags), announced, inside);
    };
    const kivcopy::Installed staged = stage(naming, member.staged);
    if (decided != nullptr) {
        *decided = staged.decided;
    }
    if (staged.status == kivcopy::CopyStatus::copied &&
        staged.decided.verdict != kivcopy::Verdict::replace) {
        // The target is kept: nothing was staged or recorded for it.
        return kivcopy::result_of(staged);
    }
    if (staged.status != kivcopy::CopyStatus::copied) {
        if (error != nullptr) {
            *error = staged.error;
        }
        // Nothing was staged; a failure after the name was recorded leaves
        // a transaction that only an abort ends.
        if (announced) {
            state_ = State::must_abort;
        }
        return kivcopy::result_of(staged);
    }
    member.folder.directory = member.staged.folder;
    member.target = journal_form(member.staged.folder->entry_name());
    member.staged_name = journal_form(member.staged.name);
    const std::int32_t result = kivcopy::result_of(member.staged.written);
    members_.push_back(std::move(member));
    return result;
}

// The name goes into the journal, durably, before the file is created: a
// crash in between leaves a name that recovery finds nothing at.
bool Transaction::announce(Member& member, kivfs::Directory& directory,
                           const std::string& target, const std::string& name,
                           std::uint32_t flags, bool& announced,
                           const std::optional<journal::FileId>& inside) {
    int error = 0;
    if (announced || !describe_folder(directory, member.folder, error)) {
        return false;
    }
    if (inside && !(member.folder.id == *inside)) {
        return false;
    }
    announced = true;
    journal::Intent intent;
    intent.kind = member.kind;
    intent.folder = member.folder.path;
    intent.folder_id = member.folder.id;
    intent.target = target;
    intent.staged = name;
    intent.flags = flags;
    return journal_->append(journal::intent_record(intent), error);
}

std::int32_t Transaction::replace(const kivcommon::PathChar* path, kivsubst::Scanners& scanners) {
    if (const std::int32_t closed = open_for_members(); closed != KIVTRANSACTION_OK) {
        return closed;
    }
    int error = 0;
    std::optional<journal::FileId> inside;
    const kivcommon::Path at = in_made_folders(path, inside);
    HeldFile file;
    file.directory = kivfs::Directory::open_for(at, error);
    MemberFolder held;
    if (file.directory == nullptr ||
        (inside && (!describe_folder(*file.directory, held, error) || !(held.id == *inside)))) {
        return kivsubst::report::cannot_open(path);
    }
    file.name = file.directory->entry_name();
    file.shown = path;
    return replace(file, scanners);
}

std::int32_t Transaction::replace(const HeldFile& held, kivsubst::Scanners& scanners,
                                  PatchOutcome* outcome) {
    if (const std::int32_t closed = open_for_members(); closed != KIVTRANSACTION_OK) {
        return closed;
    }
    int error = 0;
    const std::shared_ptr<kivfs::Directory>& directory = held.directory;
    Member member;
    member.kind = journal::MemberKind::patch;
    member.target = journal_form(held.name);
    member.folder.directory = directory;
    if (!describe_folder(*directory, member.folder, error)) {
        if (outcome != nullptr) {
            outcome->failure.step = kivsubst::Failure::Step::open_file;
            outcome->failure.because(error);
        }
        return kivsubst::report::cannot_open(held.shown);
    }
    // A target that an earlier member changes is patched as that member
    // leaves it: the patch reads the earlier member's staged file.
    const Member* earlier = latest_member_for(member.folder.id, member.target);
    bool announced = false;
    kivsubst::FileAt file;
    // Held by its handle, and on Windows, which holds a folder by its path,
    // by the whole path recorded for it.
    file.directory =
        kivfs::Directory::held(directory->handle(), system_form(member.folder.path), false);
    // An earlier member's staged file is the transaction's own: no link is
    // followed to it, and it is not the file the caller checked.
    file.name = earlier != nullptr ? system_form(earlier->staged_name) : held.name;
    file.shown = held.shown;
    file.links = earlier != nullptr ? kivfs::Links::refuse : held.links;
    if (earlier == nullptr) {
        file.expected = held.expected;
    }
    file.staged_name = [&](kivfs::Directory&) -> std::optional<kivcommon::Path> {
        const kivcommon::Path name = kivfs::hidden_name_for(held.name, kivfs::transaction_kind);
        if (!announce(member, *directory, member.target, journal_form(name), 0, announced)) {
            return std::nullopt;
        }
        member.staged_name = journal_form(name);
        return name;
    };
    kivsubst::Substitution substitution(std::move(file));
    const int prepared = substitution.prepare(scanners);
    if (outcome != nullptr) {
        outcome->failure = substitution.failure();
        outcome->replacements = prepared == 0 ? substitution.replacements() : 0;
    }
    if (prepared != 0) {
        // What prepare() made it has removed; a recorded name leaves a
        // transaction that only an abort ends.
        if (announced) {
            state_ = State::must_abort;
        }
        return prepared;
    }
    // The file written back is the target as it is at this member's turn:
    // the file read, or the file an earlier install puts at the name; an
    // earlier patch's target keeps the times it had before the first.
    const kivfs::FileStatus& status = substitution.status();
    member.target_id = id_in(member.folder, status.identity);
    member.accessed = {status.times.access.seconds, status.times.access.nanoseconds};
    member.modified = {status.times.modification.seconds, status.times.modification.nanoseconds};
    member.after_member = earlier != nullptr;
    if (earlier != nullptr && earlier->kind == journal::MemberKind::patch) {
        member.target_id = earlier->target_id;
        member.accessed = earlier->accessed;
        member.modified = earlier->modified;
    }
    if (substitution.replacements() == 0) {
        substitution.remove_temporary();
        member.inert = true;
        members_.push_back(std::move(member));  // recorded, with nothing staged
        return substitution.result();
    }
    if (!substitution.temporary().sync()) {
        if (outcome != nullptr) {
            outcome->failure.step = kivsubst::Failure::Step::write_temporary;
            outcome->failure.because(kivsubst::platform::last_error());
            outcome->failure.temporary = system_form(member.staged_name);
        }
        substitution.remove_temporary();
        state_ = State::must_abort;
        return kivsubst::report::copy_error();
    }
    substitution.keep_temporary();
    members_.push_back(std::move(member));
    return substitution.result();
}

const Transaction::Member* Transaction::latest_member_for(const journal::FileId& folder,
                                                         const std::string& target) const {
    for (auto member = members_.rbegin(); member != members_.rend(); ++member) {
        if (!member->inert && member->folder.id == folder && member->target == target) {
            return &*member;
        }
    }
    return nullptr;
}

// The guards again, just before the commit record: a target that appeared
// since an install without permission to replace it was staged, or that
// became read-only (Windows) since one without leave for that was, or one
// that another program holds so that putting its member in place would be
// refused (a file held without delete sharing on Windows), fails the whole
// transaction now, while every target is still old.
std::int32_t Transaction::check_targets() {
    for (std::size_t index = 0; index < members_.size(); ++index) {
        Member& member = members_[index];
        failed_member_ = static_cast<std::int32_t>(index);
        if (member.inert) {
            continue;
        }
        NameLook look;
        NameLook staged;
        int error = 0;
        if (!look_at(member.folder, member.target, look, error) ||
            !look_at(member.folder, member.staged_name, staged, error)) {
            return KIVCOPY_TARGET_NOT_WRITTEN;
        }
        if (member.kind == journal::MemberKind::folder) {
            if (look.exists) {
                return KIVCOPY_TARGET_EXISTS;
            }
            if (!staged.exists || !staged.directory || !(staged.id == member.made_id)) {
                return KIVTRANSACTION_TARGET_CHANGED;
            }
            continue;
        }
        if (member.kind == journal::MemberKind::install) {
            if (look.exists && !member.flags.replace) {
                return KIVCOPY_TARGET_EXISTS;
            }
            if (look.read_only && !member.flags.read_only) {
                return KIVCOPY_TARGET_NOT_WRITTEN;
            }
            if (!staged.exists || !(staged.id == id_in(member.folder, member.staged.identity))) {
                return KIVTRANSACTION_TARGET_CHANGED;
            }
        } else if (!staged.exists) {
            return KIVTRANSACTION_TARGET_CHANGED;
        } else if (!member.after_member) {
            // A patch is written back into the very file that was read,
            // through a link at its name where there is one (a patch after
            // another member of the target's is that member's to check).
            NameLook file;
            if (!staged.exists || !look_at(member.folder, member.target, file, error, true) ||
                !file.exists || !(file.id == member.target_id)) {
                return KIVTRANSACTION_TARGET_CHANGED;
            }
        }
        // An install renames onto its target; a patch writes into it (a
        // patch after another member writes into what that member leaves,
        // which that member's check covers).
        // An install allowed to wait for the restart makes the whole
        // transaction wait.
        bool in_use = false;
        if (!member.after_member &&
            !may_replace(member.folder, member.target,
                         member.kind == journal::MemberKind::install, in_use, error)) {
            if (in_use && member.kind == journal::MemberKind::install &&
                member.flags.at_restart) {
                waits_for_restart_ = true;
                continue;
            }
            return in_use ? KIVINSTALL_IN_USE : KIVCOPY_TARGET_NOT_WRITTEN;
        }
    }
    failed_member_ = -1;
    return KIVTRANSACTION_OK;
}

// Every member queued to take its target's place at the next restart, in
// the order they were added (a patch's staged file first given the times
// its target keeps), the folders this transaction made after their
// contents, the last made first. The system carries the queue out before
// any program can hold a target again.
bool Transaction::queue_members_at_restart(int& error) {
    std::vector<Member*> in_order;
    for (Member& member : members_) {
        if (!is_folder(member.kind)) {
            in_order.push_back(&member);
        }
    }
    for (auto member = members_.rbegin(); member != members_.rend(); ++member) {
        if (is_folder(member->kind)) {
            in_order.push_back(&*member);
        }
    }
    for (Member* queued : in_order) {
        Member& member = *queued;
        if (member.inert) {
            continue;
        }
        if (member.kind == journal::MemberKind::patch &&
            !give_times(member.folder, member.staged_name, member.accessed, member.modified,
                        error)) {
            return false;
        }
        if (!queue_at_restart(member.folder, member.staged_name, member.target, error)) {
            return false;
        }
    }
    return true;
}

// Every staged file's name durable in its folder, then one ready record
// for each member, made durable with one sync before the commit record,
// which makes them count, is written.
bool Transaction::write_ready_records(int& error) {
    std::set<std::pair<std::uint64_t, std::uint64_t>> synced;
    std::vector<std::string> ready;
    for (std::size_t index = 0; index < members_.size(); ++index) {
        Member& member = members_[index];
        if (synced.insert({member.folder.id.volume, member.folder.id.index}).second &&
            !sync_folder(member.folder, error)) {
            return false;
        }
        NameLook staged;
        if (!look_at(member.folder, member.staged_name, staged, error)) {
            return false;
        }
        journal::Ready record;
        record.member = static_cast<std::uint32_t>(index);
        record.staged_id = staged.id;
        record.staged_size = staged.size;
        if (member.kind == journal::MemberKind::folder) {
            record.staged_size = 0;
        } else if (member.kind == journal::MemberKind::install) {
            record.target_existed =
                member.staged.target.kind != kivcopy::platform::TargetStatus::Kind::absent;
            record.target_id = id_in(member.folder, member.staged.target.identity);
        } else {
            record.target_existed = true;
            record.target_id = member.target_id;
            record.accessed = member.accessed;
            record.modified = member.modified;
        }
        ready.push_back(journal::ready_record(record));
    }
    return journal_->append(ready, error);
}

// Puts one member in place: an install's staged file renamed onto its
// target, a patch's written back over it (and then removed).
bool Transaction::put_in_place(Member& member, int& error) {
    if (member.inert) {
        return true;
    }
    if (member.kind == journal::MemberKind::install) {
        return rename_onto(member.folder, member.staged_name, member.target, error);
    }
    NameLook staged;
    if (!look_at(member.folder, member.staged_name, staged, error)) {
        return false;
    }
    bool gone = false;
    const WriteBack write{member.staged_name, staged.id,       member.target,
                          member.target_id,   member.accessed, member.modified};
    return write_back(member.folder, write, gone, error) && !gone &&
           remove_name(member.folder, member.staged_name, error);
}

bool Transaction::sync_member_folders(bool (*which)(const Member&)) {
    std::set<std::pair<std::uint64_t, std::uint64_t>> synced;
    bool all = true;
    for (Member& member : members_) {
        int error = 0;
        if (which(member) &&
            synced.insert({member.folder.id.volume, member.folder.id.index}).second) {
            all = sync_folder(member.folder, error) && all;
        }
    }
    return all;
}

namespace {

// Steps each folder member, the last made first (a folder inside another
// is made after it), and syncs the folder it is in once the members next
// to be stepped are in another; false where a step or a sync failed.
template <typename Members, typename Step>
bool step_folder_members(Members& members, Step step) {
    bool all = true;
    for (auto member = members.rbegin(); member != members.rend(); ++member) {
        if (!is_folder(member->kind)) {
            continue;
        }
        int error = 0;
        all = step(*member, error) && all;
        auto next = std::next(member);
        while (next != members.rend() && !is_folder(next->kind)) {
            ++next;
        }
        if (next == members.rend() || !(next->folder.id == member->folder.id)) {
            all = sync_folder(member->folder, error) && all;
        }
    }
    return all;
}

}  // namespace

// Each file member put in place, in the order they were added, and their
// folders synced (the renames, and the patches' staged files gone); then
// each folder member renamed onto its name, its contents already in place.
// A member that cannot be put in place is left to recovery, which the
// journal (kept) asks for.
bool Transaction::put_members_in_place() {
    bool all = true;
    int error = 0;
    for (Member& member : members_) {
        if (!is_folder(member.kind)) {
            all = put_in_place(member, error) && all;
        }
    }
    all = sync_member_folders([](const Member& member) { return !is_folder(member.kind); }) && all;
    return step_folder_members(members_, [](Member& member, int& failure) {
               return rename_folder_onto_free_name(member.folder, member.staged_name,
                                                   member.target, failure);
           }) && all;
}

// The staged files removed and their folders synced, then the folders
// this transaction made, each empty by then.
void Transaction::remove_staged_members() {
    for (Member& member : members_) {
        int error = 0;
        if (!is_folder(member.kind)) {
            remove_name(member.folder, member.staged_name, error);
        }
    }
    sync_member_folders([](const Member& member) { return !is_folder(member.kind); });
    step_folder_members(members_, [](Member& member, int& failure) {
        return remove_empty_folder(member.folder, member.staged_name, failure);
    });
}

bool Transaction::end_journal() {
    int error = 0;
    const bool removed = journal_->remove(error);
    state_ = State::ended;
    return removed;
}

std::int32_t Transaction::commit() {
    if (state_ == State::must_abort) {
        return KIVTRANSACTION_MUST_ABORT;
    }
    if (state_ != State::open) {
        return KIVTRANSACTION_UNKNOWN;
    }
    const std::int32_t checked = check_targets();
    if (checked != KIVTRANSACTION_OK) {
        abort();
        return checked;
    }
    int error = 0;
    if (!write_ready_records(error)) {
        abort();
        return KIVTRANSACTION_NO_JOURNAL;
    }
    if (waits_for_restart_) {
        return commit_at_restart();
    }
    // The commit point. A commit record whose sync failed may have reached
    // the disk or not: the staged members stay for recovery, which decides
    // by what the journal holds.
    const std::string record =
        journal::commit_record(static_cast<std::uint32_t>(members_.size()));
    if (!journal_->append(record, error) || !put_members_in_place()) {
        state_ = State::ended;
        return KIVTRANSACTION_PENDING;
    }
    end_journal();
    return KIVTRANSACTION_OK;
}

// The queue comes before the commit record: a queue refused (a caller
// without the right to write the machine's settings) leaves all old, and
// entries queued for a transaction that never committed find no staged
// file at the restart once recovery has removed them. Once the record is
// durable, the journal stays for the recovery after the restart, which
// finishes what the restart left undone.
std::int32_t Transaction::commit_at_restart() {
    int error = 0;
    if (!queue_members_at_restart(error)) {
        abort();
        return KIVINSTALL_IN_USE;
    }
    const std::string record =
        journal::commit_record(static_cast<std::uint32_t>(members_.size()), true);
    if (!journal_->append(record, error)) {
        state_ = State::ended;
        return KIVTRANSACTION_PENDING;
    }
    state_ = State::ended;
    return KIVTRANSACTION_AT_RESTART;
}

std::int32_t Transaction::abort() {
    if (state_ == State::ended) {
        return KIVTRANSACTION_UNKNOWN;
    }
    remove_staged_members();
    end_journal();
    return KIVTRANSACTION_OK;
}

}  // namespace kivtransaction
