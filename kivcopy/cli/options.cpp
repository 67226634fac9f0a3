// SPDX-License-Identifier: Zlib
#include "options.h"

#include <getopt.h>

#include <optional>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kivcli/command_line.h"
#include "kivcli/output.h"
#include "kivcli/quote.h"
#include "kivcopy.h"

namespace kivcopy_cli {
namespace {

using kivcli::quoted;

void print_help() {
    kivcli::print(
        "Usage: kivcopy [OPTION]... [--] SOURCE TARGET\n"
        "  or:  kivcopy [OPTION]... [--] SOURCE... DIRECTORY\n"
        "  or:  kivcopy [OPTION]... -t DIRECTORY [--] SOURCE...\n"
        "Copy SOURCE to TARGET, or each SOURCE into DIRECTORY, and give each copy\n"
        "the source's last-access time as both its access and modification time.\n"
        "\n"
        "  -n, --no-clobber        leave an existing target alone, silently (default)\n"
        "  -f, --overwrite         replace targets that already exist; one that cannot\n"
        "                          be opened for writing (a running program, a read-only\n"
        "                          file) is removed and copied anew\n"
        "                          (of -n and -f, the last one given counts)\n"
        "      --remove-destination  remove each existing target before copying\n"
        "  -u, --update            copy only when the target is missing or older than\n"
        "                          the source (an older one is replaced)\n"
        "  -b, --backup[=CONTROL]  rename a target about to be replaced to its backup:\n"
        "                          CONTROL is simple (TARGET~, the default, or\n"
        "                          VERSION_CONTROL's), numbered (TARGET.~N~), existing\n"
        "                          (numbered where TARGET has numbered backups, else\n"
        "                          simple) or none; -b takes no CONTROL\n"
        "  -S, --suffix=SUFFIX     the suffix of simple backups instead of ~ (implies -b)\n"
        "  -r, -R, --recursive     copy directories and what is in them: links are\n"
        "                          copied as links, FIFOs made anew; a tree that holds\n"
        "                          a socket or a device is copied without it, and fails\n"
        "  -a, --archive           -r -p -P --preserve=links: keep everything\n"
        "  -P, --no-dereference    copy every symbolic link as a link (the default\n"
        "                          with -r, for the links named as SOURCE too)\n"
        "  -H                      follow the links named as SOURCE, copy the others\n"
        "                          as links (the default without -r)\n"
        "  -L, --dereference       follow every link, in trees too\n"
        "      --follow-hard-links  with -r as root, copy also a file that has other\n"
        "                          hard links and whose owner does not own its directory\n"
        "      --reflink[=WHEN]    share the source's blocks where the file system can:\n"
        "                          auto (the default: where it can), always (without\n"
        "                          WHEN: a copy that cannot fails), never\n"
        "  -p                      keep the source's mode, owner and times\n"
        "      --preserve[=LIST]   keep what LIST names: mode, ownership, timestamps,\n"
        "                          links (two names of a file in a tree stay two names\n"
        "                          of one copy); all four without a LIST\n"
        "  -t, --target-directory=DIRECTORY  copy every SOURCE into DIRECTORY\n"
        "  -D                      create the missing directories of each target,\n"
        "                          and DIRECTORY itself, mode 0755 less umask\n"
        "  -v, --verbose           print a line for each file copied or skipped\n"
        "      --progress          show bytes done and the rate on standard error (shown\n"
        "                          anyway on a terminal once a run takes over a second)\n"
        "      --help              show this help and exit\n"
        "      --version           show the version and exit\n"
        "\n"
        "Options may come anywhere on the line; '--' ends them. Put '--' before\n"
        "the file names in scripts: a name from a glob or a variable may start\n"
        "with '-' and would otherwise be taken as an option:\n"
        "  kivcopy -f -- media/*.ini product/\n"
        "  kivcopy -D -t /opt/app/etc -- \"$config\"\n"
        "  kivcopy -r -u -b -- media/app/ /opt/app\n"
        "  kivcopy -f -p -- build/server /usr/local/bin/\n"
        "  kivcopy -a -- /srv/product/ /opt/product\n"
        "  kivcopy -f --backup=numbered -- app.ini /etc/app/\n"
        "\n"
        "A target written earlier in the same run is never replaced, even with -f.\n"
        "\n"
        "Exit status: 0 if every file was copied or skipped as existing,\n"
        "1 if any copy failed, 64 if the command line is wrong.\n");
}

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
