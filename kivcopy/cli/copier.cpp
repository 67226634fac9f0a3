// SPDX-License-Identifier: Zlib
#include "copier.h"

#include <fcntl.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>

#include "kivcommon/posix_io.h"
#endif

#include <optional>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "kivcli/quote.h"
#include "kivcopy.h"
#include "paths.h"
#include "system.h"

namespace kivcopy_cli {
namespace {

using kivcli::quoted;

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

// Whether the caller may open `path` for reading and writing, asked
// without opening it; errno says why not.
bool may_update(const std::string& path) {
#if defined(_WIN32)
    return ::_access(path.c_str(), 6) == 0;
#else
    return ::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
#endif
}

// While the library copies a large file, and a progress line may be shown,
// a second thread looks at the size of the copy a few times a second and
// moves the progress line: the library's call tells nothing until it
// returns. The main thread leaves the progress line alone meanwhile. The
// watcher waits on a condition rather than sleeping, so that the copy's end
// wakes it at once instead of adding the rest of its pause to every file.
class CopyWatch {
public:
    CopyWatch(kivcli::Progress& progress, const std::string& target, std::int64_t before,
              std::int64_t size) {
        constexpr std::int64_t worth_watching = std::int64_t{16} << 20;
        if (size < worth_watching || !progress.may_show()) {
            return;
        }
        thread_ = std::thread([this, &progress, target, before] {
            std::unique_lock<std::mutex> lock(mutex_);
            while (!done_) {
                struct stat status {};
                if (::stat(target.c_str(), &status) == 0) {
                    progress.update(before + static_cast<std::int64_t>(status.st_size));
                }
                woken_.wait_for(lock, std::chrono::milliseconds(250), [this] { return done_; });
            }
        });
    }
    ~CopyWatch() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        woken_.notify_one();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    CopyWatch(const CopyWatch&) = delete;
    CopyWatch& operator=(const CopyWatch&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable woken_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace

Copier::Copier(const Options& options, kivcli::Progress& progress)
    : options_(options), progress_(progress) {}

bool Copier::fail(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", program_name, message.c_str());
    return false;
}

void Copier::tell(const std::string& line) const {
    if (options_.verbose) {
        std::printf("%s\n", line.c_str());
    }
}

bool Copier::skip(const std::string& target, const char* why) {
    tell("skipped " + quoted(target) + " (" + why + ")");
    return true;
}

// Tells in the system's words what is wrong with the source: `error` is why
// it could not be looked at or opened (0: neither), `status` what was found.
// False when something is.
bool Copier::judge_source(const std::string& source, int error, const struct stat& status) {
    if (error != 0 && status.st_mode == 0) {
        return fail("cannot stat " + quoted(source) + ": " + std::strerror(error));
    }
    if (S_ISDIR(status.st_mode)) {
        return fail(quoted(source) + " is a directory; only files are copied without -r");
    }
    if (!S_ISREG(status.st_mode)) {
        return fail(quoted(source) + " is not a regular file; only files are copied");
    }
    if (error != 0) {
        return fail("cannot open " + quoted(source) + " for reading: " + std::strerror(error));
    }
    return true;
}

// A look at the source before the copy: it must exist and be a regular
// file. Whether it opens for reading is the library's call to find out, and
// told in the system's words after a failed call (`explain_unopened`), or
// before one that a backup or a removal would come first (`check_readable`):
// a file copied costs no open of the program's own.
bool Copier::check_source(const std::string& source, struct stat& status) {
    status = {};
    const int error = ::stat(source.c_str(), &status) == 0 ? 0 : errno;
    return judge_source(source, error, status);
}

bool Copier::check_readable(const std::string& source) {
    struct stat status {};
    const int error = look_at_source(source, status);
    return judge_source(source, error, status);
}

// After the library could not open the source: the reason, when a look now
// finds a regular file there that does not open. True when told; anything
// else (the name gone, or standing for another kind of file by now) is left
// to the library's own line.
bool Copier::explain_unopened(const std::string& source) {
    struct stat status {};
    const int error = look_at_source(source, status);
    if (error == 0 || !S_ISREG(status.st_mode)) {
        return false;
    }
    judge_source(source, error, status);
    return true;
}

// Whether an existing target is replaced: with -u only when it is older
// than the source; else when replacing is asked for.
Copier::Next Copier::decide(const std::string& target, const struct stat& source_status) {
    if (options_.update) {
        struct stat status {};
        if (::stat(target.c_str(), &status) == 0 && !older_than(status, source_status)) {
            return skip(target, "not older") ? Next::skip : Next::failed;
        }
        return Next::copy;
    }
    if (!options_.replaces()) {
        return skip(target, "exists") ? Next::skip : Next::failed;
    }
    return Next::copy;
}

// Checks the target before the copy: not the source itself, not written
// earlier in this run, not a directory, and, when it exists, either to be
// left alone or something a file can replace. `exists` tells which.
Copier::Next Copier::check_target(const std::string& source, const struct stat& source_status,
                                  const std::string& target, bool& exists) {
    struct stat own {};
    exists = link_status(target, &own) == 0;
    if (!exists) {
        int error = errno;
        std::string directory = directory_of(target);
        if (error == ENOENT &&
            (directory.empty() || directory == last_directory_ || is_directory(directory))) {
            // A new file in an existing directory. The directory is only
            // looked at for this message's sake, once for a run of targets
            // in it: the library's exclusive create finds out the rest.
            last_directory_ = directory;
            return Next::copy;
        }
        if (error == ENOENT) {
            struct stat directory_status {};
            if (::stat(directory.c_str(), &directory_status) == 0) {
                error = ENOTDIR;
            }
        }
        fail("cannot create " + quoted(target) + ": " + std::strerror(error));
        return Next::failed;
    }
    record_written();
    struct stat status {};
    const bool resolves = ::stat(target.c_str(), &status) == 0;
#if defined(_WIN32)
    // Windows gives stat no inode: two names are one file only as one text.
    const bool same = source == target;
    const bool written_before = written_names_.count(target) != 0;
#else
    const bool same = resolves && status.st_dev == source_status.st_dev &&
                      status.st_ino == source_status.st_ino;
    const bool written_before =
        resolves && written_.count({static_cast<std::uint64_t>(status.st_dev),
                                    static_cast<std::uint64_t>(status.st_ino)}) != 0;
#endif
    if (same) {
        fail(quoted(source) + " and " + quoted(target) + " are the same file");
        return Next::failed;
    }
    if (written_before) {
        fail("will not overwrite just-created " + quoted(target) + " with " + quoted(source));
        return Next::failed;
    }
    if (resolves && S_ISDIR(status.st_mode)) {
        fail("cannot overwrite directory " + quoted(target) + " with non-directory " +
             quoted(source));
        return Next::failed;
    }
    if (!resolves && options_.replaces() && !options_.backup && !options_.remove_destination) {
        fail("will not write through dangling symbolic link " + quoted(target));
        return Next::failed;
    }
    return decide(target, source_status);
}

int Copier::call_library(const std::string& source, const std::string& target, bool overwrite,
                         std::int64_t size) {
    CopyWatch watch(progress_, target, done_, size);
    return KivCopyFile(source.c_str(), target.c_str(), overwrite ? 1 : 0);
}

// -f as cp has it: an existing target that refuses to be opened for
// writing (a read-only file, a running program) is removed and copied
// anew, as a new file with a new inode.
std::optional<int> Copier::retry_after_removing(const std::string& source,
                                                const std::string& target, std::int64_t size) {
    std::string reason;
    if (!refuses_writing(target, reason)) {
        return KIVCOPY_TARGET_NOT_WRITTEN;
    }
    std::string removal;
    if (!remove_target(target, removal)) {
        fail("cannot replace " + quoted(target) + " (" + reason + "): cannot remove it: " +
             removal + cannot_replace_advice());
        return std::nullopt;
    }
    tell("removed " + quoted(target));
    return call_library(source, target, options_.replaces(), size);
}

// `guarded` false: nothing can be at the target, in a directory that this
// run made and no one else may write in, so the library's overwrite guard
// would only look for what cannot be there.
bool Copier::copy(const std::string& source, const std::string& target, const struct stat* status,
                  std::int64_t size, bool exists, bool guarded) {
    std::string note;
    bool replacing = exists;
    std::string reason;
    if (exists && (options_.backup || options_.remove_destination) && !check_readable(source)) {
        return false;  // the target stays where it is
    }
    if (exists && options_.backup) {
        if (!rename_to_backup(target, options_.suffix, reason)) {
            return fail("cannot back up " + quoted(target) + ": " + reason);
        }
        note = " (backup: " + quoted(target + options_.suffix) + ")";
        replacing = false;
    } else if (exists && options_.remove_destination) {
        if (!remove_target(target, reason)) {
            return fail("cannot remove " + quoted(target) + ": " + reason);
        }
        tell("removed " + quoted(target));
        replacing = false;
    }
    int result = call_library(source, target, replacing || options_.replaces() || !guarded, size);
    if (result == KIVCOPY_TARGET_NOT_WRITTEN && replacing && options_.clobber == Clobber::yes) {
        const std::optional<int> retried = retry_after_removing(source, target, size);
        if (!retried) {
            done_ += size;
            return false;
        }
        result = *retried;
    }
    done_ += size;
    progress_.update(done_);
    if (result == KIVCOPY_TARGET_EXISTS && !options_.replaces()) {
        return skip(target, "exists");  // it appeared while the copy ran
    }
    if (result == KIVCOPY_SOURCE_NOT_OPENED && explain_unopened(source)) {
        return false;
    }
    if (result != KIVCOPY_OK) {
        return fail(quoted(source) + " -> " + quoted(target) + ": " + std::to_string(result) +
                    ": " + meaning_of(result) + reason_for(result, target));
    }
    if (status != nullptr && options_.preserve.any() &&
        !preserve_attributes(target, *status, options_.preserve, reason)) {
        return fail("cannot keep the attributes of " + quoted(source) + " on " + quoted(target) +
                    ": " + reason);
    }
    tell(quoted(source) + " -> " + quoted(target) + note);
    return true;
}

bool Copier::copy_named(const std::string& source, const std::string& target) {
    struct stat source_status {};
    if (!check_source(source, source_status)) {
        return false;
    }
    if (options_.make_parents && !directory_of(target).empty() &&
        !make_directories(directory_of(target))) {
        return false;
    }
    bool exists = false;
    const Next next = check_target(source, source_status, target, exists);
    if (next != Next::copy) {
        return next == Next::skip;
    }
    const bool copied = copy(source, target, &source_status,
                             static_cast<std::int64_t>(source_status.st_size), exists);
    unrecorded_.push_back(target);
    return copied;
}

// What this run wrote is told by the file's identity only when a later
// target already exists: the identities are read then, for every target
// written since, so that a run of new targets pays for no look after each
// copy.
void Copier::record_written() {
    for (const std::string& target : unrecorded_) {
        struct stat written {};
        if (::stat(target.c_str(), &written) == 0) {
            written_.insert({static_cast<std::uint64_t>(written.st_dev),
                             static_cast<std::uint64_t>(written.st_ino)});
            written_names_.insert(target);
        }
    }
    unrecorded_.clear();
}

// The walk has seen that the source is a regular file, and a target in a
// directory made by this run cannot be there yet (or appeared while the
// copy ran, which the library's guard tells): the copy is one call of the
// library, and nothing is looked at that need not be.
bool Copier::copy_found(const std::string& source, const std::string& target, std::int64_t size,
                        Place place) {
    struct stat source_status {};
    const bool preserving = options_.preserve.any() || options_.update;
    if (preserving && ::stat(source.c_str(), &source_status) != 0) {
        return fail("cannot stat " + quoted(source) + ": " + std::strerror(errno));
    }
    bool exists = false;
    if (place == Place::merged) {
        struct stat own {};
        exists = link_status(target, &own) == 0;
        struct stat status {};
        if (exists && ::stat(target.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
            return fail("cannot overwrite directory " + quoted(target) + " with non-directory " +
                        quoted(source));
        }
        if (exists) {
            const Next next = decide(target, source_status);
            if (next != Next::copy) {
                done_ += size;
                return next == Next::skip;
            }
        }
    }
    return copy(source, target, preserving ? &source_status : nullptr, size, exists,
                place != Place::made_private);
}

bool Copier::copy_symbolic_link(const std::string& source, const std::string& target,
                                bool may_exist) {
    struct stat own {};
    if (may_exist && link_status(target, &own) == 0) {
        if (!options_.replaces() || options_.update) {
            return skip(target, "exists");
        }
        std::string reason;
        if (S_ISDIR(own.st_mode) || !remove_target(target, reason)) {
            return fail("cannot replace " + quoted(target) + " with a link" +
                        (reason.empty() ? std::string() : ": " + reason));
        }
    }
    std::string reason;
    if (!copy_link(source, target, reason)) {
        return fail("cannot copy the link " + quoted(source) + " to " + quoted(target) + ": " +
                    reason);
    }
    tell(quoted(source) + " -> " + quoted(target));
    return true;
}

bool Copier::preserve_directory(const std::string& source, const std::string& target) {
    struct stat status {};
    std::string reason;
    if (::stat(source.c_str(), &status) != 0) {
        return fail("cannot stat " + quoted(source) + ": " + std::strerror(errno));
    }
    if (!preserve_attributes(target, status, options_.preserve, reason)) {
        return fail("cannot keep the attributes of " + quoted(source) + " on " + quoted(target) +
                    ": " + reason);
    }
    return true;
}

// What the system says about a target the library could not write, when a
// harmless look at it tells: an existing file that cannot be opened for
// update, or a directory that does not let a new file in.
std::string Copier::reason_for(int result, const std::string& target) const {
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

}  // namespace kivcopy_cli
