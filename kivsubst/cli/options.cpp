// SPDX-License-Identifier: Zlib
#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "help.h"
#include "kivcli/command_line.h"
#include "kivcli/output.h"
#include "kivcli/quote.h"
#include "system.h"
#include "kivsubst.h"

namespace kivsubst_cli {
namespace {

using kivcli::quoted;
using kivsubst::engine::TextEncoding;

// --help and --version succeed only if what they print arrives: a full
// disk or a closed pipe is an error like any other.
int finish_standard_output() {
    return kivcli::finish_output("kivsubst", KIVSUBST_REPLACED, exit_output_error,
                                 "cannot write to standard output");
}

int answer_version() {
    kivcli::print(std::string("kivsubst ") + KIVSUBST_VERSION + "\n");
    return finish_standard_output();
}

int answer_help() {
    print_help();
    return finish_standard_output();
}

// What is wrong with a rejected option, in this program's words where they
// differ from getopt's.
std::string rejected(const kivcli::RejectedOption& option) {
    using Fault = kivcli::RejectedOption::Fault;
    const std::string named =
        option.letter != 0 ? std::string("-") + option.letter : quoted(option.typed);
    if (option.letter == 'e') {
        return "-e stands alone, followed by PATTERN and REPLACEMENT";
    }
    if (option.fault == Fault::takes_no_value) {
        return "option " + named + " takes no value";
    }
    if (option.fault == Fault::needs_value) {
        return "option " + named + " needs a value";
    }
    return kivcli::getopt_words(option);
}

// What --max-count's N was found to be.
enum class Count { taken, not_positive, too_large };

// --max-count's N: a decimal number from 1 up, nothing around it, that fits
// the count of occurrences a scan keeps.
Count parse_count(const char* text, std::uint64_t& count) {
    if (*text < '0' || *text > '9') {
        return Count::not_positive;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (*end != '\0' || (errno == 0 && parsed == 0)) {
        return Count::not_positive;
    }
    if (errno == ERANGE) {
        return Count::too_large;
    }
    count = parsed;
    return Count::taken;
}

// Why N is refused, in words that say what is wrong with it.
std::string count_refused(Count found, const char* text) {
    if (found == Count::too_large) {
        return "--max-count " + kivcli::quoted(text) + " is too large: the most is " +
               std::to_string(std::numeric_limits<std::uint64_t>::max());
    }
    return "--max-count takes a number from 1 up, not " + kivcli::quoted(text);
}

// What an argument is to the -e pairs: -e or --expression (typed in full or
// cut short), something else, or the start of both --expression and
// --exclude ("--e", "--ex"), which getopt, knowing --exclude alone, would
// take for that one: refused as ambiguous, whatever follows it.
enum class Expression { option, other, ambiguous };

Expression expression_option(const std::string& argument) {
    if (argument == "-e") {
        return Expression::option;
    }
    const std::string name = argument.substr(0, argument.find('='));
    if (name.size() < 3 || std::string("--expression").rfind(name, 0) != 0) {
        return Expression::other;
    }
    if (std::string("--exclude").rfind(name, 0) == 0) {
        return Expression::ambiguous;
    }
    return name == argument ? Expression::option : Expression::other;
}

// getopt takes one value per option, and -e takes two, so the -e pairs are
// taken out of the line first, in order, up to a lone "--". A value of
// --include or --exclude given as the next element is passed over.
bool take_expressions(int argc, char** argv, std::vector<char*>& rest,
                      std::vector<std::pair<std::string, std::string>>& expressions,
                      std::string& message) {
    rest.push_back(argv[0]);
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const Expression expression =
            options_ended ? Expression::other : expression_option(argument);
        if (expression == Expression::ambiguous) {
            message = "option " + kivcli::quoted(argument.substr(0, argument.find('='))) +
                      " is ambiguous";
            return false;
        }
        if (!options_ended && argument == "--") {
            options_ended = true;
        } else if (expression == Expression::option) {
            if (i + 2 >= argc) {
                message = "-e needs a PATTERN and a REPLACEMENT";
                return false;
            }
            expressions.emplace_back(argv[i + 1], argv[i + 2]);
            i += 2;
            continue;
        } else if (!options_ended && (argument == "--include" || argument == "--exclude") &&
                   i + 1 < argc) {
            rest.push_back(argv[i++]);
        }
        rest.push_back(argv[i]);
    }
    return true;
}

bool decode(const char* name, const std::string& argument, const Options& options,
            std::string& bytes, std::string& message) {
    std::string reason;
    if (!decode_argument(argument, options.encoding, bytes, reason, options.escapes,
                         text_bytes(options.text_in_utf8))) {
        message = std::string(name) + ": " + reason;
        return false;
    }
    if (bytes.size() > static_cast<std::size_t>(INT32_MAX)) {
        message = std::string(name) + " is too long";
        return false;
    }
    if (bytes.empty() && std::strcmp(name, "PATTERN") == 0) {
        message = "PATTERN is empty";
        return false;
    }
    return true;
}

// Text decoded as UTF-16LE bytes, as its UTF-16 code units.
std::u16string text_of(const std::string& utf16le) {
    std::u16string units;
    for (std::size_t i = 0; i + 1 < utf16le.size(); i += 2) {
        units.push_back(static_cast<char16_t>(static_cast<unsigned char>(utf16le[i]) |
                                              static_cast<unsigned char>(utf16le[i + 1]) << 8U));
    }
    return units;
}

// The pairs, decoded: those of -e, or else the first two operands.
bool decode_pairs(const std::vector<std::pair<std::string, std::string>>& expressions,
                  Options& options, std::string& message) {
    std::vector<std::pair<std::string, std::string>> typed = expressions;
    if (typed.empty()) {
        if (options.files.size() < 3) {
            message = "a pattern, a replacement and at least one file are needed";
            return false;
        }
        typed.emplace_back(options.files[0], options.files[1]);
        options.files.erase(options.files.begin(), options.files.begin() + 2);
    }
    for (const auto& [pattern, replacement] : typed) {
        std::string old_bytes;
        std::string new_bytes;
        if (!decode("PATTERN", pattern, options, old_bytes, message) ||
            !decode("REPLACEMENT", replacement, options, new_bytes, message)) {
            return false;
        }
        if (options.text) {
            options.text_pairs.push_back({text_of(old_bytes), text_of(new_bytes)});
        }
        options.pairs.emplace_back(std::move(old_bytes), std::move(new_bytes));
    }
    if (options.files.empty()) {
        message = "at least one file is needed";
        return false;
    }
    return true;
}

// The long options that have no letter, numbered past every letter.
enum LongOnly {
    option_hex = 1000,
    option_utf16le,
    option_help,
    option_version,
    option_include,
    option_exclude,
    option_backup,
    option_preview,
    option_progress,
    option_follow_hard_links,
    option_utf8,
    option_encoding,
    option_escapes,
    option_atomic,
    option_recover,
};

// The letters that take a value are followed by ':'; the leading ':' has
// getopt_long tell a missing value from an unknown option.
constexpr const char* short_options = ":FrnvS:iwm:";

const option long_options[] = {
    {"hex", no_argument, nullptr, option_hex},
    {"utf16le", no_argument, nullptr, option_utf16le},
    {"utf8", no_argument, nullptr, option_utf8},
    {"encoding", required_argument, nullptr, option_encoding},
    {"fixed-strings", no_argument, nullptr, 'F'},
    {"escapes", no_argument, nullptr, option_escapes},
    {"ignore-case", no_argument, nullptr, 'i'},
    {"word", no_argument, nullptr, 'w'},
    {"max-count", required_argument, nullptr, 'm'},
    {"recursive", no_argument, nullptr, 'r'},
    {"include", required_argument, nullptr, option_include},
    {"exclude", required_argument, nullptr, option_exclude},
    {"backup", optional_argument, nullptr, option_backup},
    {"suffix", required_argument, nullptr, 'S'},
    {"dry-run", no_argument, nullptr, 'n'},
    {"preview", no_argument, nullptr, option_preview},
    {"verbose", no_argument, nullptr, 'v'},
    {"progress", no_argument, nullptr, option_progress},
    {"follow-hard-links", no_argument, nullptr, option_follow_hard_links},
    {"atomic", optional_argument, nullptr, option_atomic},
    {"recover", optional_argument, nullptr, option_recover},
    {"help", no_argument, nullptr, option_help},
    {"version", no_argument, nullptr, option_version},
    {nullptr, 0, nullptr, 0},
};

// What the options leave to be checked together once all are read: the
// encodings, which exclude each other, and the backup options.
struct Unsettled {
    bool hex = false;
    bool utf16le = false;
    std::optional<TextEncoding> encoding;  // --encoding=WORD
    kivcli::BackupOptions backup;
    // The first option given that --recover does not take, as typed in
    // full ("--hex", "-i"), for the message that refuses it.
    std::string not_for_recover;
};

// The options that --recover takes besides its own: -r, which its default
// FOLDER depends on, and -v.
bool goes_with_recover(int found) {
    return found == option_recover || found == 'r' || found == 'v';
}

// An option as its long name, or its letter where it has no long name.
std::string option_name(int found) {
    for (const option& known : long_options) {
        if (known.name != nullptr && known.val == found) {
            return std::string("--") + known.name;
        }
    }
    return std::string("-") + static_cast<char>(found);
}

// --encoding's words, and the encoding each names; "ansi" only where there
// is an ANSI code page (Windows).
const std::pair<const char*, TextEncoding> encoding_words[] = {
    {"auto", TextEncoding::from_mark},
    {"utf-8", TextEncoding::utf8},
    {"utf-16le", TextEncoding::utf16le},
    {"utf-16be", TextEncoding::utf16be},
    {"ansi", TextEncoding::ansi},
};

bool take_encoding(const char* word, Unsettled& unsettled, std::string& message) {
    std::string known;
    for (const auto& [name, encoding] : encoding_words) {
        if (encoding == TextEncoding::ansi && !kivsubst::engine::has_ansi_code_page) {
            continue;
        }
        if (std::strcmp(word, name) == 0) {
            unsettled.encoding = encoding;
            return true;
        }
        known += (known.empty() ? "" : ", ") + std::string(name);
    }
    message = "invalid encoding " + quoted(word) + " (" + known + ")";
    return false;
}

using kivcli::Taken;

// The options that only turn one of the run's switches on.
const kivcli::SettingOption<Options, bool> switch_options[] = {
    {option_utf8, &Options::text_in_utf8, true},
    {'r', &Options::recursive, true},
    {option_follow_hard_links, &Options::follow_hard_links, true},
    {'n', &Options::dry_run, true},
    {option_preview, &Options::preview, true},
    {'v', &Options::verbose, true},
};

// The encodings, which are checked against each other once all are read.
const kivcli::SettingOption<Unsettled, bool> encoding_options[] = {
    {option_hex, &Unsettled::hex, true},
    {option_utf16le, &Unsettled::utf16le, true},
};

// --escapes and -F (which names the default), and --progress, which set
// one thing to a value of its own; the last of --escapes and -F wins.
const kivcli::SettingOption<Options, Escapes> escape_options[] = {
    {'F', &Options::escapes, Escapes::literal},
    {option_escapes, &Options::escapes, Escapes::decoded},
};
const kivcli::SettingOption<Options, kivcli::Progress::Mode> progress_options[] = {
    {option_progress, &Options::progress, kivcli::Progress::Mode::always},
};

// The options that take a value or set what lies deeper in the options:
// -i, -w, --max-count, --include, --exclude, --backup and -S.
Taken take_option_with_more(int found, Options& options, Unsettled& unsettled,
                            std::string& message) {
    switch (found) {
        case 'i':
            options.matching.ignore_case = true;
            return Taken::taken;
        case 'w':
            options.matching.whole_words = true;
            return Taken::taken;
        case 'm':
            if (const Count most = parse_count(optarg, options.matching.most);
                most != Count::taken) {
                message = count_refused(most, optarg);
                return Taken::refused;
            }
            return Taken::taken;
        case option_encoding:
            return take_encoding(optarg, unsettled, message) ? Taken::taken : Taken::refused;
        case option_include:
            options.include.emplace_back(optarg);
            return Taken::taken;
        case option_exclude:
            options.exclude.emplace_back(optarg);
            return Taken::taken;
        case option_backup:
            return unsettled.backup.take_backup(optarg, message) ? Taken::taken : Taken::refused;
        case 'S':
            return unsettled.backup.take_suffix(optarg, message) ? Taken::taken : Taken::refused;
        case option_atomic:
        case option_recover:
            (found == option_atomic ? options.atomic : options.recover) = true;
            if (optarg != nullptr && *optarg == '\0') {
                message = "option " + option_name(found) + " needs a FOLDER after '='";
                return Taken::refused;
            }
            options.journal_folder = optarg != nullptr ? optarg : "";
            return Taken::taken;
        default:
            return Taken::unknown;
    }
}

Taken take_option(int found, Options& options, Unsettled& unsettled, std::string& message) {
    if (!goes_with_recover(found) && unsettled.not_for_recover.empty()) {
        unsettled.not_for_recover = option_name(found);
    }
    const bool set = kivcli::take_setting(found, switch_options, options) ||
                     kivcli::take_setting(found, encoding_options, unsettled) ||
                     kivcli::take_setting(found, escape_options, options) ||
                     kivcli::take_setting(found, progress_options, options);
    return set ? Taken::taken : take_option_with_more(found, options, unsettled, message);
}

const kivcli::OptionSet option_set = {
    short_options, long_options,   option_help, option_version,
    answer_help,   answer_version, rejected,    usage_error,
};

// Reads the options left once the -e pairs are taken out; -1 to go on,
// else the exit status, after help, the version or a usage error.
int read_options(std::vector<char*>& rest, Options& options, Unsettled& unsettled) {
    const int count = static_cast<int>(rest.size());
    rest.push_back(nullptr);
    const int status = kivcli::read_options(
        count, rest.data(), option_set, [&](int found, std::string& message) {
            return take_option(found, options, unsettled, message);
        });
    rest.pop_back();
    return status;
}

// Checks the options that exclude each other and settles the backup;
// false, with the message, where they do not go together.
bool check_options(Unsettled& unsettled, Options& options, std::string& message) {
    if (unsettled.hex && unsettled.utf16le) {
        message = "--hex and --utf16le cannot be used together";
        return false;
    }
    if (unsettled.encoding && (unsettled.hex || unsettled.utf16le || options.text_in_utf8)) {
        message = std::string("--encoding and ") +
                  (unsettled.hex ? "--hex" : unsettled.utf16le ? "--utf16le" : "--utf8") +
                  " cannot be used together";
        return false;
    }
    if (unsettled.hex && options.escapes == Escapes::decoded) {
        message = "--hex and --escapes cannot be used together";
        return false;
    }
    if (options.dry_run && options.preview) {
        message = "--dry-run and --preview cannot be used together";
        return false;
    }
    if (options.recover && !unsettled.not_for_recover.empty()) {
        message = "--recover and " + unsettled.not_for_recover +
                  " cannot be used together (--recover takes -r and -v alone)";
        return false;
    }
    if (!unsettled.backup.finish(options.backup, message)) {
        return false;
    }
    // A backup is a file of its own beside each FILE, made before the
    // transaction could decide: a run undone would leave them behind.
    if (options.atomic && options.backup.enabled()) {
        message = "--atomic and --backup cannot be used together";
        return false;
    }
    return true;
}

// --recover's operands are FILEs alone, which name its default FOLDER;
// --atomic patches files, never standard input.
bool check_operands(const std::vector<std::pair<std::string, std::string>>& expressions,
                    const Options& options, std::string& message) {
    if (options.recover && !expressions.empty()) {
        message = "--recover takes no PATTERN or REPLACEMENT";
        return false;
    }
    if (options.recover && options.journal_folder.empty() && options.files.empty()) {
        message = "--recover needs a FOLDER, or a FILE whose journal folder it is";
        return false;
    }
    if (options.recover && !options.journal_folder.empty() && !options.files.empty()) {
        message = "--recover=FOLDER takes no FILE";
        return false;
    }
    for (const std::string& file : options.files) {
        if (options.atomic && file == "-") {
            message = "--atomic cannot patch standard input (FILE -)";
            return false;
        }
    }
    return true;
}

}  // namespace

int usage_error(const std::string& message) {
    return kivcli::usage_error("kivsubst", message);
}

int parse_command_line(int argc, char** argv, Options& options) {
    std::vector<char*> rest;
    std::vector<std::pair<std::string, std::string>> expressions;
    std::string message;
    if (!take_expressions(argc, argv, rest, expressions, message)) {
        return usage_error(message);
    }
    Unsettled unsettled;
    if (const int status = read_options(rest, options, unsettled); status != -1) {
        return status;
    }
    if (!check_options(unsettled, options, message)) {
        return usage_error(message);
    }
    // --utf16le is --encoding=utf-16le: whole code units only, never across
    // two characters.
    if (unsettled.utf16le) {
        unsettled.encoding = TextEncoding::utf16le;
    }
    options.text = unsettled.encoding;
    options.encoding = unsettled.hex ? Encoding::hex
                       : options.text ? Encoding::utf16le
                                      : Encoding::escaped_text;
    options.files.assign(rest.begin() + optind, rest.end());
    if (options.recover) {
        return check_operands(expressions, options, message) ? -1 : usage_error(message);
    }
    if (!decode_pairs(expressions, options, message) ||
        !check_operands(expressions, options, message)) {
        return usage_error(message);
    }
    return -1;
}

}  // namespace kivsubst_cli
