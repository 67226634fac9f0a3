// kivcopy: the command-line front end of the kivcopy library.
//
//   kivcopy [-f|--overwrite] SOURCE TARGET
//   kivcopy [-f|--overwrite] SOURCE... DIRECTORY
//
// Each copy is one call of KivCopyFile. A failed copy prints one line on
// standard error; the remaining sources are still copied.
#include <getopt.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "kivcopy.h"

namespace {

// Exit statuses.
constexpr int exit_copied = 0;        // every file was copied
constexpr int exit_copy_failed = 1;   // at least one copy failed
constexpr int exit_usage = 64;        // the command line is wrong

const char* meaning_of(int result) {
    switch (result) {
        case KIVCOPY_OK:
            return "copied";
        case KIVCOPY_SOURCE_NOT_OPENED:
            return "the source cannot be opened for reading";
        case KIVCOPY_TARGET_NOT_WRITTEN:
            return "the target cannot be opened, written or closed, or is the source itself";
        case KIVCOPY_SOURCE_NOT_READ:
            return "the source cannot be read";
        case KIVCOPY_TARGET_EXISTS:
            return "the target exists (use -f to replace it)";
        case KIVCOPY_TIMES_NOT_SET:
            return "the target's times cannot be set";
        default:
            return "unknown result";
    }
}

void print_usage(std::FILE* out) {
    std::fputs(
        "Usage: kivcopy [-f|--overwrite] SOURCE TARGET\n"
        "       kivcopy [-f|--overwrite] SOURCE... DIRECTORY\n"
        "Copy SOURCE to TARGET, or each SOURCE into DIRECTORY, and give each copy\n"
        "the source's last-access time as both its access and modification time.\n"
        "\n"
        "  -f, --overwrite  replace targets that already exist\n"
        "      --help       show this help and exit\n"
        "      --version    show the version and exit\n"
        "\n"
        "Exit status: 0 if every file was copied, 1 if any copy failed,\n"
        "64 if the command line is wrong.\n",
        out);
}

bool is_directory(const char* path) {
    struct stat status {};
    return ::stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

#if defined(_WIN32)
constexpr const char* separators = "/\\";
#else
constexpr const char* separators = "/";
#endif

bool is_separator(char c) {
    return std::strchr(separators, c) != nullptr;
}

// The last component of a path, as cp names a file copied into a directory.
std::string base_name(const char* path) {
    std::string name(path);
    while (name.size() > 1 && is_separator(name.back())) {
        name.pop_back();
    }
    std::size_t separator = name.find_last_of(separators);
    return separator == std::string::npos ? name : name.substr(separator + 1);
}

std::string join(const char* directory, const std::string& name) {
    std::string joined(directory);
    if (joined.empty() || !is_separator(joined.back())) {
        joined += '/';
    }
    return joined + name;
}

bool copy_one(const char* source, const std::string& target, int overwrite) {
    int result = KivCopyFile(source, target.c_str(), overwrite);
    if (result == KIVCOPY_OK) {
        return true;
    }
    std::fprintf(stderr, "kivcopy: %s -> %s: %d: %s\n", source, target.c_str(), result,
                 meaning_of(result));
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    enum { option_help = 1000, option_version };
    static const option options[] = {
        {"overwrite", no_argument, nullptr, 'f'},
        {"help", no_argument, nullptr, option_help},
        {"version", no_argument, nullptr, option_version},
        {nullptr, 0, nullptr, 0},
    };
    int overwrite = 0;
    for (int option; (option = getopt_long(argc, argv, "f", options, nullptr)) != -1;) {
        switch (option) {
            case 'f':
                overwrite = 1;
                break;
            case option_help:
                print_usage(stdout);
                return exit_copied;
            case option_version:
                std::printf("kivcopy %s\n", KIV_VERSION);
                return exit_copied;
            default:
                print_usage(stderr);
                return exit_usage;
        }
    }

    int operands = argc - optind;
    if (operands < 2) {
        std::fputs("kivcopy: a source and a target are needed\n", stderr);
        print_usage(stderr);
        return exit_usage;
    }
    const char* last = argv[argc - 1];
    bool into_directory = is_directory(last);
    if (operands > 2 && !into_directory) {
        std::fprintf(stderr, "kivcopy: %s is not a directory\n", last);
        return exit_usage;
    }

    bool all_copied = true;
    for (int i = optind; i < argc - 1; ++i) {
        std::string target = into_directory ? join(last, base_name(argv[i])) : std::string(last);
        all_copied = copy_one(argv[i], target, overwrite) && all_copied;
    }
    return all_copied ? exit_copied : exit_copy_failed;
}
