/* SPDX-License-Identifier: Zlib */
// UTF-16 names carried in 8-bit strings without loss (kivfs/wtf8.h).
#ifndef KIVCLI_WTF8_H
#define KIVCLI_WTF8_H

#include "kivfs/wtf8.h"

namespace kivcli {

using kivfs::utf16_from_wtf8;
using kivfs::wtf8_from_utf16;
#if defined(_WIN32)
using kivfs::wide_from_wtf8;
using kivfs::wtf8_from_wide;
#endif

}  // namespace kivcli

#endif
