/* SPDX-License-Identifier: Zlib */
// Text patched in each file's own encoding: the caller's pairs of text
// written in the encoding a file asks for, and a scanner for each encoding
// met, made once and kept for the next file in it.
#ifndef KIVSUBST_TEXT_SCAN_H
#define KIVSUBST_TEXT_SCAN_H

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "scan.h"
#include "scanners.h"
#include "text.h"

namespace kivsubst {

// A pattern (at least one character) and its replacement, as UTF-16 text.
struct TextPair {
    std::u16string pattern;
    std::u16string replacement;
};

class TextScanners final : public Scanners {
public:
    // `named` is the encoding the caller names, or from_mark; `matching`
    // says how to match beyond exact text (its units are set here).
    TextScanners(std::vector<TextPair> pairs, text::Encoding named, Matching matching = {},
                 std::size_t block_size = Scanner::default_block_size);
    TextScanners(const TextScanners&) = delete;
    TextScanners& operator=(const TextScanners&) = delete;

    // The scanner for a file that begins with `head`, set to keep its mark
    // and, for a file without one under from_mark, to check that all of it
    // is UTF-8; null with the reason when the text cannot be written in the
    // file's encoding, its mark names another encoding than the one named
    // (contradicting_mark() says which), or memory runs out.
    Scanner* for_file(const unsigned char* head, std::size_t size, Refusal& refusal);
    // The same for an open file, whose first bytes are read and which is
    // then rewound to its start (unreadable when either fails).
    Scanner* for_input(platform::File& input, Refusal& refusal) override;
    // A stream is matched from its first byte on, in the encoding named: a
    // mark cannot be read and then given back to it.
    Scanner* for_stream(Refusal& refusal) override { return for_file(nullptr, 0, refusal); }
    // The scanners are made as each encoding is met; a lack of memory then
    // refuses that file.
    bool ready() const override { return true; }
    // The encoding the last file given was found in.
    std::optional<text::Encoding> encoding() const override { return last_; }
    // After Refusal::contradicting_mark: the encoding the file's mark names,
    // and the one the scanners were made for.
    text::Encoding contradicting_mark() const { return contradicting_; }
    text::Encoding named() const { return named_; }
    // Why in words; for contradicting_mark, the two encodings.
    std::string why(Refusal refusal) const override;
    // The pairs as written for the last file given, pattern and
    // replacement bytes (for a preview); empty when they could not be.
    const PairBytes& texts() const override;
    void report_progress(Scanner::Progress progress) override { progress_ = std::move(progress); }
    void stop_when(Scanner::Stop stop) override { stop_ = std::move(stop); }

private:
    struct Encoded {
        PairBytes texts;
        std::unique_ptr<Scanner> scanner;  // null: the text cannot be written in it
    };
    Encoded& encoded(text::Encoding encoding);

    std::vector<TextPair> pairs_;
    text::Encoding named_;
    Matching matching_;
    std::size_t block_size_;
    text::Encoding last_ = text::Encoding::utf8;
    text::Encoding contradicting_ = text::Encoding::from_mark;
    Scanner::Progress progress_;
    Scanner::Stop stop_;
    std::map<text::Encoding, Encoded> encoded_;
};

}  // namespace kivsubst

#endif
