// SPDX-License-Identifier: Zlib
// The scan: blocks read, searched for exact bytes, written with their
// replacements; matching beyond exact bytes is in scan_matching.cpp.
#include "scan.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "scan_parts.h"

namespace kivsubst {
namespace {

std::size_t longest_pattern(const std::vector<Pair>& pairs) {
    std::size_t longest = 0;
    for (const Pair& pair : pairs) {
        longest = std::max(longest, pair.pattern.size);
    }
    return longest;
}

}  // namespace

Scanner::Scanner(Bytes pattern, Bytes replacement, std::size_t block_size)
    : Scanner(std::vector<Pair>{{pattern, replacement}}, block_size) {}

Scanner::Scanner(std::vector<Pair> pairs, std::size_t block_size)
    : Scanner(std::move(pairs), Matching{}, block_size) {}

// Each searcher analyses its whole pattern, which for a long pattern takes
// time; they are made only once the buffers are known to fit in memory.
Scanner::Scanner(std::vector<Pair> pairs, const Matching& matching, std::size_t block_size)
    : pairs_(std::move(pairs)),
      matching_(matching),
      longest_(longest_pattern(pairs_)),
      // The word test reads one character (a byte, or a UTF-16 unit) on
      // each side of an occurrence.
      behind_(!matching.whole_words ? 0 : matching.utf16() ? 2 : 1),
      ahead_(behind_),
      block_size_(block_size),
      input_(allocate(behind_ + block_size + longest_ - 1 + ahead_)),
      output_(allocate(block_size)) {
    if (input_ == nullptr || output_ == nullptr || pairs_.empty()) {
        return;
    }
    if (matching_.units == Matching::Units::double_byte) {
        starts_ = allocate(block_size + longest_ - 1 + ahead_);
        if (starts_ == nullptr) {
            return;
        }
    }
    matching_way_ = !matching_.exact() ||
                    (matching_.units != Matching::Units::bytes && pairs_.size() > 1);
    if (matching_way_ && !prepare_matching()) {
        return;
    }
    searchers_.reserve(pairs_.size());
    for (std::size_t i = 0; i < pairs_.size(); ++i) {
        searchers_.emplace_back(matching_.ignore_case
                                    ? Bytes{folded_patterns_[i].data(), folded_patterns_[i].size()}
                                    : pairs_[i].pattern);
    }
    ready_ = true;
}

void Scanner::found(std::int64_t offset, std::size_t pair, ScanOutcome& outcome) const {
    ++outcome.replacements;
    if (observer_) {
        observer_(offset, pair);
    }
}

// One pair: every occurrence the searcher finds is one to replace.
const unsigned char* Scanner::replace_one(Block& block, Output& output, ScanOutcome& outcome) {
    const Pair& pair = pairs_.front();
    const unsigned char* next = block.start;
    while (const unsigned char* hit = searchers_.front().find(next, block.end)) {
        output.append(next, static_cast<std::size_t>(hit - next));
        output.append(pair.replacement.data, pair.replacement.size);
        found(block.offset + (hit - block.start), 0, outcome);
        next = hit + pair.pattern.size;
    }
    return next;
}

// One pair, where an occurrence may start only at some offsets (UTF-16
// units, a code page's characters): an occurrence found elsewhere is passed
// over in the search itself, which goes on from it as after a match, so that
// the scan stays one linear pass.
const unsigned char* Scanner::replace_aligned(Block& block, Output& output,
                                              ScanOutcome& outcome) {
    const Pair& pair = pairs_.front();
    const Searcher& searcher = searchers_.front();
    const unsigned char* next = block.start;
    const unsigned char* hit = searcher.find(next, block.end);
    while (hit != nullptr) {
        if (!may_start(block, hit)) {
            hit = searcher.find_after(hit, block.end);
            continue;
        }
        output.append(next, static_cast<std::size_t>(hit - next));
        output.append(pair.replacement.data, pair.replacement.size);
        found(block.offset + (hit - block.start), 0, outcome);
        next = hit + pair.pattern.size;
        hit = searcher.find(next, block.end);
    }
    return next;
}

bool Scanner::may_start(const Block& block, const unsigned char* at) const {
    switch (matching_.units) {
        case Matching::Units::bytes:
            break;
        case Matching::Units::utf16le:
        case Matching::Units::utf16be:
            return ((static_cast<std::uint64_t>(block.offset) +
                     static_cast<std::uint64_t>(at - block.start)) & 1U) == 0;
        case Matching::Units::double_byte:
            return starts_[static_cast<std::size_t>(at - block.start)] != 0;
    }
    return true;
}

// Marks where the block's characters start, from the first start not yet
// mapped, which the block before left in its carried tail or just past it.
// The walk ends at the first start past the block, which the next block
// begins with when nothing is carried.
void Scanner::map_characters(const Block& block) {
    const auto size = static_cast<std::size_t>(block.end - block.start);
    unsigned char* const starts = starts_.get();
    std::memset(starts, 0, size);
    auto at = static_cast<std::size_t>(next_character_ - block.offset);
    for (; at < size; at += matching_.lead_bytes[block.start[at]] ? 2U : 1U) {
        starts[at] = 1;
    }
    next_character_ = block.offset + static_cast<std::int64_t>(at);
}

// The first character start in the tail carried to the next block, where
// the next block's map begins.
void Scanner::carry_characters(const Block& block, std::size_t carried) {
    const auto size = static_cast<std::size_t>(block.end - block.start);
    for (std::size_t at = size - carried; at < size; ++at) {
        if (starts_[at] != 0) {
            next_character_ = block.offset + static_cast<std::int64_t>(at);
            return;
        }
    }
}

// Several pairs: each pattern's next occurrence is kept and searched for
// again only once the scan has passed it, so every pattern's search moves
// through the block once. The leftmost occurrence wins, the longest pattern
// among those that start there.
const unsigned char* Scanner::replace_many(Block& block, Output& output, ScanOutcome& outcome) {
    std::vector<const unsigned char*> hits(pairs_.size());
    const unsigned char* next = block.start;
    for (std::size_t i = 0; i < pairs_.size(); ++i) {
        hits[i] = searchers_[i].find(next, block.end);
    }
    for (;;) {
        std::size_t best = pairs_.size();
        for (std::size_t i = 0; i < pairs_.size(); ++i) {
            if (hits[i] == nullptr || hits[i] >= block.limit) {
                continue;
            }
            if (best == pairs_.size() || hits[i] < hits[best] ||
                (hits[i] == hits[best] && pairs_[i].pattern.size > pairs_[best].pattern.size)) {
                best = i;
            }
        }
        if (best == pairs_.size()) {
            return next;
        }
        const Pair& pair = pairs_[best];
        output.append(next, static_cast<std::size_t>(hits[best] - next));
        output.append(pair.replacement.data, pair.replacement.size);
        found(block.offset + (hits[best] - block.start), best, outcome);
        next = hits[best] + pair.pattern.size;
        for (std::size_t i = 0; i < pairs_.size(); ++i) {
            if (hits[i] != nullptr && hits[i] < next) {
                hits[i] = searchers_[i].find(next, block.end);
            }
        }
    }
}

// The input's head (a byte-order mark) goes to the output as it is, never
// searched; its last bytes stay before the first block for the word test,
// which sees the mark as no word character. False when it could not be read.
bool Scanner::read_head(platform::File& input, std::size_t length, Output& output,
                        ScanOutcome& outcome) {
    unsigned char head[text::longest_mark];
    std::size_t got = 0;
    while (got < length) {
        const std::ptrdiff_t more = input.read_some(head + got, length - got);
        if (more < 0) {
            outcome.kind = ScanOutcome::Kind::read_failed;
            return false;
        }
        if (more == 0) {
            break;
        }
        got += static_cast<std::size_t>(more);
    }
    output.append(head, got);
    const std::size_t kept = std::min(behind_, got);
    std::memcpy(input_.get() + behind_ - kept, head + got - kept, kept);
    return true;
}

// Each block is searched after the tail carried over from the one before
// it, up to its limit (see Block); the bytes from there on are carried. An
// input that ends before `length` (standard input, or a file that shrank)
// ends with a block of the carried tail alone, searched to its end. In front
// of the carried tail the buffer keeps the input bytes just before it, for
// the word test. Offsets are the input's own, from its first byte, head
// included, so that alignment and the places told are the file's.
ScanOutcome Scanner::run(platform::File& input, std::int64_t length, platform::File& output_file) {
    Output output(output_file, output_.get(), block_size_);
    ScanOutcome outcome;
    unsigned char* const buffer = input_.get() + behind_;
    const std::size_t reach = longest_ - 1 + ahead_;
    std::size_t carried = 0;
    const std::size_t head = static_cast<std::size_t>(
        std::min<std::int64_t>(std::max<std::int64_t>(length, 0), static_cast<std::int64_t>(head_)));
    if (head > 0 && !read_head(input, head, output, outcome)) {
        return outcome;
    }
    std::int64_t remaining = length - static_cast<std::int64_t>(head);
    std::int64_t read = static_cast<std::int64_t>(head);
    next_character_ = read;
    utf8_ = text::Utf8Check();

    for (bool more = remaining > 0; more;) {
        std::size_t wanted =
            static_cast<std::size_t>(std::min(remaining, static_cast<std::int64_t>(block_size_)));
        std::ptrdiff_t got = input.read_some(buffer + carried, wanted);
        if (got < 0) {
            outcome.kind = ScanOutcome::Kind::read_failed;
            return outcome;
        }
        if (check_utf8_ && !utf8_.feed(buffer + carried, static_cast<std::size_t>(got))) {
            outcome.valid_text = false;
            return outcome;
        }
        remaining -= got;
        read += got;
        more = got > 0 && remaining > 0;
        if (got == 0 && carried == 0) {
            break;
        }
        Block block{buffer, buffer + carried + static_cast<std::size_t>(got), nullptr,
                    read - static_cast<std::int64_t>(carried) - got};
        const std::size_t size = static_cast<std::size_t>(block.end - block.start);
        block.limit = !more ? block.end : size >= reach ? block.end - reach : block.start;
        if (starts_ != nullptr) {
            map_characters(block);
        }
        const unsigned char* rest =
            matching_way_                                       ? replace_matching(block, output, outcome)
            : matching_.units != Matching::Units::bytes         ? replace_aligned(block, output, outcome)
            : pairs_.size() == 1                                ? replace_one(block, output, outcome)
                                                                : replace_many(block, output, outcome);
        carried = static_cast<std::size_t>(block.end - std::max(rest, block.limit));
        if (starts_ != nullptr) {
            carry_characters(block, carried);
        }
        output.append(rest, static_cast<std::size_t>(block.end - rest) - carried);
        std::memmove(buffer - behind_, block.end - carried - behind_, behind_ + carried);
        if (progress_) {
            progress_(read);
        }
        if (stop_ && stop_()) {
            outcome.kind = ScanOutcome::Kind::stopped;  // the output is left as it is
            return outcome;
        }
        if (output.failed()) {
            break;  // a full disk is not going to empty itself: stop reading
        }
    }
    output.append(buffer, carried);
    outcome.valid_text = !check_utf8_ || utf8_.complete();

    outcome.bytes_written = output.written();
    if (!output.flush()) {
        outcome.kind = ScanOutcome::Kind::write_failed;
    }
    return outcome;
}

}  // namespace kivsubst
