// SPDX-License-Identifier: Zlib
#include "kivtest/faults.h"
#include "kivtest/programs.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace kivtest {
namespace {

std::string describe(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace

std::string fill_file_system(const std::string& directory, unsigned long long leave_free) {
    std::string filler = directory + "/filler";
    int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return filler;
    }
    std::vector<char> chunk(64 * 1024, 'F');
    std::size_t size = chunk.size();
    while (size > 0) {
        ssize_t written = ::write(fd, chunk.data(), size);
        if (written < 0 && errno != EINTR) {
            size /= 2;  // take the last partial blocks too
        }
    }
    if (leave_free > 0) {
        struct stat status {};
        ::fstat(fd, &status);
        off_t keep = status.st_size > static_cast<off_t>(leave_free)
                         ? status.st_size - static_cast<off_t>(leave_free)
                         : 0;
        if (::ftruncate(fd, keep) != 0) {
            keep = status.st_size;
        }
    }
    ::close(fd);
    return filler;
}

void write_at(const std::string& path, std::int64_t offset, const std::string& bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const auto size = static_cast<ssize_t>(bytes.size());
    if (fd < 0 || ::pwrite(fd, bytes.data(), bytes.size(), offset) != size) {
        std::string error = describe("cannot write at " + std::to_string(offset) + " of " + path);
        if (fd >= 0) {
            ::close(fd);
        }
        throw std::runtime_error(error);
    }
    ::close(fd);
}

std::string read_at(const std::string& path, std::int64_t offset, std::size_t length) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::string bytes(length, '\0');
    ssize_t got = fd >= 0 ? ::pread(fd, bytes.data(), length, offset) : -1;
    if (got < 0) {
        std::string error = describe("cannot read at " + std::to_string(offset) + " of " + path);
        if (fd >= 0) {
            ::close(fd);
        }
        throw std::runtime_error(error);
    }
    ::close(fd);
    bytes.resize(static_cast<std::size_t>(got));
    return bytes;
}

namespace {

// Runs `body` in a child process once `become` has made the child what the
// caller asks for, and returns what `body` returned (0 to 254). `why_not`
// is set and -1 returned when the child cannot be started, or is `refused`
// when `become` fails in it.
int run_in_child(const std::function<bool()>& become, const std::function<int()>& body,
                 const char* refused, std::string& why_not) {
    pid_t child = ::fork();
    if (child < 0) {
        why_not = describe("fork");
        return -1;
    }
    if (child == 0) {
        if (!become()) {
            ::_exit(255);
        }
        ::_exit(body() & 0xff);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 255) {
        why_not = refused;
        return -1;
    }
    return WEXITSTATUS(status);
}

}  // namespace

int run_as_nobody(const std::function<int()>& body, std::string& why_not) {
    struct passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr) {
        why_not = "there is no user named nobody";
        return -1;
    }
    if (::geteuid() != 0) {
        why_not = "switching to another user needs root";
        return -1;
    }
    return run_in_child(
        [&] {
            return ::setgroups(0, nullptr) == 0 && ::setgid(nobody->pw_gid) == 0 &&
                   ::setuid(nobody->pw_uid) == 0;
        },
        body, "the child could not run as nobody", why_not);
}

std::optional<CallWithoutTerminal> call_without_a_terminal(const std::function<bool()>& call,
                                                           std::string& why_not) {
    const auto has_controlling_terminal = [] {
        int fd = ::open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        ::close(fd);
        return true;
    };
    const int outcome = run_in_child(
        [] { return ::setsid() >= 0; },
        [&] { return (call() ? 0 : 1) | (has_controlling_terminal() ? 2 : 0); },
        "the child could not start a session of its own", why_not);
    if (outcome < 0) {
        return std::nullopt;
    }
    return CallWithoutTerminal{(outcome & 1) == 0, (outcome & 2) != 0};
}

PseudoTerminal::PseudoTerminal() {
    controller_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char* name = nullptr;
    if (controller_ < 0 || ::grantpt(controller_) != 0 || ::unlockpt(controller_) != 0 ||
        (name = ::ptsname(controller_)) == nullptr) {
        error_ = describe("cannot make a pseudo-terminal");
        return;
    }
    path_ = name;
}

PseudoTerminal::~PseudoTerminal() {
    if (controller_ >= 0) {
        ::close(controller_);
    }
}

// The commands go through the shell, which finds them wherever Debian put
// them (mkfs.* and mount live in /sbin).
ImageMount::ImageMount(const std::string& image, std::string directory, const std::string& type,
                       unsigned long long bytes)
    : directory_(std::move(directory)) {
    if (::geteuid() != 0) {
        error_ = "mounting a loop device needs root";
        return;
    }
    const std::string mkfs = "mkfs." + type;
    if (run_program("/bin/sh", {"-c", "command -v " + mkfs}).exit_status != 0) {
        error_ = mkfs + " is missing (Debian's " +
                 (type == "xfs" ? std::string("xfsprogs") : type + "-progs") + ")";
        return;
    }
    ::mkdir(directory_.c_str(), 0777);
    const ProgramRun made = run_program(
        "/bin/sh", {"-c", "truncate -s \"$1\" \"$2\" && " + mkfs + " -q -f \"$2\" >/dev/null",
                    "sh", std::to_string(bytes), image});
    if (made.exit_status != 0) {
        error_ = "cannot make a " + type + " image: " + made.err;
        return;
    }
    const ProgramRun mounted =
        run_program("/bin/sh", {"-c", "mount -o loop \"$1\" \"$2\" && chmod 0777 \"$2\"", "sh",
                                image, directory_});
    if (mounted.exit_status != 0) {
        error_ = "cannot mount the " + type + " image through a loop device: " + mounted.err;
    }
}

ImageMount::~ImageMount() {
    if (ok()) {
        run_program("/bin/sh", {"-c", "umount \"$1\" || umount -l \"$1\"", "sh", directory_});
    }
}

long long ImageMount::used_bytes() const {
    const int fd = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct statvfs status {};
    const bool known = fd >= 0 && ::syncfs(fd) == 0 && ::fstatvfs(fd, &status) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return known ? static_cast<long long>((status.f_blocks - status.f_bfree) * status.f_frsize)
                 : -1;
}

}  // namespace kivtest
