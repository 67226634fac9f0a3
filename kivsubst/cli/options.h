/* SPDX-License-Identifier: Zlib */
// kivsubst's command line: what it asks for, and the pairs of byte strings
// it names, decoded.
#ifndef KIVSUBST_CLI_OPTIONS_H
#define KIVSUBST_CLI_OPTIONS_H

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bytes_argument.h"
#include "engine.h"
#include "kivcli/backup_names.h"
#include "kivcli/command_line.h"
#include "kivcli/progress.h"

namespace kivsubst_cli {

// Exit statuses besides the library's own results, which pass through.
constexpr int exit_output_error = 1;  // --help or --version could not be written
constexpr int exit_usage = kivcli::exit_usage;  // the command line is wrong

struct Options {
    Encoding encoding = Encoding::escaped_text;
    // Byte for byte unless --escapes asks for them: a Windows path such as
    // C:\new\temp must reach the file as it was typed.
    Escapes escapes = Escapes::literal;
    bool text_in_utf8 = false;  // --utf8: text's characters as UTF-8 bytes (Windows)
    bool dry_run = false;
    bool verbose = false;
    bool preview = false;
    bool recursive = false;
    bool follow_hard_links = false;            // --follow-hard-links
    kivcli::BackupPolicy backup;               // --backup[=CONTROL], -S
    std::vector<std::string> include;          // --include globs
    std::vector<std::string> exclude;          // --exclude globs
    kivcli::Progress::Mode progress = kivcli::Progress::Mode::automatic;
    kivsubst::engine::Matching matching;  // -i, -w, --max-count
    // --encoding (or --utf16le): the pairs are text, written in each file's
    // encoding (from_mark: the one its mark names), in text_pairs; none:
    // they are bytes.
    std::optional<kivsubst::engine::TextEncoding> text;
    std::vector<kivsubst::engine::TextPair> text_pairs;
    // The pairs as decoded bytes: from -e OLD NEW, or the first two
    // operands (with --encoding, as UTF-16LE).
    std::vector<std::pair<std::string, std::string>> pairs;
    std::vector<std::string> files;
    // --atomic[=FOLDER]: the run's files patched as one transaction, with
    // its journal in `journal_folder` (empty: the default, atomic.h).
    bool atomic = false;
    // --recover[=FOLDER]: the journal folder's interrupted run finished or
    // undone, and nothing else done; the operands are FILEs alone.
    bool recover = false;
    std::string journal_folder;
};

// Reads the command line into `options`. Returns -1 when the program is to
// go on; else the exit status, after printing help, the version, or what is
// wrong with the command line.
int parse_command_line(int argc, char** argv, Options& options);

// Prints `message` and the hint at --help on standard error; returns 64.
int usage_error(const std::string& message);

}  // namespace kivsubst_cli

#endif
