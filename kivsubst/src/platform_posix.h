/* SPDX-License-Identifier: Zlib */
// What the POSIX platform files share among themselves: opening and
// creating files relative to a directory descriptor (kivfs/file_posix.h).
#ifndef KIVSUBST_PLATFORM_POSIX_H
#define KIVSUBST_PLATFORM_POSIX_H

#include "kivfs/file_posix.h"
#include "platform.h"

namespace kivsubst::platform {

using kivfs::create_new_at;
using kivfs::open_regular_at;

}  // namespace kivsubst::platform

#endif
