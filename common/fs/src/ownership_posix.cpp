// SPDX-License-Identifier: Zlib
// The caller's own files on POSIX: told by one fstat of the open file.
#include "kivfs/ownership.h"

#include <sys/stat.h>
#include <unistd.h>

namespace kivfs {

bool trusted_as_callers_own(NativeHandle file, std::string& reason) {
    struct stat status {};
    if (::fstat(file, &status) != 0) {
        reason = "its status cannot be read";
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        reason = "it is not a regular file";
    } else if (status.st_uid != ::geteuid()) {
        reason = "it belongs to another user";
    } else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        reason = "others may write it";
    } else if (status.st_nlink != 1) {
        reason = "it has other names";
    } else {
        return true;
    }
    return false;
}

}  // namespace kivfs
