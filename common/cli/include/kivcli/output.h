/* SPDX-License-Identifier: Zlib */
// What the front ends print, in one place: text is UTF-8 (names WTF-8) on
// Windows and the bytes it is on POSIX; a Windows console is written in
// UTF-16, so that every name shows as it is, and a file or a pipe gets the
// bytes. Output is buffered as the C library buffers it.
#ifndef KIVCLI_OUTPUT_H
#define KIVCLI_OUTPUT_H

#include <string>

namespace kivcli {

void print(const std::string& text);        // to standard output
void print_error(const std::string& text);  // to standard error, at once

// The error of the first write to standard output that failed, kept as it
// failed (0: none failed).
int output_error();
void note_output_error(int error);

// Whether standard error is a terminal (a console), where a progress line
// may be redrawn in place.
bool error_is_terminal();

// A line on standard error naming the program: "PROGRAM: MESSAGE".
void complain(const char* program, const std::string& message);

// Writes out what is buffered for standard output and turns a write that
// failed (a full disk, a closed pipe) into a failure: `status` if all was
// written, else `failed`, after telling on standard error `failure` and
// the system's reason.
int finish_output(const char* program, int status, int failed,
                  const char* failure = "write error");

}  // namespace kivcli

#endif
