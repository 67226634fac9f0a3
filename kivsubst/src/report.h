/* SPDX-License-Identifier: Zlib */
// The failure lines. Each prints its line on standard output, flushes it at
// once so that it is not lost or reordered if the host crashes or prints
// too, and returns the result code that goes with it.
#ifndef KIVSUBST_REPORT_H
#define KIVSUBST_REPORT_H

#include <string>

#include "paths.h"

namespace kivsubst::report {

// Where a front end that prints everything itself has the lines go: each
// line whole to `write`, with the names in it as `name` writes them. With
// none (the export's way), lines go to standard output and names are
// written in the system's narrow form.
struct Destination {
    void (*write)(const std::string& line);
    std::string (*name)(const Path& path);
};
void send_lines_to(const Destination* destination);

int no_temp_name();
int cannot_open(const Path& path);
// The same, for a narrow path that names no path at all (on Windows, text
// that is not valid in the ANSI code page), printed as given.
int cannot_open(const char* path);
int cannot_open_temp(const Path& name);
int no_memory();
int copy_error();
int invalid_argument();
// The file's encoding cannot be told, or the text cannot be written in it.
int bad_encoding(const Path& path);

}  // namespace kivsubst::report

#endif
