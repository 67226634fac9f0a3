// SPDX-License-Identifier: Zlib
// The call hook: like the open hook, this file defines C library functions
// in the test program itself, ahead of the C library's for the program and
// for the libraries it loads. Each passes the call on to the next definition
// (the C library's, or a sanitizer's) unless an armed hook fails it first.
// The C library's ioctl header is left out: its declaration of ioctl, as a
// function that never throws, would otherwise have to match this one.
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include "kivtest/faults.h"

namespace kivtest {
namespace {

// The counts are atomic because a batch syncs its files from several
// threads; the plan is set before the hook is armed and read only after.
struct Armed {
    std::atomic<bool> armed{false};
    CallHook::Plan plan;
    std::string only_name;
    std::atomic<unsigned> calls{0};
    std::atomic<std::uint64_t> bytes{0};
};

constexpr int hooked_kinds = 7;
Armed hooks[hooked_kinds];

Armed& hook(HookedCall call) {
    return hooks[static_cast<int>(call)];
}

// Whether `fd` is open on a file whose last name is `name`, as the system
// keeps the name of an open file.
bool names(int fd, const std::string& name) {
    char own[40];
    std::snprintf(own, sizeof own, "/proc/self/fd/%d", fd);
    std::string target(4096, '\0');
    const ssize_t length = ::readlink(own, target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
        return false;
    }
    target.resize(static_cast<std::size_t>(length));
    return target.size() > name.size() &&
           target.compare(target.size() - name.size(), name.size(), name) == 0 &&
           target[target.size() - name.size() - 1] == '/';
}

// Counts a call of `call`; true if it is to fail, with errno set.
bool fails(HookedCall call) {
    Armed& armed = hook(call);
    if (!armed.armed) {
        return false;
    }
    const unsigned number = ++armed.calls;
    const CallHook::Plan& plan = armed.plan;
    if (plan.first_failing == 0 || number < plan.first_failing ||
        (plan.failing != 0 && number >= plan.first_failing + plan.failing)) {
        return false;
    }
    errno = plan.error;
    return true;
}

std::size_t capped(HookedCall call, std::size_t size) {
    const Armed& armed = hook(call);
    return armed.armed && armed.plan.limit != 0 && size > armed.plan.limit ? armed.plan.limit
                                                                           : size;
}

void moved(HookedCall call, long long size) {
    if (hook(call).armed && size > 0) {
        hook(call).bytes += static_cast<std::uint64_t>(size);
    }
}

template <typename Function>
Function next_definition(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

CallHook::CallHook(HookedCall call, Plan plan, std::string only_name) : call_(call) {
    Armed& armed = hook(call);
    armed.plan = plan;
    armed.only_name = std::move(only_name);
    armed.calls = 0;
    armed.bytes = 0;
    armed.armed = true;
}

CallHook::~CallHook() {
    Armed& armed = hook(call_);
    armed.armed = false;
    armed.plan = Plan{};
    armed.only_name.clear();
}

unsigned CallHook::calls() const {
    return hook(call_).calls;
}

std::uint64_t CallHook::bytes() const {
    return hook(call_).bytes;
}

}  // namespace kivtest

// NOLINTBEGIN: these replace the C library's functions of the same names.
extern "C" ssize_t copy_file_range(int in, off64_t* in_offset, int out, off64_t* out_offset,
                                   std::size_t size, unsigned int flags) {
    using Function = ssize_t (*)(int, off64_t*, int, off64_t*, std::size_t, unsigned int);
    static auto next = kivtest::next_definition<Function>("copy_file_range");
    if (kivtest::fails(kivtest::HookedCall::copy_file_range)) {
        return -1;
    }
    const ssize_t copied =
        next(in, in_offset, out, out_offset,
             kivtest::capped(kivtest::HookedCall::copy_file_range, size), flags);
    kivtest::moved(kivtest::HookedCall::copy_file_range, copied);
    return copied;
}

extern "C" ssize_t read(int fd, void* buffer, std::size_t size) {
    using Function = ssize_t (*)(int, void*, std::size_t);
    static auto next = kivtest::next_definition<Function>("read");
    if (kivtest::fails(kivtest::HookedCall::read)) {
        return -1;
    }
    const ssize_t got = next(fd, buffer, kivtest::capped(kivtest::HookedCall::read, size));
    kivtest::moved(kivtest::HookedCall::read, got);
    return got;
}

namespace {

// Counts a write; true if it is to fail, with errno set.
bool write_fails() {
    return kivtest::fails(kivtest::HookedCall::write);
}

// Counts the bytes a write put, and gives its result on.
ssize_t wrote(ssize_t bytes) {
    kivtest::moved(kivtest::HookedCall::write, bytes);
    return bytes;
}

}  // namespace

extern "C" ssize_t write(int fd, const void* buffer, std::size_t size) {
    using Function = ssize_t (*)(int, const void*, std::size_t);
    static auto next = kivtest::next_definition<Function>("write");
    return write_fails() ? -1 : wrote(next(fd, buffer, size));
}

extern "C" ssize_t pwrite(int fd, const void* buffer, std::size_t size, off_t offset) {
    using Function = ssize_t (*)(int, const void*, std::size_t, off_t);
    static auto next = kivtest::next_definition<Function>("pwrite");
    return write_fails() ? -1 : wrote(next(fd, buffer, size, offset));
}

extern "C" ssize_t pwrite64(int fd, const void* buffer, std::size_t size, off64_t offset) {
    using Function = ssize_t (*)(int, const void*, std::size_t, off64_t);
    static auto next = kivtest::next_definition<Function>("pwrite64");
    return write_fails() ? -1 : wrote(next(fd, buffer, size, offset));
}

extern "C" int futimens(int fd, const struct timespec times[2]) {
    using Function = int (*)(int, const struct timespec*);
    static auto next = kivtest::next_definition<Function>("futimens");
    if (kivtest::fails(kivtest::HookedCall::futimens)) {
        return -1;
    }
    return next(fd, times);
}

// With a name in the plan, only the syncs of that file count.
extern "C" int fsync(int fd) {
    using Function = int (*)(int);
    static auto next = kivtest::next_definition<Function>("fsync");
    kivtest::Armed& armed = kivtest::hook(kivtest::HookedCall::fsync);
    if (armed.armed && (armed.only_name.empty() || kivtest::names(fd, armed.only_name)) &&
        kivtest::fails(kivtest::HookedCall::fsync)) {
        return -1;
    }
    return next(fd);
}

extern "C" int syncfs(int fd) {
    using Function = int (*)(int);
    static auto next = kivtest::next_definition<Function>("syncfs");
    if (kivtest::fails(kivtest::HookedCall::syncfs)) {
        return -1;
    }
    return next(fd);
}

// Every ioctl takes one argument after the request, a pointer or a number.
extern "C" int ioctl(int fd, unsigned long request, ...) {
    using Function = int (*)(int, unsigned long, void*);
    static auto next = kivtest::next_definition<Function>("ioctl");
    std::va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    const bool clone = request == FICLONE || request == FICLONERANGE;
    if (clone && kivtest::fails(kivtest::HookedCall::clone)) {
        return -1;
    }
    const int result = next(fd, request, argument);
    if (clone && result == 0 && request == FICLONERANGE) {
        const auto* range = static_cast<const struct file_clone_range*>(argument);
        kivtest::moved(kivtest::HookedCall::clone, static_cast<long long>(range->src_length));
    }
    return result;
}
// NOLINTEND
