/* SPDX-License-Identifier: Zlib */
// Looking at files before or instead of a change (-n, --preview): how many
// occurrences the library's own scan finds in each. Nothing here ever
// writes to a file.
#ifndef KIVSUBST_CLI_EXAMINE_H
#define KIVSUBST_CLI_EXAMINE_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine.h"
#include "options.h"
#include "tally.h"
#include "targets.h"

namespace kivsubst_cli {

// The library's scan run over a file into an output that throws the bytes
// away, to learn how many occurrences a call would replace.
class Counter {
public:
    explicit Counter(const Options& options);

    // 0 when the count can run; else the exit status for what is missing
    // (the scan's buffers: out of memory; the discarding output: like an
    // output that cannot be written), with `reason` saying why.
    int problem(std::string& reason) const;

    // Counts the occurrences from the file's start to its end. 0, or the
    // library's result for what failed: 7 if the file cannot be read, 9 if
    // (with --encoding) its encoding cannot be told or the text cannot be
    // written in it; `reason` says why.
    int count(kivsubst::engine::File& file, std::uint64_t& occurrences, std::string& reason);

    // Told of each occurrence, with its place in the file (--preview).
    void observe(kivsubst::engine::Scanner::Observer observer) { observer_ = std::move(observer); }
    // The pairs' bytes as the last file counted holds them (--preview).
    const std::vector<std::pair<std::string, std::string>>& pairs() const;
    // With --encoding, the encoding the last file counted was read in.
    std::optional<kivsubst::engine::TextEncoding> encoding() const;

private:
    kivsubst::engine::Scanner* scanner_of(kivsubst::engine::File& file, int& status,
                                          std::string& reason);

    const Options& options_;
    std::unique_ptr<kivsubst::engine::Scanners> scanners_;
    kivsubst::engine::Scanner::Observer observer_;
    kivsubst::engine::File discard_;
    std::string discard_error_;
};

// -n and --preview: each file is looked at alone, told on standard output,
// and one that cannot be read is reported while the others are still looked
// at; the exit status as a run that changed them would have had.
int examine_targets(std::vector<Target>& targets, const Options& options, Tally& tally);

}  // namespace kivsubst_cli

#endif
