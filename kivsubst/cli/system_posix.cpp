// SPDX-License-Identifier: Zlib
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kivcli/output.h"
#include "kivcommon/posix_io.h"
#include "system.h"

namespace kivsubst_cli {

using kivsubst::engine::File;

namespace {

// The signals held, and the mask the run had before; one HeldStops lives
// at a time, for the patching part of the run.
sigset_t held;
sigset_t before;

}  // namespace

kivsubst::engine::FileAt file_at(const Target& target) {
    kivsubst::engine::FileAt at;
    const int directory = target.folder->handle();
    at.directory = kivsubst::engine::Directory::held(directory, target.folder->shown(),
                                                       target.folder->readable());
    at.name = target.name;
    at.shown = target.shown;
    at.links = target.named ? kivsubst::engine::Links::follow
                            : kivsubst::engine::Links::refuse;
    at.expected = target.identity;
    at.settle = target.folder->first_to_settle();
    return at;
}

// The name is resolved in its directory without opening anything, and
// only a regular file is opened, as the library opens one: a FIFO, a device
// or a terminal at the name is turned away unopened, and so is a link that
// the walk did not name. O_NOATIME, which only the file's owner (or a
// privileged caller) may ask for, keeps the read from setting the access
// time; anyone else reads as any reader does.
File open_to_examine(Target& target, std::string& reason) {
    kivcli::SystemError error = 0;
    const int directory = target.folder->handle(error);
    if (directory < 0) {
        reason = kivcli::describe(error);
        return File();
    }
    const kivcommon::ResolvedName name = kivcommon::ResolvedName::resolve(
        directory, target.name.c_str(), target.named ? 0 : O_NOFOLLOW);
    if (name.exists() && !name.is_regular()) {
        reason = S_ISDIR(name.status().st_mode)   ? std::strerror(EISDIR)
                 : S_ISLNK(name.status().st_mode) ? "it is a symbolic link now"
                                                  : "not a regular file";
        return File();
    }
    int fd = name.reopen(O_RDONLY | O_NOATIME);
    if (fd < 0 && errno == EPERM) {
        fd = name.reopen(O_RDONLY);
    }
    if (fd < 0) {
        reason = std::strerror(errno);
        return File();
    }
    return File(fd);
}

// Asked of the open file, as the library will open it: with the caller's
// effective identity. A read-only file system and an immutable file are
// refused too. The file's entry in /proc/self/fd stands for the open file
// itself; where /proc is not mounted the name is asked about instead.
bool is_writable(Target& target, File& file, std::string& reason) {
    char own[40];
    std::snprintf(own, sizeof own, "/proc/self/fd/%d", file.handle());
    int answer = ::faccessat(AT_FDCWD, own, W_OK, AT_EACCESS);
    if (answer != 0 && errno == ENOENT) {
        answer = ::faccessat(target.folder->handle(), target.name.c_str(), W_OK,
                             AT_EACCESS | (target.named ? 0 : AT_SYMLINK_NOFOLLOW));
    }
    if (answer != 0) {
        reason = std::strerror(errno);
        return false;
    }
    return true;
}

void split_operand(const std::string& operand, std::string& directory, std::string& name) {
    const std::size_t slash = operand.find_last_of('/');
    if (slash == std::string::npos) {
        directory.clear();
        name = operand;
        return;
    }
    directory = slash == 0 ? "/" : operand.substr(0, slash);
    name = operand.substr(slash + 1);
}

File open_discarding_output(std::string& reason) {
    const int fd = kivcommon::open_retrying(AT_FDCWD, "/dev/null", O_WRONLY);
    if (fd < 0) {
        reason = std::string("cannot open the null device: ") + std::strerror(errno);
        return File();
    }
    return File(fd);
}

File standard_stream(bool input) {
    std::fflush(stdout);
    const int own = ::dup(input ? STDIN_FILENO : STDOUT_FILENO);
    return own < 0 ? File() : File(own);
}

// A quarter of the descriptors the process may still open, past a margin
// for everything else.
std::size_t batch_files(std::size_t most) {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return most;
    }
    const rlim_t room = limit.rlim_cur > 64 ? (limit.rlim_cur - 64) / 5 : 1;
    return std::max<std::size_t>(1, std::min<std::size_t>(most, room));
}

bool caller_is_privileged() {
    return ::geteuid() == 0;
}

TextBytes text_bytes(bool) {
    return nullptr;
}

std::string shown_path(const kivsubst::engine::Path& path) {
    return path;
}

// A signal the run was started with ignored (nohup's SIGHUP, a parent's
// SIGPIPE) stays ignored: it is not held, since Linux keeps even an ignored
// signal pending while it is blocked. The threads a batch starts to sync
// inherit the mask, so no thread takes a held signal.
HeldStops::HeldStops() {
    sigemptyset(&held);
    for (const int stop : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        struct sigaction now {};
        if (::sigaction(stop, nullptr, &now) == 0 && now.sa_handler != SIG_IGN) {
            sigaddset(&held, stop);
        }
    }
    ::sigprocmask(SIG_BLOCK, &held, &before);
}

// Each signal that came is handed to its default action (the run installs
// no handler, but one may have been left to it) and delivered as the mask
// is put back, which ends the process by it.
HeldStops::~HeldStops() {
    sigset_t pending;
    if (::sigpending(&pending) == 0) {
        for (const int stop : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
            if (sigismember(&held, stop) && sigismember(&pending, stop)) {
                ::signal(stop, SIG_DFL);
            }
        }
    }
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
}

bool HeldStops::asked() const {
    sigset_t pending;
    if (::sigpending(&pending) != 0) {
        return false;
    }
    for (const int stop : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        if (sigismember(&held, stop) && sigismember(&pending, stop)) {
            return true;
        }
    }
    return false;
}

}  // namespace kivsubst_cli
