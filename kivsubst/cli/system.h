/* SPDX-License-Identifier: Zlib */
// What the front end asks of the system, each system in a file of its own:
// the core's view of a target, opening targets to look at them, the
// standard streams as files, and how many files a batch may hold open.
#ifndef KIVSUBST_CLI_SYSTEM_H
#define KIVSUBST_CLI_SYSTEM_H

#include <cstddef>
#include <string>

#include "engine.h"
#include "targets.h"

namespace kivsubst_cli {

// The target as the core's substitution takes it: its directory, held, and
// its name, to be the file that the check found.
kivsubst::engine::FileAt file_at(const Target& target);

// Opens the target read-only, as a regular file only, without changing its
// access time where the caller owns it. On failure the file is not open and
// `reason` says why.
kivsubst::engine::File open_to_examine(Target& target, std::string& reason);

// Whether the caller may open the target, open as `file`, for writing; if
// not, `reason` says why.
bool is_writable(Target& target, kivsubst::engine::File& file, std::string& reason);

// Splits an operand into its directory part (empty when it has none) and
// its last name, as the system splits paths.
void split_operand(const std::string& operand, std::string& directory, std::string& name);

// A file that throws away what is written to it; `reason` says why not.
kivsubst::engine::File open_discarding_output(std::string& reason);

// Standard input or output as a file of its own (the C library's buffer of
// standard output written out first).
kivsubst::engine::File standard_stream(bool input);

// How many files a batch may hold open at once: each keeps its file, its
// temporary file, maybe a backup, and a directory.
std::size_t batch_files(std::size_t most);

// Whether the program runs with the privilege to read and write every file
// (root).
bool caller_is_privileged();

// How the characters of a text PATTERN or REPLACEMENT become bytes: as
// they are where arguments are bytes (POSIX); on Windows, where arguments
// come as UTF-16, in the ANSI code page, or with `utf8` in UTF-8.
TextBytes text_bytes(bool utf8);

// A path of the core's as messages show it.
std::string shown_path(const kivsubst::engine::Path& path);

// While it lives, the requests that stop a run are held rather than acted
// on at once: on POSIX the signals SIGINT, SIGTERM, SIGHUP and SIGPIPE (each
// unless the run was started with it ignored), blocked; on Windows Ctrl-C
// and Ctrl-Break, noted by a console handler. The run asks asked() where it
// can stop with every file whole, old or new, and no temporary file left.
// When it goes, a stop that was asked ends the process as the request would
// have at once: by the signal (128+n), or with the exit code of Ctrl-C.
class HeldStops {
public:
    HeldStops();
    ~HeldStops();
    HeldStops(const HeldStops&) = delete;
    HeldStops& operator=(const HeldStops&) = delete;

    bool asked() const;
};

}  // namespace kivsubst_cli

#endif
