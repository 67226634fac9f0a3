// kivsubst: the command-line front end of the kivsubst library.
//
//   kivsubst [--hex|--utf16le] [-v|--verbose] PATTERN REPLACEMENT FILE...
//
// Each file is one call of replaceString. A failing file prints its one line
// on standard output (the library does that); the remaining files are still
// processed.
#include <getopt.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "bytes_argument.h"
#include "kivsubst.h"

namespace {

using kivsubst_cli::Encoding;

// Exit statuses besides the library's own results, which pass through.
constexpr int exit_replaced = KIVSUBST_REPLACED;    // --help and --version succeed too
constexpr int exit_not_found = KIVSUBST_NOT_FOUND;  // no file held the pattern
constexpr int exit_usage = 64;                      // the command line is wrong

void print_usage(std::FILE* out) {
    std::fputs(
        "Usage: kivsubst [--hex|--utf16le] [-v|--verbose] PATTERN REPLACEMENT FILE...\n"
        "Replace every occurrence of the bytes PATTERN with the bytes REPLACEMENT in\n"
        "each FILE, in place. PATTERN and REPLACEMENT are text in which \\xHH (two hex\n"
        "digits), \\0, \\n, \\r, \\t and \\\\ stand for bytes. PATTERN must not be empty.\n"
        "\n"
        "      --hex        PATTERN and REPLACEMENT are hex digits, two per byte;\n"
        "                   spaces may separate the bytes\n"
        "      --utf16le    PATTERN and REPLACEMENT are UTF-8 text (escapes allowed),\n"
        "                   searched for and written as UTF-16LE\n"
        "  -v, --verbose    tell on standard error whether each FILE had a replacement\n"
        "      --help       show this help and exit\n"
        "      --version    show the version and exit\n"
        "\n"
        "Put -- before a PATTERN or REPLACEMENT that starts with '-'. Temporary files\n"
        "are made in the directory named by TMP, else next to each FILE.\n"
        "\n"
        "Exit status, the first failure among the files if any failed:\n"
        "   0  at least one FILE had a replacement\n"
        "   1  no FILE held PATTERN; the files are unchanged\n"
        "   2  no temporary file name could be made\n"
        "   3  a FILE cannot be opened\n"
        "   4  a temporary file cannot be opened\n"
        "   6  out of memory\n"
        "   7  a result could not be written\n"
        "   8  the library rejected its arguments\n"
        "  64  the command line is wrong\n",
        out);
}

int usage_error(const std::string& message) {
    std::fprintf(stderr, "kivsubst: %s\n", message.c_str());
    print_usage(stderr);
    return exit_usage;
}

// getopt_long's own complaint names the program by its full path; ours
// names it kivsubst like every other message.
std::string rejected_option(char** argv) {
    if (optopt > ' ' && optopt < 0x7F) {
        return std::string("-") + static_cast<char>(optopt);
    }
    return argv[optind - 1];
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

}  // namespace

int main(int argc, char** argv) {
    enum { option_hex = 1000, option_utf16le, option_help, option_version };
    static const option options[] = {
        {"hex", no_argument, nullptr, option_hex},
        {"utf16le", no_argument, nullptr, option_utf16le},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, option_help},
        {"version", no_argument, nullptr, option_version},
        {nullptr, 0, nullptr, 0},
    };
    bool hex = false;
    bool utf16le = false;
    bool verbose = false;
    opterr = 0;
    for (int option; (option = getopt_long(argc, argv, "v", options, nullptr)) != -1;) {
        switch (option) {
            case option_hex:
                hex = true;
                break;
            case option_utf16le:
                utf16le = true;
                break;
            case 'v':
                verbose = true;
                break;
            case option_help:
                print_usage(stdout);
                return exit_replaced;
            case option_version:
                std::printf("kivsubst %s\n", KIV_VERSION);
                return exit_replaced;
            default:
                return usage_error("invalid option " + rejected_option(argv));
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

    int first_failure = 0;
    bool any_replaced = false;
    for (int i = optind + 2; i < argc; ++i) {
        const int result = replaceString(argv[i], pattern.data(),
                                         static_cast<std::int32_t>(pattern.size()),
                                         replacement.data(),
                                         static_cast<std::int32_t>(replacement.size()));
        if (is_failure(result)) {
            if (first_failure == 0) {
                first_failure = result;
            }
            continue;
        }
        any_replaced = any_replaced || result == KIVSUBST_REPLACED;
        if (verbose) {
            std::fprintf(stderr, "%s: %s\n", argv[i],
                         result == KIVSUBST_REPLACED ? "replaced" : "not found");
        }
    }
    if (first_failure != 0) {
        return first_failure;
    }
    return any_replaced ? exit_replaced : exit_not_found;
}
