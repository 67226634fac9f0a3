/* SPDX-License-Identifier: Zlib */
// Looking at a file before, or instead of, the library's call: whether it
// can be opened for reading and for writing, and how many occurrences the
// library's own scan finds in it. Nothing here ever writes to the file.
#ifndef KIVSUBST_CLI_EXAMINE_H
#define KIVSUBST_CLI_EXAMINE_H

#include <cstdint>
#include <string>
#include <vector>

#include "bytes.h"
#include "platform.h"
#include "scan.h"

namespace kivsubst_cli {

// The path to give the library for a FILE operand: a bare name ("a.txt")
// becomes "./a.txt". The library puts its temporary file in the directory
// part of the path when TMP is unset, and a bare name has none, so it would
// fall back to the root directory.
std::string library_path(const std::string& operand);

// Opens `path` read-only, as a regular file only, without changing its
// access time where the caller owns it. On failure the file is not open
// and `reason` says why.
kivsubst::platform::File open_to_examine(const std::string& path, std::string& reason);

// Whether the caller may open `path` for writing; if not, `reason` says why.
bool is_writable(const std::string& path, std::string& reason);

// The library's scan run over a file into an output that throws the bytes
// away, to learn how many occurrences a call would replace.
class Counter {
public:
    explicit Counter(const std::vector<kivsubst::Pair>& pairs);

    // 0 when the count can run; else the exit status for what is missing
    // (the scan's buffers: out of memory; the discarding output: like an
    // output that cannot be written), with `reason` saying why.
    int problem(std::string& reason) const;

    // Counts the occurrences from the file's current position to its end.
    // False if the file cannot be read, with `reason` saying why.
    bool count(kivsubst::platform::File& file, std::uint64_t& occurrences, std::string& reason);

    // The scan itself, to be told of each occurrence (--preview).
    kivsubst::Scanner& scanner() { return scanner_; }

private:
    kivsubst::Scanner scanner_;
    kivsubst::platform::File discard_;
    std::string discard_error_;
};

}  // namespace kivsubst_cli

#endif
