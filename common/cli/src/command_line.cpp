// SPDX-License-Identifier: Zlib
#include "kivcli/command_line.h"

#include "kivcli/output.h"
#include "kivcli/quote.h"

namespace kivcli {
namespace {

// The long option that `name` (typed without its dashes) stands for: the
// one it names whole, else the only one it begins. Null when it begins
// none, or several (`ambiguous`).
const option* long_option_for(const std::string& name, const option* options, bool& ambiguous) {
    const option* found = nullptr;
    int matches = 0;
    for (const option* o = options; o->name != nullptr; ++o) {
        if (name == o->name) {
            ambiguous = false;
            return o;
        }
        if (std::string(o->name).rfind(name, 0) == 0) {
            found = o;
            ++matches;
        }
    }
    ambiguous = matches > 1;
    return matches == 1 ? found : nullptr;
}

std::string letter_as_typed(char letter) {
    return quoted(std::string(1, letter));
}

}  // namespace

RejectedOption rejected_option(int found, char* const* argv, const option* options) {
    RejectedOption rejected;
    const std::string element = argv[optind - 1];
    const bool dashes = element.rfind("--", 0) == 0;
    const std::size_t equals = element.find('=');
    bool ambiguous = false;
    const option* match =
        dashes ? long_option_for(element.substr(2, equals == std::string::npos ? equals
                                                                              : equals - 2),
                                 options, ambiguous)
               : nullptr;
    // The element looked at last is the option at fault only when getopt
    // says a long option was (optopt 0, or the option's own value): after a
    // short option inside a group it is an earlier element.
    if (!dashes || (optopt != 0 && (match == nullptr || optopt != match->val))) {
        rejected.letter = static_cast<char>(optopt);
        rejected.typed = element;
        rejected.fault = found == ':' ? RejectedOption::Fault::needs_value
                                      : RejectedOption::Fault::unrecognized;
        return rejected;
    }
    rejected.typed = element.substr(0, equals);
    if (match == nullptr) {
        rejected.fault = ambiguous ? RejectedOption::Fault::ambiguous
                                   : RejectedOption::Fault::unrecognized;
        return rejected;
    }
    rejected.option = std::string("--") + match->name;
    const bool unwanted = equals != std::string::npos && match->has_arg == no_argument;
    rejected.fault = unwanted ? RejectedOption::Fault::takes_no_value
                              : RejectedOption::Fault::needs_value;
    return rejected;
}

std::string getopt_words(const RejectedOption& rejected) {
    const bool short_option = rejected.letter != 0 || rejected.typed.rfind("--", 0) != 0;
    switch (rejected.fault) {
        case RejectedOption::Fault::ambiguous:
            return "option " + quoted(rejected.typed) + " is ambiguous";
        case RejectedOption::Fault::takes_no_value:
            return "option " + quoted(rejected.option) + " doesn't allow an argument";
        case RejectedOption::Fault::needs_value:
            return short_option ? "option requires an argument -- " +
                                      letter_as_typed(rejected.letter)
                                : "option " + quoted(rejected.typed) + " requires an argument";
        case RejectedOption::Fault::unrecognized:
            break;
    }
    if (!short_option) {
        return "unrecognized option " + quoted(rejected.typed);
    }
    const bool printable = rejected.letter > ' ' && rejected.letter < 0x7F;
    return printable ? "invalid option -- " + letter_as_typed(rejected.letter)
                     : "invalid option " + quoted(rejected.typed);
}

int usage_error(const char* program, const std::string& message) {
    complain(program, message);
    print_error(std::string("Try '") + program + " --help' for more information.\n");
    return exit_usage;
}

BackupOptions::BackupOptions() {
    policy_.suffix = default_backup_suffix();
}

bool BackupOptions::take_backup(const char* control, std::string& problem) {
    asked_ = true;
    if (control == nullptr) {
        return true;
    }
    if (!read_backup_control(control, policy_.control)) {
        problem = "invalid argument " + quoted(control) +
                  " for '--backup' (none, simple, numbered or existing; -S names a suffix)";
        return false;
    }
    control_given_ = true;
    return true;
}

bool BackupOptions::take_suffix(const char* suffix, std::string& problem) {
    asked_ = true;
    policy_.suffix = suffix;
    if (!is_valid_backup_suffix(policy_.suffix)) {
#if defined(_WIN32)
        const char* allowed = " may be neither empty nor hold a separator or a ':' (which names a "
                              "stream of the file)";
#else
        const char* allowed = " may be neither empty nor hold a separator";
#endif
        problem = "the backup suffix " + quoted(policy_.suffix) + allowed;
        return false;
    }
    return true;
}

bool BackupOptions::finish(BackupPolicy& policy, std::string& problem) {
    if (asked_ && !control_given_) {
        policy_.control = default_backup_control(problem);
        if (!problem.empty()) {
            return false;
        }
    }
    policy = policy_;
    return true;
}

}  // namespace kivcli
