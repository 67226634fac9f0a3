/* SPDX-License-Identifier: Zlib */
// The failure lines. Each prints its line on standard output, flushes it at
// once so that it is not lost or reordered if the host crashes or prints
// too, and returns the result code that goes with it.
#ifndef KIVSUBST_REPORT_H
#define KIVSUBST_REPORT_H

#include "paths.h"

namespace kivsubst::report {

int no_temp_name();
int cannot_open(const Path& path);
// The same, for a narrow path that names no path at all (on Windows, text
// that is not valid in the ANSI code page), printed as given.
int cannot_open(const char* path);
int cannot_open_temp(const Path& name);
int no_memory();
int copy_error();
int invalid_argument();

}  // namespace kivsubst::report

#endif
