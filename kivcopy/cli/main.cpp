// SPDX-License-Identifier: Zlib
// kivcopy: the command-line front end of the kivcopy library.
//
//   kivcopy [OPTION]... [--] SOURCE TARGET
//   kivcopy [OPTION]... [--] SOURCE... DIRECTORY
//   kivcopy [OPTION]... -t DIRECTORY [--] SOURCE...
//
// Each copy is one call of KivCopyFile. Before the call the front end checks
// what it can itself (the source, the target's directory, a target that is
// the source or was written earlier in this run), so that a failure can be
// told in the system's words; a failed copy prints one line on standard error
// and the remaining sources are still copied.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <direct.h>
#include <io.h>
#else
#include <unistd.h>

#include "kivcommon/posix_io.h"
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kivcli/quote.h"
#include "kivcopy.h"

namespace {

using kivcli::quoted;

// Exit statuses.
constexpr int exit_copied = 0;        // every file was copied or skipped as existing
constexpr int exit_copy_failed = 1;   // at least one copy failed
constexpr int exit_usage = 64;        // the command line is wrong

// Messages name the program by its plain name, whatever path started it.
char program_name[] = "kivcopy";

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
            return "the target exists";
        case KIVCOPY_TIMES_NOT_SET:
            return "copied, but the target's times cannot be set";
        default:
            return "unknown result";
    }
}

void print_help() {
    std::fputs(
        "Usage: kivcopy [OPTION]... [--] SOURCE TARGET\n"
        "  or:  kivcopy [OPTION]... [--] SOURCE... DIRECTORY\n"
        "  or:  kivcopy [OPTION]... -t DIRECTORY [--] SOURCE...\n"
        "Copy SOURCE to TARGET, or each SOURCE into DIRECTORY, and give each copy\n"
        "the source's last-access time as both its access and modification time.\n"
        "\n"
        "  -n, --no-clobber        leave an existing target alone, silently (default)\n"
        "  -f, --overwrite         replace targets that already exist\n"
        "                          (of -n and -f, the last one given counts)\n"
        "  -t, --target-directory=DIRECTORY  copy every SOURCE into DIRECTORY\n"
        "  -D                      create the missing directories of each target,\n"
        "                          and DIRECTORY itself, mode 0755 less umask\n"
        "  -v, --verbose           print a line for each file copied or skipped\n"
        "      --help              show this help and exit\n"
        "      --version           show the version and exit\n"
        "\n"
        "Options may come anywhere on the line; '--' ends them. Put '--' before\n"
        "the file names in scripts: a name from a glob or a variable may start\n"
        "with '-' and would otherwise be taken as an option:\n"
        "  kivcopy -f -- media/*.ini product/\n"
        "  kivcopy -D -t /opt/app/etc -- \"$config\"\n"
        "\n"
        "A target written earlier in the same run is never replaced, even with -f.\n"
        "\n"
        "Exit status: 0 if every file was copied or skipped as existing,\n"
        "1 if any copy failed, 64 if the command line is wrong.\n",
        stdout);
}

// The short answer to a wrong command line: the reason was printed already.
int usage_error() {
    std::fprintf(stderr, "Try '%s --help' for more information.\n", program_name);
    return exit_usage;
}

// Says what getopt_long found wrong: `found` is ':' for a missing argument,
// '?' for anything else, with the option's letter in optopt when it has one.
void report_bad_option(int found, char** argv, const option* options) {
    const char* element = argv[optind - 1];
    bool is_long = std::strncmp(element, "--", 2) == 0;
    const option* match = nullptr;
    int matches = 0;
    std::size_t length = std::strcspn(element + 2, "=");
    for (const option* o = options; is_long && o->name != nullptr; ++o) {
        if (std::strncmp(o->name, element + 2, length) == 0) {
            match = o;
            ++matches;
        }
    }
    // The element looked at last is this long option only when it is the one
    // at fault: after a short option inside a group it is an earlier one.
    // Some C libraries report an argument given to a long option that takes
    // none as a missing one: the element tells which it is.
    if (is_long && matches == 1 && match->has_arg == no_argument &&
        std::strchr(element, '=') != nullptr) {
        std::fprintf(stderr, "%s: option '--%s' doesn't allow an argument\n", program_name,
                     match->name);
    } else if (found == ':' && is_long) {
        std::fprintf(stderr, "%s: option %s requires an argument\n", program_name,
                     quoted(element).c_str());
    } else if (found == ':') {
        std::fprintf(stderr, "%s: option requires an argument -- %s\n", program_name,
                     quoted(std::string(1, static_cast<char>(optopt))).c_str());
    } else if (is_long && matches > 1) {
        std::fprintf(stderr, "%s: option %s is ambiguous\n", program_name, quoted(element).c_str());
    } else if (optopt == 0) {
        std::fprintf(stderr, "%s: unrecognized option %s\n", program_name, quoted(element).c_str());
    } else {
        std::fprintf(stderr, "%s: invalid option -- %s\n", program_name,
                     quoted(std::string(1, static_cast<char>(optopt))).c_str());
    }
}

// Writes what is buffered for standard output and reports a failed write
// (a full disk, a closed pipe) as cp does: a message and a failure status.
int finish_output(int status) {
    bool failed_before = std::ferror(stdout) != 0;
    if (std::fclose(stdout) != 0) {
        std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(errno));
        return exit_copy_failed;
    }
    if (failed_before) {
        std::fprintf(stderr, "%s: write error\n", program_name);
        return exit_copy_failed;
    }
    return status;
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
std::string base_name(const std::string& path) {
    std::string name(path);
    while (name.size() > 1 && is_separator(name.back())) {
        name.pop_back();
    }
    std::size_t separator = name.find_last_of(separators);
    return separator == std::string::npos ? name : name.substr(separator + 1);
}

// The directory part of a path, empty when the path has none.
std::string directory_of(const std::string& path) {
    std::size_t separator = path.find_last_of(separators);
    if (separator == std::string::npos) {
        return std::string();
    }
    return separator == 0 ? path.substr(0, 1) : path.substr(0, separator);
}

std::string join(const std::string& directory, const std::string& name) {
    std::string joined(directory);
    if (joined.empty() || !is_separator(joined.back())) {
        joined += '/';
    }
    return joined + name;
}

// The status of the name itself, not of what a symbolic link at it points to.
// Windows has no such links for the C runtime: there it is plain stat.
int link_status(const std::string& path, struct stat* status) {
#if defined(_WIN32)
    return ::stat(path.c_str(), status);
#else
    return ::lstat(path.c_str(), status);
#endif
}

bool is_directory(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Creates `directory` and every missing directory above it, each with mode
// 0755 less the umask. Prints the reason and returns false on failure.
bool make_directories(const std::string& directory) {
    for (std::size_t end = 0; end != std::string::npos;) {
        end = directory.find_first_of(separators, end + 1);
        std::string prefix = directory.substr(0, end);
        if (prefix.empty() || is_separator(prefix.back())) {
            continue;
        }
#if defined(_WIN32)
        if (prefix.back() == ':') {
            continue;  // a drive, as in "C:"
        }
#endif
#if defined(_WIN32)
        int made = ::_mkdir(prefix.c_str());
#else
        int made = ::mkdir(prefix.c_str(), 0755);
#endif
        int error = errno;
        if (made == 0 || is_directory(prefix)) {
            continue;
        }
        if (error == EEXIST && end != std::string::npos) {
            continue;  // a file in the way: creating the next directory tells so
        }
        std::fprintf(stderr, "%s: cannot create directory %s: %s\n", program_name,
                     quoted(prefix).c_str(), std::strerror(error));
        return false;
    }
    return true;
}

// What identifies a file: its device and inode. Windows gives no inode
// through stat, so there two names stand for one file only when they are the
// same text; the library still refuses a copy onto the source itself.
struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    std::string name;
};

bool same_file(const FileId& a, const FileId& b) {
#if defined(_WIN32)
    return a.name == b.name;
#else
    return a.device == b.device && a.inode == b.inode;
#endif
}

FileId id_of(const std::string& name, const struct stat& status) {
    FileId id;
    id.device = status.st_dev;
    id.inode = status.st_ino;
    id.name = name;
    return id;
}

enum class Clobber { no, yes };

class Copier {
public:
    Copier(Clobber clobber, bool verbose, bool make_parents)
        : clobber_(clobber), verbose_(verbose), make_parents_(make_parents) {}

    // Copies one file; returns false when it failed (a skipped target is no failure).
    bool copy(const std::string& source, const std::string& target);

private:
    bool fail(const std::string& message) {
        std::fprintf(stderr, "%s: %s\n", program_name, message.c_str());
        return false;
    }
    bool fail_errno(const std::string& message, int error) {
        return fail(message + ": " + std::strerror(error));
    }
    bool skip(const std::string& target) {
        if (verbose_) {
            std::printf("skipped %s (exists)\n", quoted(target).c_str());
        }
        return true;
    }
    bool check_source(const std::string& source, struct stat& source_status);
    bool check_target(const std::string& source, const struct stat& source_status,
                      const std::string& target, bool& skipped);
    std::string reason_for(int result, const std::string& target);

    Clobber clobber_;
    bool verbose_;
    bool make_parents_;
    std::vector<FileId> created_;  // targets written by this run
};

bool Copier::copy(const std::string& source, const std::string& target) {
    struct stat source_status {};
    if (!check_source(source, source_status)) {
        return false;
    }
    if (make_parents_ && !directory_of(target).empty() &&
        !make_directories(directory_of(target))) {
        return false;
    }
    bool skipped = false;
    if (!check_target(source, source_status, target, skipped)) {
        return false;
    }
    if (skipped) {
        return skip(target);
    }

    int result = KivCopyFile(source.c_str(), target.c_str(), clobber_ == Clobber::yes ? 1 : 0);
    if (result == KIVCOPY_TARGET_EXISTS && clobber_ == Clobber::no) {
        return skip(target);  // it appeared while the copy ran
    }
    if (result == KIVCOPY_OK || result == KIVCOPY_TIMES_NOT_SET) {
        struct stat written {};
        if (::stat(target.c_str(), &written) == 0) {
            created_.push_back(id_of(target, written));
        }
    }
    if (result != KIVCOPY_OK) {
        return fail(quoted(source) + " -> " + quoted(target) + ": " + std::to_string(result) +
                    ": " + meaning_of(result) + reason_for(result, target));
    }
    if (verbose_) {
        std::printf("%s -> %s\n", quoted(source).c_str(), quoted(target).c_str());
    }
    return true;
}

// Reads the status of the source through the file itself, so that what is
// checked is what was found at the name, and tells whether it may be read.
// Returns 0, or the errno that says why the source cannot be opened. On
// Linux the name is resolved without opening anything, and only a regular
// file is then opened (and closed again): a FIFO or a device swapped in is
// never opened, so nothing can hold the program up or act on the open.
int look_at_source(const std::string& source, struct stat& status) {
#if defined(_WIN32)
    if (::stat(source.c_str(), &status) != 0) {
        return errno;
    }
    if (!S_ISREG(status.st_mode)) {
        return 0;
    }
    int fd = ::_open(source.c_str(), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        return errno;
    }
    ::_close(fd);
    return 0;
#else
    kivcommon::ResolvedName name = kivcommon::ResolvedName::resolve(AT_FDCWD, source.c_str());
    if (!name.exists()) {
        return name.error();
    }
    status = name.status();
    if (!name.is_regular()) {
        return 0;
    }
    int fd = name.reopen(O_RDONLY);
    if (fd < 0) {
        return errno;
    }
    ::close(fd);
    return 0;
#endif
}

// Checks the source before the copy, so that a failure names the system's
// reason: it must exist, be a regular file, and open for reading.
bool Copier::check_source(const std::string& source, struct stat& source_status) {
    source_status = {};
    int error = look_at_source(source, source_status);
    if (error != 0 && source_status.st_mode == 0) {
        return fail_errno("cannot stat " + quoted(source), error);
    }
    if (S_ISDIR(source_status.st_mode)) {
        return fail(quoted(source) + " is a directory; only files are copied");
    }
    if (!S_ISREG(source_status.st_mode)) {
        return fail(quoted(source) + " is not a regular file; only files are copied");
    }
    if (error != 0) {
        return fail_errno("cannot open " + quoted(source) + " for reading", error);
    }
    return true;
}

// Checks the target before the copy: not the source itself, not written
// earlier in this run, not a directory, and, when it exists, either to be
// skipped (no-clobber) or something a file can replace. Sets `skipped` for an existing target
// that is to be left alone.
bool Copier::check_target(const std::string& source, const struct stat& source_status,
                          const std::string& target, bool& skipped) {
    struct stat target_link {};
    if (link_status(target, &target_link) != 0) {
        int error = errno;
        std::string directory = directory_of(target);
        if (error == ENOENT && (directory.empty() || is_directory(directory))) {
            return true;  // a new file in an existing directory
        }
        if (error == ENOENT) {
            struct stat directory_status {};
            if (::stat(directory.c_str(), &directory_status) == 0) {
                error = ENOTDIR;
            }
        }
        return fail_errno("cannot create " + quoted(target), error);
    }
    struct stat status {};
    bool resolves = ::stat(target.c_str(), &status) == 0;
    if (resolves && same_file(id_of(source, source_status), id_of(target, status))) {
        return fail(quoted(source) + " and " + quoted(target) + " are the same file");
    }
    if (resolves) {
        for (const FileId& written : created_) {
            if (same_file(written, id_of(target, status))) {
                return fail("will not overwrite just-created " + quoted(target) + " with " +
                            quoted(source));
            }
        }
    }
    if (resolves && S_ISDIR(status.st_mode)) {
        return fail("cannot overwrite directory " + quoted(target) + " with non-directory " +
                    quoted(source));
    }
    if (clobber_ == Clobber::no) {
        skipped = true;
        return true;
    }
    if (!resolves) {
        return fail("will not write through dangling symbolic link " + quoted(target));
    }
    return true;
}

// Whether the caller may open `path` for reading and writing, asked
// without opening it; errno says why not.
bool may_update(const std::string& path) {
#if defined(_WIN32)
    return ::_access(path.c_str(), 6) == 0;
#else
    return ::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
#endif
}

// What the system says about a target the library could not write, when a
// harmless look at it tells: an existing file that cannot be opened for
// update, or a directory that does not let a new file in.
std::string Copier::reason_for(int result, const std::string& target) {
    if (result != KIVCOPY_TARGET_NOT_WRITTEN) {
        return std::string();
    }
    struct stat status {};
    if (::stat(target.c_str(), &status) == 0) {
        if (!S_ISREG(status.st_mode) || may_update(target)) {
            return std::string();
        }
        return std::string(" (") + std::strerror(errno) + ")";
    }
#if !defined(_WIN32)
    std::string directory = directory_of(target);
    if (::access(directory.empty() ? "." : directory.c_str(), W_OK | X_OK) != 0) {
        return std::string(" (") + std::strerror(errno) + ")";
    }
#endif
    return std::string();
}

}  // namespace

int main(int argc, char** argv) {
    // The messages about options are the program's own: getopt_long's differ
    // between C libraries, and some name the program by its full path.
    opterr = 0;
    enum { option_help = 1000, option_version };
    static const option options[] = {
        {"no-clobber", no_argument, nullptr, 'n'},
        {"overwrite", no_argument, nullptr, 'f'},
        {"target-directory", required_argument, nullptr, 't'},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, option_help},
        {"version", no_argument, nullptr, option_version},
        {nullptr, 0, nullptr, 0},
    };
    Clobber clobber = Clobber::no;
    bool verbose = false;
    bool make_parents = false;
    const char* target_directory = nullptr;
    for (int option; (option = getopt_long(argc, argv, ":nft:vD", options, nullptr)) != -1;) {
        switch (option) {
            case 'n':
                clobber = Clobber::no;
                break;
            case 'f':
                clobber = Clobber::yes;
                break;
            case 't':
                if (target_directory != nullptr) {
                    std::fprintf(stderr, "%s: only one target directory may be given\n",
                                 program_name);
                    return usage_error();
                }
                target_directory = optarg;
                break;
            case 'v':
                verbose = true;
                break;
            case 'D':
                make_parents = true;
                break;
            case option_help:
                print_help();
                return finish_output(exit_copied);
            case option_version:
                std::printf("kivcopy %s\n", KIVCOPY_VERSION);
                return finish_output(exit_copied);
            default:
                report_bad_option(option, argv, options);
                return usage_error();
        }
    }

    std::vector<std::string> sources(argv + optind, argv + argc);
    std::string directory;
    bool into_directory = false;
    if (target_directory != nullptr) {
        directory = target_directory;
        into_directory = true;
    } else if (sources.size() < 2) {
        if (sources.empty()) {
            std::fprintf(stderr, "%s: missing file operand\n", program_name);
        } else {
            std::fprintf(stderr, "%s: missing destination file operand after %s\n", program_name,
                         quoted(sources[0]).c_str());
        }
        return usage_error();
    } else {
        directory = sources.back();
        sources.pop_back();
        into_directory = sources.size() > 1 || is_directory(directory) ||
                         (!directory.empty() && is_separator(directory.back()));
    }
    if (sources.empty()) {
        std::fprintf(stderr, "%s: missing file operand\n", program_name);
        return usage_error();
    }
    if (into_directory) {
        // With -D a destination directory (named by -t, by a trailing separator or
        // after several sources) is created like the directories of a single target.
        if (make_parents && !is_directory(directory) && !make_directories(directory)) {
            return finish_output(exit_copy_failed);
        }
        struct stat status {};
        if (::stat(directory.c_str(), &status) != 0) {
            std::fprintf(stderr, "%s: target directory %s: %s\n", program_name,
                         quoted(directory).c_str(), std::strerror(errno));
            return usage_error();
        }
        if (!S_ISDIR(status.st_mode)) {
            std::fprintf(stderr, "%s: target %s is not a directory\n", program_name,
                         quoted(directory).c_str());
            return usage_error();
        }
    }

    Copier copier(clobber, verbose, make_parents);
    bool all_copied = true;
    for (const std::string& source : sources) {
        std::string target = into_directory ? join(directory, base_name(source)) : directory;
        all_copied = copier.copy(source, target) && all_copied;
    }
    return finish_output(all_copied ? exit_copied : exit_copy_failed);
}
