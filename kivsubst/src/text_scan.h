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
#include "text.h"

namespace kivsubst {

// A pattern (at least one character) and its replacement, as UTF-16 text.
struct TextPair {
    std::u16string pattern;
    std::u16string replacement;
};

class TextScanners {
public:
    // `named` is the encoding the caller names, or from_mark; `matching`
    // says how to match beyond exact text (its units are set here).
    TextScanners(std::vector<TextPair> pairs, text::Encoding named, Matching matching = {});
    TextScanners(const TextScanners&) = delete;
    TextScanners& operator=(const TextScanners&) = delete;

    // Why no scanner serves a file.
    enum class Refusal { none, encoding, memory };

    // The scanner for a file that begins with `head`, set to keep its mark
    // and, for a file without one under from_mark, to check that all of it
    // is UTF-8; null with the reason when the text cannot be written in the
    // file's encoding or memory runs out.
    Scanner* for_file(const unsigned char* head, std::size_t size, Refusal& refusal);
    // The encoding the last file given to for_file was found in.
    text::Encoding encoding() const { return last_; }

private:
    struct Encoded {
        std::vector<std::pair<std::string, std::string>> texts;
        std::unique_ptr<Scanner> scanner;  // null: the text cannot be written in it
    };
    Encoded& encoded(text::Encoding encoding);

    std::vector<TextPair> pairs_;
    text::Encoding named_;
    Matching matching_;
    text::Encoding last_ = text::Encoding::utf8;
    std::map<text::Encoding, Encoded> encoded_;
};

}  // namespace kivsubst

#endif
