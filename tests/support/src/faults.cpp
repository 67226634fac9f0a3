#include "kivtest/faults.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace kivtest {
namespace {

std::string describe(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace

TmpfsMount::TmpfsMount(std::string directory, unsigned long long bytes)
    : directory_(std::move(directory)) {
    ::mkdir(directory_.c_str(), 0777);
    std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
    if (::mount("tmpfs", directory_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
        error_ = describe("cannot mount a tmpfs at " + directory_ + " (needs root)");
    }
}

bool TmpfsMount::make_read_only() {
    return ::mount("tmpfs", directory_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

TmpfsMount::~TmpfsMount() {
    if (ok()) {
        ::umount2(directory_.c_str(), MNT_DETACH);
    }
}

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
    pid_t child = ::fork();
    if (child < 0) {
        why_not = describe("fork");
        return -1;
    }
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 ||
            ::setuid(nobody->pw_uid) != 0) {
            ::_exit(255);
        }
        ::_exit(body() & 0xff);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 255) {
        why_not = "the child could not run as nobody";
        return -1;
    }
    return WEXITSTATUS(status);
}

}  // namespace kivtest
