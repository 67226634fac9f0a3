/* SPDX-License-Identifier: Zlib */
// The shared words (kivcommon/types.h) as the file-system layer uses them.
#ifndef KIVFS_TYPES_H
#define KIVFS_TYPES_H

#include "kivcommon/types.h"

namespace kivfs {

using kivcommon::Creation;
using kivcommon::FileIdentity;
using kivcommon::FileTime;
using kivcommon::FileTimes;
using kivcommon::Links;
using kivcommon::NativeHandle;
using kivcommon::Path;
using kivcommon::PathChar;

}  // namespace kivfs

#endif
