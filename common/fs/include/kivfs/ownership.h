/* SPDX-License-Identifier: Zlib */
// Whether a file held open may be trusted as one the caller wrote for
// itself: the rule for the files the system keeps to remember its own work
// (a transaction's journal, the manifest of what an install put where),
// which only the caller must be able to have made or changed. Each
// platform implements it in its own file (ownership_posix.cpp,
// ownership_win32.cpp).
#ifndef KIVFS_OWNERSHIP_H
#define KIVFS_OWNERSHIP_H

#include <string>

#include "kivfs/types.h"

namespace kivfs {

// A regular file with one name, the caller's, that no one else may write
// (POSIX: owned by the effective user, no group or other write bit;
// Windows: owned by the caller's user, or by the Administrators group for
// an elevated caller, whose new files that group owns). False with the
// reason, in words for a message.
bool trusted_as_callers_own(NativeHandle file, std::string& reason);

#if defined(_WIN32)
// Whether the file or folder open as `handle` (with READ_CONTROL) belongs
// to the caller, as above. Who else may write it is for the folder's
// permissions to keep.
bool owned_by_caller(NativeHandle handle);
#endif

}  // namespace kivfs

#endif
