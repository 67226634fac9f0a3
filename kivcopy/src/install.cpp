// SPDX-License-Identifier: Zlib
// KivInstallFile's steps: the source opened, the target looked at and the
// guard applied, the new file written whole under a hidden name beside the
// target (created exclusively, with the copy's own steps and stamp), then
// put in the target's place by one rename. The target so holds the old
// file or the new one at every moment, never a part of either.
#include "install.h"

#include <cstdint>
#include <memory>
#include <utility>

#include "engine.h"
#include "install_platform.h"
#include "kivcopy.h"
#include "kivfs/commit.h"
#include "kivfs/hidden_names.h"
#include "kivfs/leftovers.h"
#include "kivfs/restart_queue.h"
#include "manifest.h"


namespace kivcopy {
namespace {

using platform::File;
using platform::FileIdentity;
using platform::Directory;
using platform::Path;
using platform::TargetStatus;

// How many hidden names are tried for the staged file before the install
// gives up: each is new, so only someone who takes the names as they are
// made can use them up.
constexpr int attempts_at_a_staged_name = 16;

// Creates the staged file beside the target, exclusively, never through
// anything already at its name, and holds it for as long as it is open, so
// that another call's settling leaves it (one that a settling took in the
// moment before is given up for a new name); `staged` is its name in the
// folder, and `error` the system's error of a creation that failed.
CopyStatus create_staged(Directory& folder, const platform::Source& source,
                         const StagedName& naming, File& file, Path& staged,
                         kivfs::KeptHold& hold, int& error) {
    for (int attempt = 0; attempt < attempts_at_a_staged_name; ++attempt) {
        staged = kivfs::hidden_name_for(folder.entry_name(), naming.kind);
        if (naming.announce && !naming.announce(folder, staged)) {
            error = platform::last_error();
            return CopyStatus::target_not_written;
        }
        Path storage;
        platform::Creation creation = platform::Creation::failed;
        file = platform::create_target(platform::place(folder, staged, storage), source.permissions,
                                       creation);
        if (creation == platform::Creation::created) {
            if (kivfs::hold_while_alive(file.handle(), folder.handle(), staged)) {
                hold = kivfs::KeptHold(file.handle());
                return CopyStatus::copied;
            }
            error = platform::last_error();
            file.close();
            continue;
        }
        error = platform::last_error();
        if (creation == platform::Creation::failed) {
            return CopyStatus::target_not_written;
        }
    }
    return CopyStatus::target_not_written;
}

// Writes the source into the staged file, stamps it as KivCopyFile stamps
// its copy and makes its data durable; closes both. A staged file that did
// not receive all of it, or could not be closed, is removed; one that only
// lacks its times stays, with times_not_set. `identity` is the staged
// file's, read while it is open; `hold` keeps it held past its close;
// `error` the system's error of a creation, a change of status or a sync
// that failed.
CopyStatus write_staged(Directory& folder, platform::Source& source, const StagedName& naming,
                        const TargetStatus& replaced, Path& staged, FileIdentity& identity,
                        kivfs::KeptHold& hold, int& error) {
    File file;
    CopyStatus created = create_staged(folder, source, naming, file, staged, hold, error);
    if (created != CopyStatus::copied) {
        staged.clear();
        return created;
    }
    identity = platform::identity_of_staged(file);
    CopyStatus status = CopyStatus::copied;
    if (replaced.kind == TargetStatus::Kind::regular && !platform::take_status_of(file, replaced)) {
        error = platform::last_error();
        file.close();
        source.file.close();
        status = CopyStatus::target_not_written;
    } else {
        engine::Written written = engine::write_copy(source, file, Sharing::when_possible,
                                                     engine::access_stamp(source));
        if (!written.closed && written.status == CopyStatus::copied &&
            !(platform::make_durable(file) && platform::take_read_only_of(file, replaced))) {
            error = platform::last_error();
            written.status = CopyStatus::target_not_written;
        }
        // KivCopyFile puts missing times above a failed write-out or close;
        // an install puts only a whole, closed file in place, so the close
        // is judged first and the times after it.
        const engine::Closed closed = engine::close_copy(written, file, source);
        status = closed.status;
        if (status == CopyStatus::copied && !closed.stamped) {
            status = CopyStatus::times_not_set;
        }
    }
    // A whole copy that only lacks its times is still installed, and the
    // result says the times are missing, as KivCopyFile's does.
    if (status != CopyStatus::copied && status != CopyStatus::times_not_set) {
        platform::remove_staged(folder, staged);
        staged.clear();
    }
    return status;
}

// Removes the restart entries that earlier runs queued and that would undo
// an install at the folder's target, and the staged files of ours that
// they would have moved there.
void drop_stale_restart_entries(Directory& folder) {
    Path target;
    Path staged_prefix;
    platform::place(folder, folder.entry_name(), target);
    platform::place(folder, kivfs::hidden_stem_for(folder.entry_name(), "new"), staged_prefix);
    kivfs::drop_stale_restart_entries(target, staged_prefix);
}

// Queues the staged file to replace the target at the next restart.
bool queue_replacement_at_restart(Directory& folder, const Path& staged) {
    Path staged_path;
    Path target;
    platform::place(folder, staged, staged_path);
    platform::place(folder, folder.entry_name(), target);
    return kivfs::queue_replacement_at_restart(staged_path, target);
}

// What the look at the target allows, before anything is written.
CopyStatus check_target(const TargetStatus& target, const platform::Source& source,
                        InstallFlags flags) {
    switch (target.kind) {
        case TargetStatus::Kind::absent:
            return CopyStatus::copied;
        case TargetStatus::Kind::regular:
        case TargetStatus::Kind::link:
            break;
        case TargetStatus::Kind::other:
        case TargetStatus::Kind::failed:
            return CopyStatus::target_not_written;
    }
    if (!flags.replace) {
        return CopyStatus::target_exists;
    }
    if (target.identity.volume == source.identity.volume &&
        target.identity.index == source.identity.index) {
        return CopyStatus::target_not_written;
    }
    return platform::refuses_replacement(target) && !flags.read_only
               ? CopyStatus::target_not_written
               : CopyStatus::copied;
}

// Puts the staged file in the target's place, now, or at the next restart
// where the target is in use and that is allowed. Before an install is
// reported done, the restart entries of earlier runs that would undo it go.
// A rename that put at the target's name a file other than the one this
// call wrote (`identity`: someone renamed theirs over the staged name in a
// folder others may write) fails: nothing of ours is left under our names.
Installed put_staged_in_place(Directory& folder, const Path& staged,
                              const FileIdentity& identity, InstallFlags flags) {
    int error = 0;
    switch (platform::put_in_place(folder, staged, flags.replace, error)) {
        case platform::Placing::placed:
            if (!platform::target_holds(folder, identity, error)) {
                return {CopyStatus::target_not_written, false, error};
            }
            drop_stale_restart_entries(folder);
            return {CopyStatus::copied, false};
        case platform::Placing::failed:
            platform::remove_staged(folder, staged);
            return {CopyStatus::target_not_written, false, error};
        case platform::Placing::name_taken:
            platform::remove_staged(folder, staged);
            return {CopyStatus::target_exists, false, error};
        case platform::Placing::in_use:
            break;
    }
    if (!flags.at_restart) {
        platform::remove_staged(folder, staged);
        return {CopyStatus::target_in_use, false, error};
    }
    // The stale entries go first: the rename queued now names the target
    // too, and is no earlier run's.
    drop_stale_restart_entries(folder);
    if (!queue_replacement_at_restart(folder, staged)) {
        error = platform::last_error();
        platform::remove_staged(folder, staged);
        return {CopyStatus::target_not_written, false, error};
    }
    return {CopyStatus::copied, true};
}

// The staged file as the one change of an install's commit: written and
// synced as it was staged (before it took the target's read-only
// attribute and was closed), put in place by put_staged_in_place, and its
// folder synced on its own, by a sync the file-system layer's group sync
// does not make: a folder held by a path descriptor (POSIX) or flushed
// itself (Windows). A rename leaves nothing staged to remove.
class Placement final : public kivfs::Change {
public:
    Placement(Directory& folder, Path staged, FileIdentity identity, InstallFlags flags)
        : folder_(folder), staged_(std::move(staged)), identity_(identity), flags_(flags) {}

    void add_staged(kivfs::SyncSet&) override {}
    void add_directories(kivfs::SyncSet&) override {}
    int make_staged_durable() override { return 0; }
    int put_in_place() override {
        installed_ = put_staged_in_place(folder_, staged_, identity_, flags_);
        return failure();
    }
    void add_placed(kivfs::SyncSet&) override {}
    // The new file holds the name, but a power cut may still take the
    // rename back: the call is not done, as a write-back whose sync failed
    // is not. A replacement queued for the restart has no entry to sync.
    int make_placed_durable(bool) override {
        int error = 0;
        if (!installed_.restart_needed && !platform::make_entry_durable(folder_, error)) {
            installed_ = {CopyStatus::target_not_written, false, error};
        }
        return failure();
    }
    void remove_staged() override {}

    const Installed& installed() const { return installed_; }

private:
    int failure() const {
        return installed_.status == CopyStatus::copied ? 0 : result_of(installed_.status);
    }

    Directory& folder_;
    Path staged_;
    FileIdentity identity_;
    InstallFlags flags_;
    Installed installed_{CopyStatus::target_not_written, false};
};

// An install tells nobody of its one change as it goes: the change holds
// its outcome.
class Unheard final : public kivfs::CommitEvents {
public:
    void failed(kivfs::Change&, int) override {}
    void done(kivfs::Change&) override {}
};

// Puts the staged file in place as a commit of one, and gives its outcome.
Installed commit_staged(Directory& folder, const Path& staged, const FileIdentity& identity,
                        InstallFlags flags) {
    auto placement = std::make_unique<Placement>(folder, staged, identity, flags);
    const Placement& placed = *placement;
    kivfs::Commit commit;
    commit.add(std::move(placement));
    Unheard unheard;
    commit.run(unheard);
    return placed.installed();
}

}  // namespace

InstallFlags install_flags(std::int32_t flags) {
    InstallFlags taken;
    // A decision by version may replace what it finds.
    taken.replace = (flags & (KIVINSTALL_REPLACE | KIVINSTALL_BY_VERSION)) != 0;
    taken.at_restart = (flags & KIVINSTALL_AT_RESTART) != 0;
    taken.read_only = (flags & KIVINSTALL_READ_ONLY) != 0;
    taken.by_version = (flags & KIVINSTALL_BY_VERSION) != 0;
    taken.allow_downgrade = (flags & KIVINSTALL_ALLOW_DOWNGRADE) != 0;
    taken.replace_same_version = (flags & KIVINSTALL_REPLACE_SAME_VERSION) != 0;
    return taken;
}

std::int32_t result_of(const Installed& installed) {
    if (installed.status == CopyStatus::copied && installed.decided.verdict != Verdict::replace) {
        return static_cast<std::int32_t>(installed.decided.verdict);
    }
    if (installed.status == CopyStatus::copied && installed.restart_needed) {
        return KIVINSTALL_RESTART_NEEDED;
    }
    return result_of(installed.status);
}

Installed stage_install(const platform::PathChar* source_path,
                        const platform::PathChar* target_path, InstallFlags flags,
                        const StagedName& naming, StagedInstall& staged) {
    if (source_path == nullptr) {
        return {CopyStatus::source_not_opened, false};
    }
    if (target_path == nullptr) {
        return {CopyStatus::target_not_written, false};
    }
    platform::Source source;
    if (!platform::open_source(platform::place_of(source_path), source)) {
        return {CopyStatus::source_not_opened, false};
    }
    int opening = 0;
    std::shared_ptr<Directory> folder = Directory::open_for(target_path, opening);
    if (folder == nullptr) {
        return {CopyStatus::target_not_written, false};
    }
    return stage_install(source, std::move(folder), flags, naming, staged);
}

Installed stage_install(platform::Source& source, std::shared_ptr<Directory> held,
                        InstallFlags flags, const StagedName& naming, StagedInstall& staged) {
    staged.folder = std::move(held);
    Directory& folder = *staged.folder;
    platform::settle_asides(folder);
    platform::settle_leftovers(folder);
    Path storage;
    staged.target = platform::look_at_target(platform::place(folder, folder.entry_name(), storage));
    const CopyStatus allowed = check_target(staged.target, source, flags);
    // A read-only target (Windows) that the decision by version keeps is
    // no failure: only replacing it needs KIVINSTALL_READ_ONLY.
    const bool kept_unless_replaced = flags.by_version && !flags.read_only &&
                                      allowed == CopyStatus::target_not_written &&
                                      platform::refuses_replacement(staged.target) &&
                                      staged.target.identity != source.identity;
    if (allowed != CopyStatus::copied && !kept_unless_replaced) {
        return {allowed, false};
    }
    int error = 0;
    InstallDecision decided;
    if (flags.by_version || flags.manifest != nullptr) {
        const CopyStatus looked =
            decide_install(source, folder, staged.target, flags, decided, error);
        if (looked != CopyStatus::copied) {
            return {looked, false, error};
        }
        if (decided.verdict != Verdict::replace) {
            return {CopyStatus::copied, std::move(decided)};
        }
        if (allowed != CopyStatus::copied) {
            return {allowed, false};
        }
        // The record comes before the new file: a crash after it finds
        // the target holding either file, and both are in the record.
        if (!decided.record.empty() && !flags.manifest->record(folder, decided.record, error)) {
            return {CopyStatus::target_not_written, false, error};
        }
    }
    staged.written = write_staged(folder, source, naming, staged.target, staged.name,
                                  staged.identity, staged.hold, error);
    if (staged.written != CopyStatus::copied && staged.written != CopyStatus::times_not_set) {
        return {staged.written, false, error};
    }
    return {CopyStatus::copied, std::move(decided)};
}

Installed install_file(const platform::PathChar* source_path, const platform::PathChar* target_path,
                       InstallFlags flags) {
    StagedInstall staged;
    const Installed staging =
        stage_install(source_path, target_path, flags, StagedName{kivfs::staged_kind, {}}, staged);
    if (staging.status != CopyStatus::copied || staging.decided.verdict != Verdict::replace) {
        return staging;
    }
    Directory& folder = *staged.folder;
    // A read-only target that waits for the restart stays without its
    // attribute until the new file replaces it.
    if (!platform::lift_read_only(folder, staged.target)) {
        const int lifting = platform::last_error();
        platform::remove_staged(folder, staged.name);
        return {CopyStatus::target_not_written, false, lifting};
    }
    Installed installed = commit_staged(folder, staged.name, staged.identity, flags);
    if (installed.status != CopyStatus::copied) {
        platform::restore_read_only(folder, staged.target);
    }
    if (installed.status == CopyStatus::copied && !installed.restart_needed) {
        installed.status = staged.written;
    }
    installed.decided = staging.decided;
    return installed;
}

}  // namespace kivcopy
