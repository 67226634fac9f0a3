/* SPDX-License-Identifier: Zlib */
// What both front ends do alike with a command line: an option that
// getopt_long turned down, told from what was typed; a wrong command line
// answered with the hint at --help; the backup options of cp and install.
#ifndef KIVCLI_COMMAND_LINE_H
#define KIVCLI_COMMAND_LINE_H

#include <getopt.h>

#include <string>

#include "kivcli/backup_names.h"

namespace kivcli {

// The exit status of a command line that is wrong.
constexpr int exit_usage = 64;

// What is wrong with the option that getopt_long turned down last. Its
// own complaints name the program by its full path and differ between C
// libraries, and for a long option given a value it does not take, optopt
// holds the option's short equivalent ('v' for --verbose=1): this is found
// from what was actually typed instead.
struct RejectedOption {
    enum class Fault { unrecognized, ambiguous, needs_value, takes_no_value };
    Fault fault = Fault::unrecognized;
    char letter = 0;     // a short option's letter; 0 for a long option
    std::string typed;   // a long option as typed, without its value ("--verb")
    std::string option;  // the long option it stands for ("--verbose"), once known
};

// Looks at the option getopt_long returned `found` (':' or '?') for; the
// option string must start with ':', so that a missing value is told
// apart.
RejectedOption rejected_option(int found, char* const* argv, const option* options);

// The words getopt's own complaints use: "unrecognized option '--x'",
// "option '--x' doesn't allow an argument", "invalid option -- 'x'"...
std::string getopt_words(const RejectedOption& rejected);

// Tells "PROGRAM: MESSAGE" and the hint at --help on standard error;
// returns exit_usage.
int usage_error(const char* program, const std::string& message);

// -b, --backup[=CONTROL] and -S SUFFIX as the command line gives them, in
// any order; SIMPLE_BACKUP_SUFFIX and VERSION_CONTROL where it does not.
class BackupOptions {
public:
    BackupOptions();
    // --backup with `control` (null for none: -b, a bare --backup).
    bool take_backup(const char* control, std::string& problem);
    // -S: the suffix of simple backups; asks for backups too.
    bool take_suffix(const char* suffix, std::string& problem);
    // Once every option is read: the policy. False with `problem` when
    // VERSION_CONTROL names no control.
    bool finish(BackupPolicy& policy, std::string& problem);

private:
    BackupPolicy policy_;
    bool asked_ = false;          // -b, --backup or -S
    bool control_given_ = false;  // --backup=CONTROL
};

}  // namespace kivcli

#endif
