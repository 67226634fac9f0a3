// SPDX-License-Identifier: Zlib
#include "text_scan.h"

#include "platform.h"

namespace kivsubst {
namespace {

using text::Encoding;

// How a file's characters are cut, for the scan to match whole ones only.
// An ANSI code page with lead bytes is a double-byte one; one without, and
// UTF-8, whose pattern, being valid UTF-8, can only match whole characters
// of valid text, need nothing.
Matching matching_for(Matching matching, Encoding encoding) {
    switch (encoding) {
        case Encoding::utf16le:
            matching.units = Matching::Units::utf16le;
            break;
        case Encoding::utf16be:
            matching.units = Matching::Units::utf16be;
            break;
        case Encoding::ansi: {
            std::array<bool, 256> lead{};
            const bool known = platform::ansi_lead_bytes(lead);
            bool any = false;
            for (bool is_lead : lead) {
                any = any || is_lead;
            }
            matching.units = known && any ? Matching::Units::double_byte : Matching::Units::bytes;
            matching.lead_bytes = lead;
            break;
        }
        case Encoding::utf8:
        case Encoding::from_mark:
            matching.units = Matching::Units::bytes;
            break;
    }
    return matching;
}

}  // namespace

TextScanners::TextScanners(std::vector<TextPair> pairs, Encoding named, Matching matching,
                           std::size_t block_size)
    : pairs_(std::move(pairs)), named_(named), matching_(matching), block_size_(block_size) {}

// The pairs written in `encoding`, once; a text that cannot be written
// there leaves the entry without a scanner.
TextScanners::Encoded& TextScanners::encoded(Encoding encoding) {
    auto known = encoded_.find(encoding);
    if (known != encoded_.end()) {
        return known->second;
    }
    Encoded& entry = encoded_[encoding];
    for (const TextPair& pair : pairs_) {
        std::optional<std::string> pattern = text::encode(pair.pattern, encoding);
        std::optional<std::string> replacement = text::encode(pair.replacement, encoding);
        if (!pattern || !replacement || pattern->empty()) {
            return entry;
        }
        entry.texts.emplace_back(std::move(*pattern), std::move(*replacement));
    }
    entry.scanner = std::make_unique<Scanner>(pairs_of(entry.texts),
                                              matching_for(matching_, encoding), block_size_);
    if (progress_) {
        entry.scanner->report_progress(progress_);
    }
    if (stop_) {
        entry.scanner->stop_when(stop_);
    }
    return entry;
}

// A named encoding keeps that encoding's own mark, and only it, out of the
// search, and a file whose mark names another encoding is refused: matched
// as the encoding named, its text would be found nowhere, or written into
// it in the wrong form. from_mark takes the mark's encoding, and a file
// without one is UTF-8 if all of it is, which the scan checks as it reads.
Scanner* TextScanners::for_file(const unsigned char* head, std::size_t size, Refusal& refusal) {
    const text::Mark mark = text::mark_of(head, size);
    if (text::contradicts(mark, named_)) {
        contradicting_ = *mark.encoding;
        refusal = Refusal::contradicting_mark;
        return nullptr;
    }
    Encoding encoding = named_;
    std::size_t kept = 0;
    if (named_ == Encoding::from_mark) {
        encoding = mark.encoding.value_or(Encoding::utf8);
        kept = mark.length;
    } else if (mark.encoding == named_) {
        kept = mark.length;
    }
    last_ = encoding;
    Encoded& entry = encoded(encoding);
    if (entry.scanner == nullptr) {
        refusal = Refusal::encoding;
        return nullptr;
    }
    if (!entry.scanner->ready()) {
        refusal = Refusal::memory;
        return nullptr;
    }
    entry.scanner->keep_head(kept);
    entry.scanner->check_utf8(named_ == Encoding::from_mark && !mark.encoding);
    refusal = Refusal::none;
    return entry.scanner.get();
}

Scanner* TextScanners::for_input(platform::File& input, Refusal& refusal) {
    unsigned char head[text::longest_mark];
    std::size_t got = 0;
    while (got < sizeof head) {
        const std::ptrdiff_t more = input.read_some(head + got, sizeof head - got);
        if (more < 0) {
            refusal = Refusal::unreadable;
            return nullptr;
        }
        if (more == 0) {
            break;
        }
        got += static_cast<std::size_t>(more);
    }
    if (!input.seek_to(0)) {
        refusal = Refusal::unreadable;
        return nullptr;
    }
    return for_file(head, got, refusal);
}

std::string TextScanners::why(Refusal refusal) const {
    if (refusal != Refusal::contradicting_mark) {
        return Scanners::why(refusal);
    }
    return std::string("it begins with the byte-order mark of ") + text::name_of(contradicting_) +
           " (" + text::mark_bytes_of(contradicting_) + "), not " + text::name_of(named_) +
           " as named";
}

const PairBytes& TextScanners::texts() const {
    static const PairBytes none;
    const auto known = encoded_.find(last_);
    return known == encoded_.end() || known->second.scanner == nullptr ? none : known->second.texts;
}

}  // namespace kivsubst
