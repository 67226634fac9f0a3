/* SPDX-License-Identifier: Zlib */
// Linux only. Real faults for the tests: file systems filled up, sparse
// files past 4 GiB, code run as an unprivileged user, and a moment inside a
// library call. Each helper that can fail to set its fault up says why, so
// that the test can skip with that reason. The small file systems to fill
// (TmpfsMount) are in system.h.
#ifndef KIVTEST_FAULTS_H
#define KIVTEST_FAULTS_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "kivtest/system.h"

namespace kivtest {

// The full status of a file, for the checks only POSIX can make (inode,
// mode, links).
struct stat status_of(const std::string& path);

// Fills the file system holding `directory` until not one more byte fits,
// then gives back `leave_free` bytes. Returns the path of the filler file.
std::string fill_file_system(const std::string& directory, unsigned long long leave_free = 0);

// Writes `bytes` at `offset` of a file (created if missing), leaving what
// lies before unwritten: the gap stays a hole, so that a file past 4 GiB
// costs neither memory nor disk.
void write_at(const std::string& path, std::int64_t offset, const std::string& bytes);
// Up to `length` bytes from `offset` of a file: fewer only at its end.
std::string read_at(const std::string& path, std::int64_t offset, std::size_t length);

// Runs `body` in a child process as the unprivileged user "nobody" and
// returns what it returned (0 to 255). Needs root; `why_not` is set and -1
// returned when the child cannot be started or cannot drop to that user.
int run_as_nobody(const std::function<int()>& body, std::string& why_not);

// What a call did in a child process that leads a session of its own and
// has no controlling terminal, as a service or a setsid'ed job has.
struct CallWithoutTerminal {
    bool answered = false;         // the call said it answered as it should
    bool took_a_terminal = false;  // the child had a controlling terminal after it
};

// Runs `call`, which tells whether it answered as it should, in such a
// child; nullopt, with `why_not` set, when the child cannot be started.
std::optional<CallWithoutTerminal> call_without_a_terminal(const std::function<bool()>& call,
                                                           std::string& why_not);

// A pseudo-terminal whose terminal end (path()) a test points a name at:
// a process that leads a session without a terminal takes it as its
// controlling terminal if it opens it without O_NOCTTY.
class PseudoTerminal : public Arrangement {
public:
    PseudoTerminal();
    ~PseudoTerminal();

    const std::string& path() const { return path_; }

private:
    int controller_ = -1;
    std::string path_;
};

// Runs `action` once, just before the process next opens a path for which
// `when` (given the path as passed and the open flags) says yes, so that a
// test can change the file system at a known moment inside a library call:
// between two of the library's own steps, where a racing attacker would.
// It sees every open, open64, openat and openat64 call of the process, the
// libraries' included, while it lives.
class OpenHook {
public:
    OpenHook(std::function<bool(const std::string& path, int flags)> when,
             std::function<void()> action);
    ~OpenHook();
    OpenHook(const OpenHook&) = delete;
    OpenHook& operator=(const OpenHook&) = delete;

    bool fired() const;
};

// A file system of `type` ("btrfs", "xfs") made in an image file of
// `bytes` bytes and mounted through a loop device at `directory` (created
// if needed) for its lifetime: a file system that shares blocks between
// files. Needs root, loop devices and the type's mkfs (Debian's btrfs-progs
// or xfsprogs); error() says what was missing.
class ImageMount : public Arrangement {
public:
    ImageMount(const std::string& image, std::string directory, const std::string& type,
               unsigned long long bytes);
    ~ImageMount();

    const std::string& directory() const { return directory_; }
    // The bytes in use on the file system, after its pending writes are
    // made durable (used space settles only then); -1 if unknown.
    long long used_bytes() const;

private:
    std::string directory_;
};

// The system calls that a CallHook can watch: copy_file_range, the
// ioctl requests that share blocks between files (FICLONE, FICLONERANGE),
// read, futimens (a file's times set through its descriptor), fsync,
// syncfs, and write (write, pwrite and pwrite64 together: the calls that
// put bytes into a file, counted where a process-wide count would also
// see a sanitizer's own probes).
enum class HookedCall { copy_file_range, clone, read, futimens, fsync, syncfs, write };

// While it lives, sees every call of one kind that the process makes, the
// libraries' included, and can make some of them fail or move less, as the
// kernel may: for what the system cannot be made to do on demand (a copy
// inside the kernel that fails part-way, a read that fails after it).
// One hook of each kind may live at a time. The calls may come from
// several threads at once (a batch syncs its files from a few).
class CallHook {
public:
    struct Plan {
        // From this call on (1: the next one; 0: none), calls fail with
        // `error` without reaching the system...
        unsigned first_failing = 0;
        // ...this many of them (0: all that follow).
        unsigned failing = 0;
        int error = 0;
        // Caps the bytes that one copy_file_range or read moves (0: no cap).
        std::size_t limit = 0;
    };

    // With `only_name` (fsync only), only the calls on a descriptor open on
    // a file of that last name, as /proc/self/fd tells it, count and fail.
    CallHook(HookedCall call, Plan plan, std::string only_name = std::string());
    ~CallHook();
    CallHook(const CallHook&) = delete;
    CallHook& operator=(const CallHook&) = delete;

    // The calls seen so far, the failed ones included.
    unsigned calls() const;
    // The bytes that the calls that went through moved (for clone, the
    // lengths of the ranges that FICLONERANGE shared).
    std::uint64_t bytes() const;

private:
    HookedCall call_;
};

}  // namespace kivtest

#endif
