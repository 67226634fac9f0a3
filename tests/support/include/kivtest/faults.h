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
#include <string>

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

// Runs `body` in a child process that leads a session of its own and has
// no controlling terminal, as a service or a setsid'ed job has, and returns
// what it returned (0 to 254). `why_not` is set and -1 returned when the
// child cannot be started.
int run_in_new_session(const std::function<int()>& body, std::string& why_not);

// Whether the calling process has a controlling terminal.
bool has_controlling_terminal();

// A pseudo-terminal whose terminal end (path()) a test points a name at:
// a process that leads a session without a terminal takes it as its
// controlling terminal if it opens it without O_NOCTTY.
class PseudoTerminal {
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }

private:
    int controller_ = -1;
    std::string path_;
    std::string error_;
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

}  // namespace kivtest

#endif
