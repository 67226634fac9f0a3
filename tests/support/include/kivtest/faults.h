// Linux only. Real faults for the tests: small file systems that fill up, and code run as an unprivileged user. Each helper says why it
// could not set its fault up, so that the test can skip with that reason.
#ifndef KIVTEST_FAULTS_H
#define KIVTEST_FAULTS_H

#include <sys/stat.h>

#include <functional>
#include <string>

namespace kivtest {

// The full status of a file, for the checks only POSIX can make (inode,
// mode, links).
struct stat status_of(const std::string& path);

// Mounts a tmpfs of `bytes` bytes at `directory` (created if needed) for its
// lifetime. Needs root.
class TmpfsMount {
public:
    TmpfsMount(std::string directory, unsigned long long bytes);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& directory() const { return directory_; }

    // Remounts the file system read-only; false if that is refused.
    bool make_read_only();

private:
    std::string directory_;
    std::string error_;
};

// Fills the file system holding `directory` until not one more byte fits,
// then gives back `leave_free` bytes. Returns the path of the filler file.
std::string fill_file_system(const std::string& directory, unsigned long long leave_free = 0);

// Runs `body` in a child process as the unprivileged user "nobody" and
// returns what it returned (0 to 255). Needs root; `why_not` is set and -1
// returned when the child cannot be started or cannot drop to that user.
int run_as_nobody(const std::function<int()>& body, std::string& why_not);

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

}  // namespace kivtest

#endif
