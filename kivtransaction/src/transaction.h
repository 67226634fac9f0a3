// SPDX-License-Identifier: Zlib
// One transaction: its journal, and its members staged beside their
// targets. Every step that can fail comes before the commit record, so
// that a failure leaves every target old; after it, each member is put in
// place and the journal removed, and where that is cut off, recovery
// finishes what the journal records.
#ifndef KIVTRANSACTION_TRANSACTION_H
#define KIVTRANSACTION_TRANSACTION_H

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "install.h"
#include "journal.h"
#include "journal_folder.h"
#include "manifest.h"
#include "member_folder.h"
#include "scanners.h"
#include "substitute.h"

namespace kivtransaction {

class Transaction {
public:
    // Recovers what earlier transactions left in the folder at
    // `journal_folder`, then begins a new one there: its journal created,
    // its header durable. A result code; `made` holds it on 0.
    static std::int32_t begin(const Path& journal_folder, std::unique_ptr<Transaction>& made);

    ~Transaction();

    // Stages an install of `source` onto `target` (KivInstallFile's flags
    // and results): the staged file's name is recorded before it is
    // created. A failure leaves the transaction to be aborted.
    std::int32_t install(const kivcommon::PathChar* source, const kivcommon::PathChar* target,
                         std::int32_t flags);
    // The same from a source that the caller opened and the target's
    // folder as the caller holds it, the target's name its entry_name()
    // (kivfs::Directory::lent_for gives one for a folder that a walk
    // holds). `error`, where given, is the system's error of a failed
    // staging, as KivInstallFile's worker takes it; `decided`, where given,
    // what a member that decides by version found.
    std::int32_t install(kivcopy::platform::Source& source,
                         std::shared_ptr<kivfs::Directory> target_folder, std::int32_t flags,
                         int* error = nullptr, kivcopy::InstallDecision* decided = nullptr);

    // Makes the folder `name` in `parent` as a member: made at once under a
    // recorded hidden name beside where it goes and held in `made`, for the
    // members staged inside it; at the commit, once they are in place, it
    // takes its name (never replacing what appeared there meanwhile), and
    // an abort or an undo removes it. A folder that is there already is
    // only held (KIVTRANSACTION_FOLDER_EXISTS; nothing recorded); anything
    // else there fails it (KIVCOPY_TARGET_EXISTS). `mode` (POSIX, less the
    // umask) is the one it is made with.
    std::int32_t make_folder(const std::shared_ptr<kivfs::Directory>& parent,
                             const kivcommon::Path& name, std::shared_ptr<kivfs::Directory>& made,
                             int* error = nullptr, unsigned mode = 0777);
    // The same at `path`, as the export takes it.
    std::int32_t make_folder(const kivcommon::PathChar* path);

    // Stages a patch of the file at `path` (replaceString's and
    // replaceText's results and lines): its new content written whole
    // beside it under a recorded hidden name. A file without an occurrence
    // (1) stays out of the transaction.
    std::int32_t replace(const kivcommon::PathChar* path, kivsubst::Scanners& scanners);

    // A file as a front end holds it: the directory its walk or command
    // line opened, and a name in it, so that the name is never resolved
    // from a path again. A link at the name is followed only with
    // Links::follow, and the file is patched only if it is still the one
    // `expected` names, where that is given.
    struct HeldFile {
        std::shared_ptr<kivfs::Directory> directory;
        kivcommon::Path name;
        kivcommon::Path shown;  // the file as the library's lines name it
        kivcommon::Links links = kivcommon::Links::follow;
        std::optional<kivcommon::FileIdentity> expected;
    };
    // What a patch member came to, for a caller that tells it in its own
    // words: the replacements staged, and why its staging failed.
    struct PatchOutcome {
        std::uint64_t replacements = 0;
        kivsubst::Failure failure;
    };
    // Stages a patch of `file`, as replace() above (which opens the file's
    // directory and calls this); `outcome`, where given, is filled in.
    std::int32_t replace(const HeldFile& file, kivsubst::Scanners& scanners,
                         PatchOutcome* outcome = nullptr);

    // Puts every member in place, all or none: 0, or a negative code with
    // every target old, or KIVTRANSACTION_PENDING where the rest is
    // recovery's; KIVTRANSACTION_AT_RESTART (Windows) where every member
    // waits for the next restart.
    std::int32_t commit();

    // Removes every staged member and the journal: every target old.
    std::int32_t abort();

    // The member whose guard failed the commit (its place among the members
    // staged, counting those that found nothing to patch), or -1.
    std::int32_t failed_member() const { return failed_member_; }

    // Serialises the calls on one transaction from several threads.
    std::mutex& calls() { return calls_; }

private:
    struct Member {
        journal::MemberKind kind = journal::MemberKind::install;
        MemberFolder folder;
        std::string target;
        std::string staged_name;
        // An install: what its staging left, and its flags.
        kivcopy::StagedInstall staged;
        kivcopy::InstallFlags flags;
        // A patch: the target as it was read, and the times it keeps.
        bool inert = false;         // recorded, but nothing staged (no occurrence)
        bool after_member = false;  // patches what an earlier member leaves at the target
        // A folder: the folder made under the staged name, and its identity.
        std::shared_ptr<kivfs::Directory> made;
        journal::FileId made_id;
        journal::FileId target_id;
        journal::Time accessed;
        journal::Time modified;
    };

    // Records a member's intent for the staged name `name` beside its
    // target `target` in `directory`, durably, once: a second name for the
    // same member is refused.
    // `inside`, where given, is the folder the directory must be: a folder
    // member's, made by this transaction, that the caller's path led into.
    bool announce(Member& member, kivfs::Directory& directory, const std::string& target,
                  const std::string& name, std::uint32_t flags, bool& announced,
                  const std::optional<journal::FileId>& inside = std::nullopt);
    // A path that the caller gave, taken into the folders this transaction
    // makes: where its folder is spelled as one of theirs was, the same
    // path through that folder's hidden name, with the folder's identity
    // in `inside`; else the path itself.
    kivcommon::Path in_made_folders(const kivcommon::PathChar* path,
                                    std::optional<journal::FileId>& inside) const;
    // Stages an install member by `stage`, which runs one of kivcopy's
    // stage_install forms with the naming and the staged install given.
    std::int32_t add_install(std::int32_t flags,
                             const std::function<kivcopy::Installed(
                                 const kivcopy::StagedName&, kivcopy::StagedInstall&)>& stage,
                             int* error,
                             const std::optional<journal::FileId>& inside = std::nullopt,
                             kivcopy::InstallDecision* decided = nullptr);
    // KivInstallFile's flags for a member; one that decides by version
    // keeps its manifest in the journal folder.
    kivcopy::InstallFlags install_flags(std::int32_t flags);
    // KIVTRANSACTION_OK while members may be added, else why not.
    std::int32_t open_for_members() const;
    bool put_in_place(Member& member, int& error);
    // The last member that changes `target` in the folder of `folder`.
    const Member* latest_member_for(const journal::FileId& folder, const std::string& target) const;

    Transaction(std::unique_ptr<JournalFolder> folder, std::unique_ptr<JournalFile> journal)
        : folder_(std::move(folder)), journal_(std::move(journal)) {}

    std::int32_t check_targets();
    bool queue_members_at_restart(int& error);
    std::int32_t commit_at_restart();
    bool write_ready_records(int& error);
    bool put_members_in_place();
    void remove_staged_members();
    // Syncs each folder that a member of `which` is in, once.
    bool sync_member_folders(bool (*which)(const Member&));
    bool end_journal();

    std::unique_ptr<JournalFolder> folder_;
    std::unique_ptr<JournalFile> journal_;
    std::unique_ptr<kivcopy::Manifest> manifest_;  // made for the first member that needs it
    std::vector<Member> members_;
    // The folders that make_folder(path) made: the caller's spelling of
    // each path as spelled_alike() gives it (same_letters() compares two),
    // the path that stages inside it, its identity.
    struct MadeFolder {
        kivcommon::Path spelled;
        kivcommon::Path staged_at;
        journal::FileId id;
    };
    std::vector<MadeFolder> made_folders_;
    enum class State { open, must_abort, ended } state_ = State::open;
    std::int32_t failed_member_ = -1;
    bool waits_for_restart_ = false;  // a target in use that may be replaced at the restart
    std::mutex calls_;
};

}  // namespace kivtransaction

#endif
