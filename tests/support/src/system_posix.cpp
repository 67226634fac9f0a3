// SPDX-License-Identifier: Zlib
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "kivtest/faults.h"
#include "kivtest/system.h"

namespace kivtest {

struct stat status_of(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        throw std::runtime_error("cannot stat " + path + ": " + std::strerror(errno));
    }
    return status;
}

bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

std::int64_t file_size(const std::string& path) {
    return static_cast<std::int64_t>(status_of(path).st_size);
}

namespace {

Time time_of(const struct timespec& time) {
    return {time.tv_sec, static_cast<std::int32_t>(time.tv_nsec)};
}

}  // namespace

Time access_time(const std::string& path) {
    return time_of(status_of(path).st_atim);
}

Time modification_time(const std::string& path) {
    return time_of(status_of(path).st_mtim);
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

void make_directory(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
        throw std::runtime_error("cannot make the directory " + path);
    }
}

bool hard_link(const std::string& existing, const std::string& link) {
    return ::link(existing.c_str(), link.c_str()) == 0;
}

bool symbolic_link(const std::string& target, const std::string& link) {
    return ::symlink(target.c_str(), link.c_str()) == 0;
}

namespace {

std::string describe(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Sets or clears the immutable flag; returns an empty string or the reason.
std::string set_immutable(const std::string& path, bool immutable) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return describe("cannot open " + path);
    }
    int flags = 0;
    std::string error;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
        error = describe("the file system keeps no file flags");
    } else if (((flags & FS_IMMUTABLE_FL) != 0) != immutable) {
        flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) {
            error = describe("cannot make " + path + " immutable (needs root)");
        }
    }
    ::close(fd);
    return error;
}

int remove_entry(const char* path, const struct stat*, int type, struct FTW*) {
    if (type == FTW_F || type == FTW_DP) {
        set_immutable(path, false);
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

std::string make_work_directory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kivtest.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        return std::string();
    }
    // Open to every user, for the tests that run code as another user.
    ::chmod(pattern.c_str(), 0777);
    return pattern;
}

void set_environment(const char* name, const std::string& value) {
    ::setenv(name, value.c_str(), 1);
}

void unset_environment(const char* name) {
    ::unsetenv(name);
}

std::string current_directory() {
    char buffer[4096];
    return ::getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string();
}

bool change_directory(const std::string& path) {
    return ::chdir(path.c_str()) == 0;
}

UnwritableFile::UnwritableFile(std::string path) : path_(std::move(path)) {
    error_ = set_immutable(path_, true);
}

UnwritableFile::~UnwritableFile() {
    if (ok()) {
        set_immutable(path_, false);
    }
}

SharedHolder::SharedHolder(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = describe("cannot hold " + path + " open");
    }
}

SharedHolder::~SharedHolder() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

TmpfsMount::TmpfsMount(std::string directory, unsigned long long bytes)
    : directory_(std::move(directory)) {
    ::mkdir(directory_.c_str(), 0777);
    std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
    if (::mount("tmpfs", directory_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
        error_ = describe("cannot mount a tmpfs at " + directory_ + " (needs root)");
    }
}

TmpfsMount::~TmpfsMount() {
    if (ok()) {
        ::umount2(directory_.c_str(), MNT_DETACH);
    }
}

bool TmpfsMount::make_read_only() {
    return ::mount("tmpfs", directory_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

LoadedLibrary::LoadedLibrary(const std::string& path) {
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        error_ = ::dlerror();
    }
}

LoadedLibrary::~LoadedLibrary() {
    if (handle_ != nullptr) {
        ::dlclose(handle_);
    }
}

void* LoadedLibrary::address(const char* name) {
    return ::dlsym(handle_, name);
}

}  // namespace kivtest
