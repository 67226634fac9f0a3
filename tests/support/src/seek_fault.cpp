// SPDX-License-Identifier: Zlib
// The seek fault: this file defines the C library's lseek functions in the
// test program itself, ahead of the C library's for the program and the
// shared libraries it loads, as the open hook does for the opens.

// Both names must keep their own meaning here, so the C library's header
// may not rename lseek to lseek64 for large files.
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>

#include "kivtest/faults.h"

namespace kivtest {
namespace {

struct Fault {
    int whence = -1;
    int error = 0;
};

Fault& fault() {
    static Fault armed;
    return armed;
}

}  // namespace

SeekFault::SeekFault(int whence, int error) {
    fault() = Fault{whence, error};
}

SeekFault::~SeekFault() {
    fault() = Fault{};
}

}  // namespace kivtest

// NOLINTBEGIN: these replace the C library's functions of the same names.
#define KIVTEST_LSEEK(name, Offset)                                                  \
    extern "C" Offset name(int fd, Offset offset, int whence) {                      \
        if (whence == kivtest::fault().whence) {                                     \
            errno = kivtest::fault().error;                                          \
            return -1;                                                               \
        }                                                                            \
        static auto next =                                                           \
            reinterpret_cast<Offset (*)(int, Offset, int)>(::dlsym(RTLD_NEXT, #name)); \
        return next(fd, offset, whence);                                             \
    }
KIVTEST_LSEEK(lseek, off_t)
KIVTEST_LSEEK(lseek64, off64_t)
// NOLINTEND
