/* SPDX-License-Identifier: Zlib */
// The scanner for each file of a run: one scanner that serves every file
// alike (bytes), or the one for the encoding a file is in (text, see
// text_scan.h). A substitution, a batch and the front end's count, preview
// and filter ask for it file by file and need not know which it is.
#ifndef KIVSUBST_SCANNERS_H
#define KIVSUBST_SCANNERS_H

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform.h"
#include "scan.h"
#include "text.h"

namespace kivsubst {

// A run's pairs as bytes, pattern and replacement, each pattern at least
// one byte.
using PairBytes = std::vector<std::pair<std::string, std::string>>;

// The pairs as the scanner takes them: views of `texts`, which must outlive
// them.
std::vector<Pair> pairs_of(const PairBytes& texts);

class Scanners {
public:
    virtual ~Scanners() = default;

    // Why no scanner serves a file: the text cannot be written in its
    // encoding; its mark names another encoding than the one named;
    // memory; its first bytes cannot be read (the system's error says why).
    enum class Refusal { none, encoding, contradicting_mark, memory, unreadable };

    // The scanner for an open file, which is left at its start; null with
    // the reason when none serves it.
    virtual Scanner* for_input(platform::File& input, Refusal& refusal) = 0;
    // The scanner for a stream that is read once from its first byte, so
    // that none of it can be looked at first (standard input).
    virtual Scanner* for_stream(Refusal& refusal) = 0;
    // Whether the run can scan at all: false when a scanner made for every
    // file could not get its buffers.
    virtual bool ready() const = 0;
    // The pairs' bytes as the last file given holds them (for a preview);
    // empty when they could not be written for it.
    virtual const PairBytes& texts() const = 0;
    // The encoding the last file given was found in; none for bytes.
    virtual std::optional<text::Encoding> encoding() const = 0;
    // Told after each block of each scan, as Scanner::report_progress.
    virtual void report_progress(Scanner::Progress progress) = 0;
    // Asked after each block of each scan, as Scanner::stop_when.
    virtual void stop_when(Scanner::Stop stop) = 0;
    // A refusal in words, but for unreadable, whose words are the system's.
    virtual std::string why(Refusal refusal) const;

protected:
    Scanners() = default;
    Scanners(const Scanners&) = default;
    Scanners& operator=(const Scanners&) = default;
};

// One scanner for every file, its pairs matched as bytes. Its buffers are
// checked where it runs, as a scanner's own are.
class ByteScanners final : public Scanners {
public:
    explicit ByteScanners(PairBytes texts, const Matching& matching = {},
                          std::size_t block_size = Scanner::default_block_size);
    ByteScanners(const ByteScanners&) = delete;
    ByteScanners& operator=(const ByteScanners&) = delete;

    Scanner* for_input(platform::File&, Refusal& refusal) override { return for_stream(refusal); }
    Scanner* for_stream(Refusal& refusal) override {
        refusal = Refusal::none;
        return &scanner_;
    }
    bool ready() const override { return scanner_.ready(); }
    const PairBytes& texts() const override { return texts_; }
    std::optional<text::Encoding> encoding() const override { return std::nullopt; }
    void report_progress(Scanner::Progress progress) override {
        scanner_.report_progress(std::move(progress));
    }
    void stop_when(Scanner::Stop stop) override { scanner_.stop_when(std::move(stop)); }

private:
    PairBytes texts_;
    Scanner scanner_;
};

}  // namespace kivsubst

#endif
