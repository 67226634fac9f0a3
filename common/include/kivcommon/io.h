/* SPDX-License-Identifier: Zlib */
// The file transfers of the system being built for: read_some, write_all
// and close_handle, under the same names everywhere.
#ifndef KIVCOMMON_IO_H
#define KIVCOMMON_IO_H

#if defined(_WIN32)
#include "kivcommon/win32_io.h"
#else
#include "kivcommon/posix_io.h"
#endif

#endif
