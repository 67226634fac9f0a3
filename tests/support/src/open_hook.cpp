// SPDX-License-Identifier: Zlib
// The open hook: this file defines the C library's open functions in the
// test program itself, which puts them ahead of the C library's for the
// program and for the shared libraries it loads. openat and openat64 pass
// the call on to the next definition (the C library's, or a sanitizer's)
// after giving an armed hook its one chance to act; open and open64 go
// through them, from the current directory.

// Each of the four names must keep its own meaning here, so the C library's
// header may not rename open to open64 for large files.
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <fcntl.h>

#include <cstdarg>
#include <functional>
#include <string>
#include <utility>

#include "kivtest/faults.h"

namespace kivtest {
namespace {

struct Armed {
    std::function<bool(const std::string&, int)> when;
    std::function<void()> action;
    bool armed = false;
    bool fired = false;
};

Armed& hook() {
    static Armed armed;
    return armed;
}

void before_open(const char* path, int flags) {
    Armed& armed = hook();
    if (armed.armed && path != nullptr && armed.when(path, flags)) {
        armed.armed = false;  // before the action, which may open files itself
        armed.fired = true;
        armed.action();
    }
}

// The mode argument is there only when the flags create a file.
mode_t mode_of(int flags, std::va_list arguments) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

using OpenAtFunction = int (*)(int, const char*, int, ...);

template <typename Function>
Function next_definition(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

OpenHook::OpenHook(std::function<bool(const std::string&, int)> when,
                   std::function<void()> action) {
    hook() = Armed{std::move(when), std::move(action), true, false};
}

OpenHook::~OpenHook() {
    hook() = Armed{};
}

bool OpenHook::fired() const {
    return hook().fired;
}

}  // namespace kivtest

// NOLINTBEGIN: these replace the C library's functions of the same names.
#define KIVTEST_OPENAT(name)                                                          \
    extern "C" int name(int directory, const char* path, int flags, ...) {            \
        std::va_list arguments;                                                       \
        va_start(arguments, flags);                                                   \
        mode_t mode = kivtest::mode_of(flags, arguments);                             \
        va_end(arguments);                                                            \
        kivtest::before_open(path, flags);                                            \
        static auto next = kivtest::next_definition<kivtest::OpenAtFunction>(#name);  \
        return next(directory, path, flags, mode);                                    \
    }
#define KIVTEST_OPEN(name, openat_name)                           \
    extern "C" int name(const char* path, int flags, ...) {       \
        std::va_list arguments;                                   \
        va_start(arguments, flags);                               \
        mode_t mode = kivtest::mode_of(flags, arguments);         \
        va_end(arguments);                                        \
        return openat_name(AT_FDCWD, path, flags, mode);          \
    }
KIVTEST_OPENAT(openat)
KIVTEST_OPENAT(openat64)
KIVTEST_OPEN(open, openat)
KIVTEST_OPEN(open64, openat64)
// NOLINTEND
