/* SPDX-License-Identifier: Zlib */
// One file's copy as the front end makes it: the library's copy steps on
// the source and target as the command line or the walk opened them, with
// what cp and install do around them (-u, backups, -f's retry, -p, -v), and
// failures told in the system's words.
#ifndef KIVCOPY_CLI_COPIER_H
#define KIVCOPY_CLI_COPIER_H

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "engine.h"
#include "kivcli/backup_names.h"
#include "kivcli/folder.h"
#include "kivcli/progress.h"
#include "options.h"

namespace kivcopy_cli {

using kivcli::Folder;
using kivcli::Status;

// A file to copy: a name in a held directory.
struct SourceName {
    Folder* folder;
    std::string name;
    std::string shown;    // as messages name it
    bool follow = false;  // a link at the name is followed (-L, or a name given, without -P)
    const Status* found = nullptr;  // what was found at the name, if it was looked at
    bool walked = false;            // found by a walk of a tree (not named)
};

// Where a copy goes: a name in a held directory.
struct TargetName {
    std::shared_ptr<Folder> folder;
    std::string name;
    std::string shown;
    // Made by this run for the owner alone: nothing can be at the name yet,
    // so it is not looked at before the copy is made there (exclusively).
    bool fresh = false;
};

class Copier {
public:
    Copier(const Options& options, kivcli::Progress& progress);

    // Copies one file. False when it failed (a target left alone is no
    // failure).
    bool copy(const SourceName& source, const TargetName& target);
    // A symbolic link found in a directory being copied: made anew at the
    // target, pointing where the source's points.
    bool copy_symbolic_link(const SourceName& source, const TargetName& target, bool may_exist);
    // A FIFO found in a directory being copied: made anew at the target.
    bool copy_fifo(const SourceName& source, const TargetName& target, bool may_exist);

    bool fail(const std::string& message);
    void tell(const std::string& line) const;

private:
    enum class Next { copy, skip, failed };
    struct Checked;

    bool look_at_source(const SourceName& source, Status& status);
    bool may_take(const SourceName& source, const Status& status);
    Next check_target(const SourceName& source, const Status& source_status,
                      const TargetName& target, Checked& checked);
    Next decide(const TargetName& target, const Status& existing, const Status& source_status);
    bool open_source(const SourceName& source, const Status& status,
                     kivcopy::platform::Source& opened);
    bool clear_the_way(const SourceName& source, const kivcopy::platform::Source& opened,
                       const TargetName& target, Checked& checked);
    Next open_target(const SourceName& source, const TargetName& target, Checked& checked,
                     kivcopy::platform::Source& opened, kivcopy::platform::File& file);
    unsigned creation_mode(const TargetName& target,
                           const kivcopy::platform::Source& source) const;
    bool write(const SourceName& source, const TargetName& target, const Checked& checked,
               kivcopy::platform::Source& opened, kivcopy::platform::File& file);
    bool skip(const std::string& shown, const char* why);
    Next link_to_earlier_copy(const SourceName& source, const Status& status,
                              const TargetName& target, const Checked& checked);
    void note_copy(const kivcli::FileIdentity& source, const TargetName& target);
    bool failed_with(int result, const SourceName& source, const TargetName& target, int error);
    void record_written(const TargetName& target);
    bool written_before(const TargetName& target) const;

    const Options& options_;
    kivcli::Progress& progress_;
    kivcli::BackupNames backups_;
    std::int64_t done_ = 0;  // bytes of the files finished
    // Targets written by this run, by directory and name: never replaced
    // by a later source of the same run.
    std::set<std::pair<kivcli::FileIdentity, std::string>> written_;
    // With --preserve=links, the first copy of each source that has other
    // names, which later names of it become names of.
    std::map<kivcli::FileIdentity, std::pair<std::shared_ptr<Folder>, std::string>> copies_;
};

}  // namespace kivcopy_cli

#endif
