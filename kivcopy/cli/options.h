/* SPDX-License-Identifier: Zlib */
// kivcopy's command line: what it asks for.
#ifndef KIVCOPY_CLI_OPTIONS_H
#define KIVCOPY_CLI_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

#include "copy.h"
#include "kivcli/backup_names.h"
#include "kivcli/command_line.h"
#include "kivcli/progress.h"

namespace kivcopy_cli {

// Exit statuses.
constexpr int exit_copied = 0;       // every file was copied or skipped as existing
constexpr int exit_copy_failed = 1;  // at least one copy failed
constexpr int exit_usage = kivcli::exit_usage;  // the command line is wrong

// Messages name the program by its plain name, whatever path started it.
constexpr const char* program_name = "kivcopy";

enum class Clobber { no, yes };

// What -p keeps of the source besides the bytes.
struct Preserve {
    bool mode = false;
    bool ownership = false;
    bool timestamps = false;
    bool links = false;  // two names of one file in a tree stay one file's (-a)
    bool any() const { return mode || ownership || timestamps; }
};

// Which symbolic links among the sources are followed: none (-P, copied as
// links; the default with -r), those named on the command line (-H; the
// default without -r), or all (-L).
enum class Dereference { never, command_line, always };

struct Options {
    Clobber clobber = Clobber::no;      // -n (the default) or -f, the last one given
    bool update = false;                // -u: replace only a target older than the source
    bool remove_destination = false;    // --remove-destination
    kivcli::BackupPolicy backup;        // -b, --backup[=CONTROL], -S
    bool recursive = false;             // -r, -R
    bool make_parents = false;          // -D
    bool verbose = false;               // -v
    bool follow_hard_links = false;     // --follow-hard-links
    kivcopy::Sharing reflink = kivcopy::Sharing::when_possible;  // --reflink
    Dereference dereference = Dereference::command_line;         // -P, -H, -L
    Preserve preserve;                  // -p, --preserve=LIST
    kivcli::Progress::Mode progress = kivcli::Progress::Mode::automatic;
    std::optional<std::string> target_directory;  // -t
    std::vector<std::string> operands;
    // --atomic[=FOLDER]: the run's files installed as one transaction, with
    // its journal in `journal_folder` (empty: the default, atomic.h).
    bool atomic = false;
    // --recover[=FOLDER]: the journal folder's interrupted run finished or
    // undone, and nothing else done; the one operand is a DIRECTORY.
    bool recover = false;
    std::string journal_folder;
    // --by-version: an existing target is replaced only as the library's
    // decision by bytes and versions says; --manifest=FOLDER keeps the
    // record of what was installed that tells our files from the user's
    // (with --atomic the journal folder keeps it).
    bool by_version = false;
    std::string manifest_folder;

    // Whether an existing target may be replaced at all: a backup asks for
    // it as -f does (the target is renamed to its backup, then copied anew).
    bool replaces() const {
        return clobber == Clobber::yes || update || remove_destination || backup.enabled() ||
               by_version;
    }
};

// Reads the command line into `options`. Returns -1 when the program is to
// go on; else the exit status, after printing help, the version, or what is
// wrong with the command line.
int parse_command_line(int argc, char** argv, Options& options);

// Tells what is wrong with the command line, then the hint at --help;
// returns 64.
int usage_error(const std::string& message);

// Writes what is buffered for standard output and reports a failed write
// (a full disk, a closed pipe) as a failure.
int finish_output(int status);

}  // namespace kivcopy_cli

#endif
