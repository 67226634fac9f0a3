#include "kivtest/files.h"

#include <fcntl.h>
#include <ftw.h>
#include <linux/fs.h>
#include <sys/mount.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <stdexcept>

namespace kivtest {

std::ostream& operator<<(std::ostream& out, const Time& time) {
    return out << time.seconds << "." << time.nanoseconds << "s";
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

struct stat status_of(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        throw std::runtime_error("cannot stat " + path + ": " + std::strerror(errno));
    }
    return status;
}

Time access_time(const std::string& path) {
    struct stat status = status_of(path);
    return {status.st_atim.tv_sec, status.st_atim.tv_nsec};
}

Time modification_time(const std::string& path) {
    struct stat status = status_of(path);
    return {status.st_mtim.tv_sec, status.st_mtim.tv_nsec};
}

void set_times(const std::string& path, Time access, Time modification) {
    struct timespec times[2];
    times[0].tv_sec = access.seconds;
    times[0].tv_nsec = access.nanoseconds;
    times[1].tv_sec = modification.seconds;
    times[1].tv_nsec = modification.nanoseconds;
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
        throw std::runtime_error("cannot set the times of " + path);
    }
}

namespace {

void clear_immutable(const char* path) {
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL) != 0) {
        flags &= ~FS_IMMUTABLE_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    ::close(fd);
}

int remove_entry(const char* path, const struct stat*, int type, struct FTW*) {
    if (type == FTW_F) {
        clear_immutable(path);
    }
    // Mount points left behind by a crashed test are detached first.
    if (type == FTW_DP) {
        ::umount2(path, MNT_DETACH);
    }
    ::remove(path);
    return 0;
}

}  // namespace

void remove_tree(const std::string& path) {
    ::nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void WorkDirTest::SetUp() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kivtest.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        FAIL() << "cannot make a work directory from " << pattern;
    }
    dir_ = pattern;
    // Open to every user, for the tests that run code as another user.
    ::chmod(dir_.c_str(), 0777);
}

void WorkDirTest::TearDown() {
    if (dir_.empty()) {
        return;
    }
    if (HasFailure()) {
        std::printf("work directory kept: %s\n", dir_.c_str());
    } else {
        remove_tree(dir_);
    }
}

std::string WorkDirTest::path(const std::string& name) const {
    return dir_ + "/" + name;
}

}  // namespace kivtest
