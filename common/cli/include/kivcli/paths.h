/* SPDX-License-Identifier: Zlib */
// Paths as text, taken apart the way the front ends name files
// (kivfs/paths.h).
#ifndef KIVCLI_PATHS_H
#define KIVCLI_PATHS_H

#include "kivfs/paths.h"

namespace kivcli {

using kivfs::base_name;
using kivfs::directory_of;
using kivfs::is_separator;
using kivfs::join;

}  // namespace kivcli

#endif
