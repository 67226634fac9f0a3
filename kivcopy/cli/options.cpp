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

}  // namespace

int usage_error(const std::string& message) {
    return kivcli::usage_error(program_name, message);
}

int finish_output(int status) {
    return kivcli::finish_output(program_name, status, exit_copy_failed);
}

int parse_command_line(int argc, char** argv, Options& options) {
    // The messages about options are the program's own: getopt_long's differ
    // between C libraries, and some name the program by its full path.
    opterr = 0;
    enum {
        option_help = 1000,
        option_version,
        option_preserve,
        option_remove_destination,
        option_progress,
        option_follow_hard_links,
        option_reflink,
        option_backup,
    };
    kivcli::BackupOptions backup;
    std::optional<Dereference> dereference;
    std::string problem;
    static const option long_options[] = {
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
        {"help", no_argument, nullptr, option_help},
        {"version", no_argument, nullptr, option_version},
        {nullptr, 0, nullptr, 0},
    };
    for (int found;
         (found = getopt_long(argc, argv, ":nfubS:rRpt:vDPHLa", long_options, nullptr)) != -1;) {
        switch (found) {
            case 'n':
                options.clobber = Clobber::no;
                break;
            case 'f':
                options.clobber = Clobber::yes;
                break;
            case option_remove_destination:
                options.remove_destination = true;
                break;
            case 'u':
                options.update = true;
                break;
            case 'b':
            case option_backup:
                if (!backup.take_backup(found == 'b' ? nullptr : optarg, problem)) {
                    return usage_error(problem);
                }
                break;
            case 'S':
                if (!backup.take_suffix(optarg, problem)) {
                    return usage_error(problem);
                }
                break;
            case 'P':
                dereference = Dereference::never;
                break;
            case 'H':
                dereference = Dereference::command_line;
                break;
            case 'L':
                dereference = Dereference::always;
                break;
            case 'a':
                options.recursive = true;
                options.preserve = {true, true, true, true};
                dereference = Dereference::never;
                break;
            case 'r':
            case 'R':
                options.recursive = true;
                break;
            case 'p':
                options.preserve.mode = options.preserve.ownership = true;
                options.preserve.timestamps = true;
                break;
            case option_preserve:
                if (!read_preserve_list(optarg, options.preserve, problem)) {
                    return usage_error(problem);
                }
                break;
            case 't':
                if (options.target_directory) {
                    return usage_error("only one target directory may be given");
                }
                options.target_directory = optarg;
                break;
            case 'v':
                options.verbose = true;
                break;
            case 'D':
                options.make_parents = true;
                break;
            case option_progress:
                options.progress = kivcli::Progress::Mode::always;
                break;
            case option_follow_hard_links:
                options.follow_hard_links = true;
                break;
            case option_reflink:
                if (!read_reflink(optarg, options.reflink, problem)) {
                    return usage_error(problem);
                }
                break;
            case option_help:
                print_help();
                return finish_output(exit_copied);
            case option_version:
                kivcli::print(std::string("kivcopy ") + KIVCOPY_VERSION + "\n");
                return finish_output(exit_copied);
            default:
                return usage_error(
                    kivcli::getopt_words(kivcli::rejected_option(found, argv, long_options)));
        }
    }
    if (!backup.finish(options.backup, problem)) {
        return usage_error(problem);
    }
    options.dereference = dereference.value_or(options.recursive ? Dereference::never
                                                                 : Dereference::command_line);
    options.operands.assign(argv + optind, argv + argc);
    return -1;
}

}  // namespace kivcopy_cli
