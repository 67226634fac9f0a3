// SPDX-License-Identifier: Zlib
// kivsubst: the command-line front end of the kivsubst library.
//
//   kivsubst [OPTION]... [--] PATTERN REPLACEMENT FILE...
//
// Each file is one call of replaceString, after the front end has checked
// that the file can be opened for reading and for writing: a file that
// cannot be is reported here, on standard error, and the library is not
// called for it, so it leaves no temporary file. A failure inside the call
// prints the library's own line on standard output. The remaining files
// are still processed.
#include <getopt.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "bytes_argument.h"
#include "examine.h"
#include "kivcli/quote.h"
#include "kivsubst.h"

namespace {

using kivcli::quoted;
using kivsubst_cli::Encoding;

// Exit statuses besides the library's own results, which pass through.
constexpr int exit_replaced = KIVSUBST_REPLACED;    // --help and --version succeed too
constexpr int exit_not_found = KIVSUBST_NOT_FOUND;  // no file held the pattern
constexpr int exit_output_error = 1;                // --help or --version could not be written
constexpr int exit_usage = 64;                      // the command line is wrong

void print_usage(std::FILE* out) {
    std::fputs(
        "Usage: kivsubst [OPTION]... [--] PATTERN REPLACEMENT FILE...\n"
        "Replace every occurrence of the bytes PATTERN with the bytes REPLACEMENT in\n"
        "each FILE, in place. PATTERN and REPLACEMENT are text in which \\xHH (two hex\n"
        "digits), \\0, \\n, \\r, \\t and \\\\ stand for bytes. PATTERN must not be empty.\n"
        "\n"
        "      --hex        PATTERN and REPLACEMENT are hex digits, two per byte;\n"
        "                   spaces may separate the bytes\n"
        "      --utf16le    PATTERN and REPLACEMENT are UTF-8 text (escapes allowed),\n"
        "                   searched for and written as UTF-16LE; a match may start\n"
        "                   at any byte offset, odd ones included\n"
        "  -n, --dry-run    change nothing: print how many occurrences each FILE\n"
        "                   holds, on standard output\n"
        "  -v, --verbose    tell on standard error how many occurrences each FILE\n"
        "                   had replaced\n"
        "      --help       show this help and exit\n"
        "      --version    show the version and exit\n"
        "\n"
        "Options may come anywhere on the line, up to a lone --, which ends them.\n"
        "Put -- before the operands whenever a PATTERN, a REPLACEMENT or a FILE may\n"
        "start with '-': a wildcard that matches a file named -v or --help would\n"
        "otherwise hand it over as an option.\n"
        "\n"
        "Examples:\n"
        "  kivsubst -- 'old name' 'new name' *.txt\n"
        "  kivsubst --hex -- '00 ff' 'ff 00' image.bin\n"
        "  kivsubst --dry-run -- 'v1.2' 'v1.3' *.cfg\n"
        "\n"
        "Temporary files are made in the directory named by TMP, else next to each\n"
        "FILE. A FILE that cannot be opened for reading or for writing is reported\n"
        "and left alone.\n"
        "\n"
        "Exit status, the first failure among the files if any failed:\n"
        "   0  at least one FILE had a replacement (with --dry-run: would have one)\n"
        "   1  no FILE held PATTERN; the files are unchanged\n"
        "   2  no temporary file name could be made\n"
        "   3  a FILE cannot be opened for reading or for writing\n"
        "   4  a temporary file cannot be opened\n"
        "   6  out of memory\n"
        "   7  a result could not be written (with --dry-run: a FILE could not be read)\n"
        "   8  the library rejected its arguments\n"
        "  64  the command line is wrong\n",
        out);
}

int usage_error(const std::string& message) {
    std::fprintf(stderr,
                 "kivsubst: %s\n"
                 "Try 'kivsubst --help' for more information.\n",
                 message.c_str());
    return exit_usage;
}

// --help and --version succeed only if what they print arrives: a full
// disk or a closed pipe is an error like any other.
int finish_standard_output() {
    errno = 0;
    const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
    if (failed) {
        std::fprintf(stderr, "kivsubst: cannot write to standard output: %s\n",
                     errno != 0 ? std::strerror(errno) : "write error");
        return exit_output_error;
    }
    return exit_replaced;
}

// getopt_long's own complaints name the program by its full path, and for
// a long option given a value it does not take, optopt holds the option's
// short equivalent ('v' for --verbose=1). The message is built here from
// what was actually typed instead.
std::string rejected_option(char** argv, const option* options) {
    const std::string typed = argv[optind - 1];
    if (typed.rfind("--", 0) == 0) {
        const std::size_t equals = typed.find('=');
        const std::string name = typed.substr(2, equals == std::string::npos ? equals : equals - 2);
        int matches = 0;
        bool exact = false;
        for (const option* o = options; o->name != nullptr; ++o) {
            if (std::string(o->name).rfind(name, 0) == 0) {
                ++matches;
                exact = exact || name == o->name;
            }
        }
        if (matches > 1 && !exact) {
            return "option " + quoted("--" + name) + " is ambiguous";
        }
        if (matches > 0 && equals != std::string::npos) {
            return "option " + quoted("--" + name) + " takes no value";
        }
        return "unrecognized option " + quoted("--" + name);
    }
    if (optopt > ' ' && optopt < 0x7F) {
        return std::string("invalid option -- '") + static_cast<char>(optopt) + "'";
    }
    return "invalid option " + quoted(typed);
}

bool decode(const char* name, const char* argument, Encoding encoding, std::string& bytes,
            std::string& message) {
    std::string reason;
    if (!kivsubst_cli::decode_argument(argument, encoding, bytes, reason)) {
        message = std::string(name) + ": " + reason;
        return false;
    }
    if (bytes.size() > static_cast<std::size_t>(INT32_MAX)) {
        message = std::string(name) + " is too long";
        return false;
    }
    return true;
}

bool is_failure(int result) {
    return result != KIVSUBST_REPLACED && result != KIVSUBST_NOT_FOUND;
}

kivsubst::Bytes as_bytes(const std::string& bytes) {
    return {reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()};
}

// What the files came to: the first failure, and whether any file had (or,
// in a dry run, would have) a replacement.
struct Tally {
    int first_failure = 0;
    bool any_replaced = false;

    void fail(int result) {
        if (first_failure == 0) {
            first_failure = result;
        }
    }
    // A message of our own, what failed and why, then the failure.
    void fail(int result, const std::string& what, const std::string& reason) {
        std::fprintf(stderr, "kivsubst: %s: %s\n", what.c_str(), reason.c_str());
        fail(result);
    }
    int exit_status() const {
        if (first_failure != 0) {
            return first_failure;
        }
        return any_replaced ? exit_replaced : exit_not_found;
    }
};

}  // namespace

int main(int argc, char** argv) {
    enum { option_hex = 1000, option_utf16le, option_help, option_version };
    static const option options[] = {
        {"hex", no_argument, nullptr, option_hex},
        {"utf16le", no_argument, nullptr, option_utf16le},
        {"dry-run", no_argument, nullptr, 'n'},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, option_help},
        {"version", no_argument, nullptr, option_version},
        {nullptr, 0, nullptr, 0},
    };
    bool hex = false;
    bool utf16le = false;
    bool dry_run = false;
    bool verbose = false;
    opterr = 0;
    for (int option; (option = getopt_long(argc, argv, "nv", options, nullptr)) != -1;) {
        switch (option) {
            case option_hex:
                hex = true;
                break;
            case option_utf16le:
                utf16le = true;
                break;
            case 'n':
                dry_run = true;
                break;
            case 'v':
                verbose = true;
                break;
            case option_help:
                print_usage(stdout);
                return finish_standard_output();
            case option_version:
                std::printf("kivsubst %s\n", KIVSUBST_VERSION);
                return finish_standard_output();
            default:
                return usage_error(rejected_option(argv, options));
        }
    }
    if (hex && utf16le) {
        return usage_error("--hex and --utf16le cannot be used together");
    }
    if (argc - optind < 3) {
        return usage_error("a pattern, a replacement and at least one file are needed");
    }

    const Encoding encoding = hex       ? Encoding::hex
                              : utf16le ? Encoding::utf16le
                                        : Encoding::escaped_text;
    std::string pattern;
    std::string replacement;
    std::string message;
    if (!decode("PATTERN", argv[optind], encoding, pattern, message) ||
        !decode("REPLACEMENT", argv[optind + 1], encoding, replacement, message)) {
        return usage_error(message);
    }
    if (pattern.empty()) {
        return usage_error("PATTERN is empty");
    }

    // The count for a dry run or -v comes from the library's own scan.
    std::optional<kivsubst_cli::Counter> counter;
    if (dry_run || verbose) {
        counter.emplace(as_bytes(pattern), as_bytes(replacement));
        std::string reason;
        if (const int status = counter->problem(reason); status != 0) {
            std::fprintf(stderr, "kivsubst: %s\n", reason.c_str());
            return status;
        }
    }

    Tally tally;
    for (int i = optind + 2; i < argc; ++i) {
        const std::string file = argv[i];
        const std::string path = kivsubst_cli::library_path(file);
        std::string reason;
        kivsubst::platform::File input = kivsubst_cli::open_to_examine(path, reason);
        if (!input.is_open()) {
            tally.fail(KIVSUBST_CANNOT_OPEN, "cannot open " + quoted(file), reason);
            continue;
        }
        if (!kivsubst_cli::is_writable(path, reason)) {
            tally.fail(KIVSUBST_CANNOT_OPEN, quoted(file) + " is not writable", reason);
            continue;
        }
        std::uint64_t count = 0;
        if (counter && !counter->count(input, count, reason)) {
            tally.fail(KIVSUBST_COPY_ERROR, "cannot read " + quoted(file), reason);
            continue;
        }
        input.close();

        if (dry_run) {
            if (count > 0) {
                std::printf("%s: %llu to replace\n", quoted(file).c_str(),
                            static_cast<unsigned long long>(count));
            } else {
                std::printf("%s: nothing found\n", quoted(file).c_str());
            }
            tally.any_replaced = tally.any_replaced || count > 0;
            continue;
        }

        const int result = replaceString(path.c_str(), pattern.data(),
                                         static_cast<std::int32_t>(pattern.size()),
                                         replacement.data(),
                                         static_cast<std::int32_t>(replacement.size()));
        if (is_failure(result)) {
            tally.fail(result);
            continue;
        }
        tally.any_replaced = tally.any_replaced || result == KIVSUBST_REPLACED;
        if (verbose) {
            // The library says only whether it replaced anything; the count
            // is the scan's, of the file as it was just before the call.
            if (result == KIVSUBST_NOT_FOUND) {
                std::fprintf(stderr, "%s: nothing found\n", quoted(file).c_str());
            } else if (count > 0) {
                std::fprintf(stderr, "%s: %llu replaced\n", quoted(file).c_str(),
                             static_cast<unsigned long long>(count));
            } else {
                std::fprintf(stderr, "%s: replaced\n", quoted(file).c_str());
            }
        }
    }
    return tally.exit_status();
}
