/* SPDX-License-Identifier: Zlib */
// The names backups take, as cp and install name them: none, simple
// (NAME+SUFFIX, "~" unless the command line or SIMPLE_BACKUP_SUFFIX says
// otherwise), numbered (NAME.~N~, one more than the highest there), or
// existing (numbered where a numbered backup of the name is there already,
// else simple). VERSION_CONTROL chooses when the command line does not.
#ifndef KIVCLI_BACKUP_NAMES_H
#define KIVCLI_BACKUP_NAMES_H

#include <map>
#include <string>
#include <vector>

#include "kivcli/folder.h"

namespace kivcli {

enum class BackupControl { none, simple, numbered, existing };

struct BackupPolicy {
    BackupControl control = BackupControl::none;
    std::string suffix = "~";
    bool enabled() const { return control != BackupControl::none; }
};

// A CONTROL word as cp takes it (none/off, simple/never, numbered/t,
// existing/nil, or any unambiguous beginning of one); false for another.
bool read_backup_control(const std::string& word, BackupControl& control);

// The control that a bare --backup (or -b) asks for: VERSION_CONTROL's,
// else simple. `problem` says what is wrong with a VERSION_CONTROL that
// names no control (then simple is taken).
BackupControl default_backup_control(std::string& problem);

// The suffix of simple backups when -S gives none: SIMPLE_BACKUP_SUFFIX's,
// else "~".
std::string default_backup_suffix();

// Whether `suffix` may end a backup's name: not empty, no separator ('/'
// or '\\'), and on Windows no ':' (which names a stream of a file).
bool is_valid_backup_suffix(const std::string& suffix);

// The backup names of names in directories, each directory listed once
// for its numbered backups.
class BackupNames {
public:
    explicit BackupNames(BackupPolicy policy) : policy_(std::move(policy)) {}

    // The name that the backup of `name` in `folder` takes now; the next
    // numbered one counts as taken from then on.
    std::string backup_of(Folder& folder, const std::string& name);
    // The names whose backups `candidate` is a name of (none, one, or two:
    // the simple and the numbered reading).
    std::vector<std::string> originals_of(const std::string& candidate) const;

    const BackupPolicy& policy() const { return policy_; }

private:
    // The highest number of each name's numbered backups, by directory, in
    // decimal digits (of any length; empty for none).
    std::map<std::string, std::string>& numbered_in(Folder& folder);

    BackupPolicy policy_;
    std::map<FileIdentity, std::map<std::string, std::string>> numbered_;
};

}  // namespace kivcli

#endif
