/* SPDX-License-Identifier: Zlib */
// One entry's copy as the front end makes it: a file by the library's copy
// steps on the source and target as the command line or the walk opened
// them, with what cp and install do around them (-u, backups, -f's retry,
// -p, hard links kept); a link or FIFO made anew. Its steps live by idea:
// copier.cpp copies a regular file, existing_target.cpp decides what an
// existing target's name gets, made_anew.cpp makes links and FIFOs.
//
// The one rule where the walk and the copier meet: nothing the front end
// made is later given an owner, mode, times or a second name, or written,
// through a name that someone else can change. A file is finished through
// its open handle; a link or FIFO where only the caller can rename it, its
// owner given last; a second name for the copy's own descriptor; and
// everything this run made is noted, so that no later source of the run
// writes through it.
#ifndef KIVCOPY_CLI_COPIER_H
#define KIVCOPY_CLI_COPIER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine.h"
#include "install_decision.h"
#include "manifest.h"
#include "kivcli/backup_names.h"
#include "kivcli/progress.h"
#include "options.h"
#include "places.h"
#include "report.h"
#include "run_record.h"
#include "system.h"

namespace kivtransaction {
class Transaction;
}

namespace kivcopy_cli {

class Copier {
public:
    Copier(const Options& options, kivcli::Progress& progress, const Report& report);

    // Copies one file. False when it failed (a target left alone is no
    // failure).
    bool copy(const SourceName& source, const TargetName& target);
    // A symbolic link found in a directory being copied: made anew at the
    // target, pointing where the source's points.
    bool copy_symbolic_link(const SourceName& source, const TargetName& target, bool may_exist);
    // A FIFO found in a directory being copied: made anew at the target.
    bool copy_fifo(const SourceName& source, const TargetName& target, bool may_exist);

    // With --atomic: from now on each file is staged as an install of
    // `transaction` instead of copied, its target on the journal folder's
    // `volume`; links and FIFOs are refused. The lines -v tells of each
    // staged file wait for the commit (told_after_commit()).
    void stage_in(kivtransaction::Transaction& transaction, std::uint64_t volume);
    const std::vector<std::string>& told_after_commit() const { return staged_lines_; }
    // Makes the directory `name` in `parent` for a tree, or holds the one
    // there, as Folder::make_below does; with --atomic, one made is a
    // folder of the transaction's, under a hidden name until the commit
    // puts it in place, and gone again where the run is undone.
    std::shared_ptr<Folder> make_directory(const std::shared_ptr<Folder>& parent,
                                           const std::string& name, unsigned mode, bool& existed,
                                           kivcli::SystemError& error);

private:
    enum class Next { copy, skip, failed };
    enum class Anew { link, fifo };
    struct Checked;

    // copier.cpp: a regular file.
    Next prepare(const SourceName& source, const TargetName& target, Status& status,
                 Checked& checked, kivcopy::platform::Source& opened,
                 kivcopy::platform::File& file);
    bool look_at_source(const SourceName& source, Status& status);
    bool may_take(const SourceName& source, const Status& status);
    bool open_source(const SourceName& source, const Status& status,
                     kivcopy::platform::Source& opened);
    Next open_target(const SourceName& source, const TargetName& target, Checked& checked,
                     kivcopy::platform::Source& opened, kivcopy::platform::File& file);
    unsigned creation_mode(const TargetName& target, const kivcopy::platform::Source& source) const;
    unsigned plain_mode(const TargetName& target, const kivcopy::platform::Source& source) const;
    bool give_kept_attributes(const Checked& checked, const TargetName& target,
                              kivcopy::platform::Source& opened, kivcopy::platform::File& file,
                              std::string& reason) const;
    kivcommon::FileTimes stamp_for(const kivcopy::platform::Source& opened) const;
    bool write(const SourceName& source, const TargetName& target, const Checked& checked,
               kivcopy::platform::Source& opened, kivcopy::platform::File& file);

    // existing_target.cpp: what is at the target's name, and making way.
    Next check_target(const SourceName& source, const Status& source_status,
                      const TargetName& target, Checked& checked);
    Next decide(const TargetName& target, const Status& existing, const Status& source_status);
    Next never_written_into(const SourceName& source, const Status& found,
                            const TargetName& target, Checked& checked);
    bool clear_the_way(const SourceName& source, const kivcli::FileIdentity& source_identity,
                       const TargetName& target, Checked& checked);
    bool take_away(const SourceName& source, const kivcli::FileIdentity& source_identity,
                   const TargetName& target, Checked& checked);
    bool remove_target(const TargetName& target, Checked& checked, const char* action);
    void settle_removal(Checked& checked, const TargetName& target, bool made) const;

    // by_version.cpp: --by-version's decision, before anything is written.
    Next decide_by_version(const SourceName& source, const TargetName& target,
                           const Checked& checked, kivcopy::platform::Source& opened);
    void tell_kept(const TargetName& target, const kivcopy::InstallDecision& decision) const;

    // staged.cpp: a regular file staged as a transaction's install.
    bool stage(const SourceName& source, const TargetName& target);
    bool refuse_in_transaction(const SourceName& source, const char* what) const;

    // made_anew.cpp: another name of an earlier copy, links and FIFOs.
    bool keeps_names_of(const SourceName& source, const Status& status) const;
    void note_copy(const SourceName& source, const Status& status, const TargetName& target,
                   const kivcli::FileIdentity& made);
    bool becomes_name_of_earlier_copy(const SourceName& source, const Status& status,
                                      const Checked& checked) const;
    void note_target_left_alone(const SourceName& source, const Status& status,
                                const TargetName& target, const Status& found,
                                const Checked& checked);
    Next link_to_earlier_copy(const SourceName& source, const Status& status,
                              const TargetName& target, Checked& checked);
    Next make_way_for_entry(const SourceName& source, const TargetName& target, bool may_exist,
                            Checked& checked);
    bool make_anew(Anew kind, const SourceName& source, const TargetName& target,
                   bool may_exist);

    Next skipped(const std::string& shown, const char* why) const;
    Next failed(const std::string& message) const;

    const Options& options_;
    kivcli::Progress& progress_;
    const Report& report_;
    kivcli::BackupNames backups_;
    RunRecord record_;
    std::int64_t done_ = 0;  // bytes of the files finished
    kivtransaction::Transaction* transaction_ = nullptr;  // --atomic's, once begun
    std::unique_ptr<kivcopy::Manifest> manifest_;         // --manifest's, once opened
    std::uint64_t journal_volume_ = 0;
    std::vector<std::string> staged_lines_;
};

// What the look at the target found and what was done to make way for the
// copy.
struct Copier::Checked {
    bool exists = false;        // something is at the target's name
    bool through_link = false;  // a link there that the caller trusts, written through
    bool regular = false;       // a regular file is there (through such a link)
    bool read_only = false;     // Windows: it had the read-only attribute when looked at
    bool cleared = false;       // it was renamed to its backup or removed: copy anew
    bool anew = false;          // it is never written into: removed, then copied anew
    bool created = false;       // the copy was created, not an existing file rewritten
    bool keeps_names = false;   // the copy is noted for the source's other names (-a)
    kivcli::FileIdentity found;  // the entry at the name itself (a link not followed)
    TargetRemoval removal;      // what was taken from the name, until a new file holds it
    std::string note;           // what -v adds to the copy's line
};

}  // namespace kivcopy_cli

#endif
