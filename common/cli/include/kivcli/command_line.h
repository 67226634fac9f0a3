/* SPDX-License-Identifier: Zlib */
// What both front ends do alike with a command line: reading the options,
// with --help, --version and a wrong option answered; an option that
// getopt_long turned down, told from what was typed; a wrong command line
// answered with the hint at --help; the options that only set one thing
// to one value; the backup options of cp and install.
#ifndef KIVCLI_COMMAND_LINE_H
#define KIVCLI_COMMAND_LINE_H

#include <getopt.h>

#include <cstddef>
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

// How a front end took one option that getopt_long found: taken, refused
// for its value (a problem says why), or not one of its options.
enum class Taken { taken, refused, unknown };

// A front end's options as getopt_long reads them, and its answers to
// --help, --version and a wrong option; each answer returns the exit status.
struct OptionSet {
    const char* short_options;  // starting with ':' (see rejected_option)
    const option* long_options;
    int help;                   // the code getopt_long returns for --help
    int version;                // and for --version
    int (*answer_help)();
    int (*answer_version)();
    std::string (*rejected_words)(const RejectedOption& rejected);
    int (*usage_error)(const std::string& message);
};

// Reads the options of `argv`, giving each but --help and --version to
// `take` (Taken take(int found, std::string& problem)). Returns -1 once all
// are read, else the exit status of the answer that ended the reading.
template <typename Take>
int read_options(int argc, char** argv, const OptionSet& set, Take take) {
    // The messages about options are the program's own: getopt_long's differ
    // between C libraries, and some name the program by its full path.
    opterr = 0;
    std::string problem;
    for (int found;
         (found = getopt_long(argc, argv, set.short_options, set.long_options, nullptr)) != -1;) {
        if (found == set.help) {
            return set.answer_help();
        }
        if (found == set.version) {
            return set.answer_version();
        }
        const Taken taken = take(found, problem);
        if (taken == Taken::refused) {
            return set.usage_error(problem);
        }
        if (taken == Taken::unknown) {
            return set.usage_error(
                set.rejected_words(rejected_option(found, argv, set.long_options)));
        }
    }
    return -1;
}

// An option that does nothing but set one thing to one value (-v: verbose
// to true): the code getopt_long returns for it, what it sets and to what.
template <typename Options, typename Value>
struct SettingOption {
    int found;
    Value Options::*setting;
    Value value;
};

// Sets what the option getopt_long returned `found` for sets; false,
// changing nothing, when that option is none of `settings`.
template <typename Options, typename Value, std::size_t count>
bool take_setting(int found, const SettingOption<Options, Value> (&settings)[count],
                  Options& options) {
    for (const SettingOption<Options, Value>& option : settings) {
        if (option.found == found) {
            options.*option.setting = option.value;
            return true;
        }
    }
    return false;
}

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
