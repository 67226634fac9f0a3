// SPDX-License-Identifier: Zlib
#include "options.h"

#include <getopt.h>

#include <optional>
#include <string>

#include "help.h"
#include "kivcli/command_line.h"
#include "kivcli/output.h"
#include "kivcli/quote.h"
#include "kivcopy.h"

namespace kivcopy_cli {
namespace {

using kivcli::quoted;

// --preserve's list: names separated by commas; "all" or none for all four.
bool read_preserve_list(const char* list, Preserve& preserve, std::string& problem) {
    if (list == nullptr) {
        preserve = {true, true, true, true};
        return true;
    }
    std::string rest = list;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string name = rest.substr(0, comma);
        rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
        if (name == "mode") {
            preserve.mode = true;
        } else if (name == "ownership") {
            preserve.ownership = true;
        } else if (name == "timestamps") {
            preserve.timestamps = true;
        } else if (name == "links") {
            preserve.links = true;
        } else if (name == "all") {
            preserve = {true, true, true, true};
        } else {
            problem = "invalid attribute " + quoted(name) + " for --preserve";
            return false;
        }
    }
    return true;
}

// --reflink's WHEN, as cp takes it: always without one.
bool read_reflink(const char* when, kivcopy::Sharing& sharing, std::string& problem) {
    const std::string given = when != nullptr ? when : "always";
    if (given == "auto") {
        sharing = kivcopy::Sharing::when_possible;
    } else if (given == "always") {
        sharing = kivcopy::Sharing::required;
    } else if (given == "never") {
        sharing = kivcopy::Sharing::never;
    } else {
        problem = "invalid argument " + quoted(given) + " for '--reflink' (auto, always or never)";
        return false;
    }
    return true;
}

// The long options that have no letter, numbered past every letter.
enum LongOnly {
    option_help = 1000,
    option_version,
    option_preserve,
    option_remove_destination,
    option_progress,
    option_follow_hard_links,
    option_reflink,
    option_backup,
    option_atomic,
    option_recover,
    option_by_version,
    option_manifest,
};

// The letters that take a value are followed by ':'; the leading ':' has
// getopt_long tell a missing value from an unknown option.
constexpr const char* short_options = ":nfubS:rRpt:vDPHLa";

const option long_options[] = {
    {"no-clobber", no_argument, nullptr, 'n'},
    {"overwrite", no_argument, nullptr, 'f'},
    {"remove-destination", no_argument, nullptr, option_remove_destination},
    {"update", no_argument, nullptr, 'u'},
    {"backup", optional_argument, nullptr, option_backup},
    {"archive", no_argument, nullptr, 'a'},
    {"no-dereference", no_argument, nullptr, 'P'},
    {"dereference", no_argument, nullptr, 'L'},
    {"suffix", required_argument, nullptr, 'S'},
    {"recursive", no_argument, nullptr, 'r'},
    {"preserve", optional_argument, nullptr, option_preserve},
    {"target-directory", required_argument, nullptr, 't'},
    {"verbose", no_argument, nullptr, 'v'},
    {"progress", no_argument, nullptr, option_progress},
    {"follow-hard-links", no_argument, nullptr, option_follow_hard_links},
    {"reflink", optional_argument, nullptr, option_reflink},
    {"atomic", optional_argument, nullptr, option_atomic},
    {"recover", optional_argument, nullptr, option_recover},
    {"by-version", no_argument, nullptr, option_by_version},
    {"manifest", required_argument, nullptr, option_manifest},
    {"help", no_argument, nullptr, option_help},
    {"version", no_argument, nullptr, option_version},
    {nullptr, 0, nullptr, 0},
};

// What the options leave to be settled once all are read: the backup
// options, checked together with -n and -f, and the links to follow, whose
// default depends on -r.
struct Unsettled {
    kivcli::BackupOptions backup;
    std::optional<Clobber> clobber;
    std::optional<Dereference> dereference;
    // The first option given that --recover does not take, as typed in
    // full ("--update", "-f"), for the message that refuses it.
    std::string not_for_recover;
};

// An option as its long name, or its letter where it has no long name.
std::string option_name(int found) {
    for (const option& known : long_options) {
        if (known.name != nullptr && known.val == found) {
            return std::string("--") + known.name;
        }
    }
    return std::string("-") + static_cast<char>(found);
}

using kivcli::Taken;

// The options that only turn one of the run's switches on.
const kivcli::SettingOption<Options, bool> switch_options[] = {
    {option_remove_destination, &Options::remove_destination, true},
    {'u', &Options::update, true},
    {'r', &Options::recursive, true},
    {'R', &Options::recursive, true},
    {'v', &Options::verbose, true},
    {'D', &Options::make_parents, true},
    {option_follow_hard_links, &Options::follow_hard_links, true},
    {option_by_version, &Options::by_version, true},
};

// --progress: the progress line is shown, whatever the output is.
const kivcli::SettingOption<Options, kivcli::Progress::Mode> progress_options[] = {
    {option_progress, &Options::progress, kivcli::Progress::Mode::always},
};

// -n and -f: the last one given says whether a target is replaced.
const kivcli::SettingOption<Unsettled, std::optional<Clobber>> clobber_options[] = {
    {'n', &Unsettled::clobber, Clobber::no},
    {'f', &Unsettled::clobber, Clobber::yes},
};

// -P, -H and -L: the last one given says which links are followed.
const kivcli::SettingOption<Unsettled, std::optional<Dereference>> dereference_options[] = {
    {'P', &Unsettled::dereference, Dereference::never},
    {'H', &Unsettled::dereference, Dereference::command_line},
    {'L', &Unsettled::dereference, Dereference::always},
};

// The options that take a value or set more than one thing: -b, --backup,
// -S, -a, -p, --preserve, -t and --reflink.
Taken take_option_with_more(int found, Options& options, Unsettled& unsettled,
                            std::string& problem) {
    switch (found) {
        case 'b':
        case option_backup:
            return unsettled.backup.take_backup(found == 'b' ? nullptr : optarg, problem)
                       ? Taken::taken
                       : Taken::refused;
        case 'S':
            return unsettled.backup.take_suffix(optarg, problem) ? Taken::taken : Taken::refused;
        case 'a':
            options.recursive = true;
            options.preserve = {true, true, true, true};
            unsettled.dereference = Dereference::never;
            return Taken::taken;
        case 'p':
            options.preserve.mode = options.preserve.ownership = true;
            options.preserve.timestamps = true;
            return Taken::taken;
        case option_preserve:
            return read_preserve_list(optarg, options.preserve, problem) ? Taken::taken
                                                                         : Taken::refused;
        case 't':
            if (options.target_directory) {
                problem = "only one target directory may be given";
                return Taken::refused;
            }
            options.target_directory = optarg;
            return Taken::taken;
        case option_reflink:
            return read_reflink(optarg, options.reflink, problem) ? Taken::taken
                                                                  : Taken::refused;
        case option_manifest:
            if (*optarg == '\0') {
                problem = "option --manifest needs a FOLDER";
                return Taken::refused;
            }
            options.manifest_folder = optarg;
            return Taken::taken;
        case option_atomic:
        case option_recover:
            (found == option_atomic ? options.atomic : options.recover) = true;
            if (optarg != nullptr && *optarg == '\0') {
                problem = "option " + option_name(found) + " needs a FOLDER after '='";
                return Taken::refused;
            }
            options.journal_folder = optarg != nullptr ? optarg : "";
            return Taken::taken;
        default:
            return Taken::unknown;
    }
}

Taken take_option(int found, Options& options, Unsettled& unsettled, std::string& problem) {
    if (found != option_recover && found != 'v' && unsettled.not_for_recover.empty()) {
        unsettled.not_for_recover = option_name(found);
    }
    if (kivcli::take_setting(found, switch_options, options) ||
        kivcli::take_setting(found, clobber_options, unsettled) ||
        kivcli::take_setting(found, dereference_options, unsettled) ||
        kivcli::take_setting(found, progress_options, options)) {
        return Taken::taken;
    }
    return take_option_with_more(found, options, unsettled, problem);
}

int answer_help() {
    print_help();
    return finish_output(exit_copied);
}

int answer_version() {
    kivcli::print(std::string("kivcopy ") + KIVCOPY_VERSION + "\n");
    return finish_output(exit_copied);
}

const kivcli::OptionSet option_set = {
    short_options, long_options,   option_help,          option_version,
    answer_help,   answer_version, kivcli::getopt_words, usage_error,
};

// --atomic installs each file as KivInstallFile does, beside its target,
// and --recover only finishes or undoes: what would change a target
// otherwise, or keep its old bytes elsewhere, is refused with them. -1, or
// the usage error's status.
int check_transaction(const Unsettled& unsettled, const Options& options) {
    if (options.recover) {
        if (!unsettled.not_for_recover.empty()) {
            return usage_error("--recover and " + unsettled.not_for_recover +
                               " cannot be used together (--recover takes -v alone)");
        }
        if (options.operands.size() > 1 ||
            (options.operands.empty() == options.journal_folder.empty())) {
            return usage_error(
                "--recover takes a FOLDER, or the DIRECTORY whose journal folder it is");
        }
        return -1;
    }
    if (!options.atomic) {
        return -1;
    }
    if (!options.manifest_folder.empty()) {
        return usage_error("--atomic and --manifest cannot be used together (--atomic keeps "
                           "the manifest in its journal folder)");
    }
    const char* refused = options.backup.enabled()       ? "--backup"
                          : options.remove_destination  ? "--remove-destination"
                          : options.update               ? "--update"
                          : options.preserve.any() || options.preserve.links ? "--preserve (-p, -a)"
                          : options.reflink == kivcopy::Sharing::required ? "--reflink=always"
                                                                           : nullptr;
    if (refused != nullptr) {
        return usage_error(std::string("--atomic and ") + refused + " cannot be used together");
    }
    return -1;
}

// Settles what depends on more than one option, once all are read, and
// takes the operands; -1, or the usage error's status. A backup asks for
// the target to be replaced (Options::replaces()), so a -n given last
// contradicts it, as cp has it; the -n that holds without -f does not.
int settle(int argc, char** argv, Unsettled& unsettled, Options& options) {
    std::string problem;
    if (!unsettled.backup.finish(options.backup, problem)) {
        return usage_error(problem);
    }
    if (options.backup.enabled() && unsettled.clobber == Clobber::no) {
        return usage_error("options --backup and --no-clobber are mutually exclusive");
    }
    options.clobber = unsettled.clobber.value_or(Clobber::no);
    options.dereference = unsettled.dereference.value_or(
        options.recursive ? Dereference::never : Dereference::command_line);
    options.operands.assign(argv + optind, argv + argc);
    if (options.by_version && (options.update || options.backup.enabled() ||
                               options.remove_destination || unsettled.clobber)) {
        return usage_error("--by-version decides which targets are replaced: not with -n, -f, "
                           "-u, -b or --remove-destination");
    }
    if (!options.manifest_folder.empty() && !options.by_version) {
        return usage_error("--manifest is for --by-version");
    }
    return check_transaction(unsettled, options);
}

}  // namespace

int usage_error(const std::string& message) {
    return kivcli::usage_error(program_name, message);
}

int finish_output(int status) {
    return kivcli::finish_output(program_name, status, exit_copy_failed);
}

int parse_command_line(int argc, char** argv, Options& options) {
    Unsettled unsettled;
    const int status =
        kivcli::read_options(argc, argv, option_set, [&](int found, std::string& problem) {
            return take_option(found, options, unsettled, problem);
        });
    return status != -1 ? status : settle(argc, argv, unsettled, options);
}

}  // namespace kivcopy_cli
