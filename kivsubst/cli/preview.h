/* SPDX-License-Identifier: Zlib */
// --preview: every occurrence a run would replace, shown in its line before
// and after the change, found by the library's own scan. Nothing is written.
#ifndef KIVSUBST_CLI_PREVIEW_H
#define KIVSUBST_CLI_PREVIEW_H

#include <cstdint>
#include <string>
#include <vector>

#include "examine.h"
#include "options.h"
#include "targets.h"

namespace kivsubst_cli {

// Prints, for each occurrence in the file, "FILE:LINE:OFFSET" (the line
// counted from 1, the byte offset from 0), then the line before ("- ") and
// after ("+ ") the change, unprintable bytes written as \xHH and a long line
// cut around the occurrence ("..."); for a file that holds NUL bytes, a hex
// window of the bytes around it instead. `count` gets the occurrences.
// 0, else the file's result with `reason`: KIVSUBST_BAD_ENCODING for a file
// whose encoding cannot be told or cannot hold the text, else
// KIVSUBST_CANNOT_OPEN.
int preview_file(Target& target, Counter& counter,
                  std::uint64_t& count, std::string& reason);

}  // namespace kivsubst_cli

#endif
