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
      // The word test reads one character (a byte, or a UTF-16LE unit) on
      // each side of an occurrence.
      behind_(!matching.whole_words ? 0 : matching.utf16le ? 2 : 1),
      ahead_(behind_),
      block_size_(block_size),
      input_(allocate(behind_ + block_size + longest_ - 1 + ahead_)),
      output_(allocate(block_size)) {
    if (input_ == nullptr || output_ == nullptr || pairs_.empty()) {
        return;
    }
    if (!matching_.exact() && !prepare_matching()) {
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

// Each block is searched after the tail carried over from the one before
// it, up to its limit (see Block); the bytes from there on are carried. An
// input that ends before `length` (standard input, or a file that shrank)
// ends with a block of the carried tail alone, searched to its end. In front
// of the carried tail the buffer keeps the input bytes just before it, for
// the word test.
ScanOutcome Scanner::run(platform::File& input, std::int64_t length, platform::File& output_file) {
    Output output(output_file, output_.get(), block_size_);
    ScanOutcome outcome;
    unsigned char* const buffer = input_.get() + behind_;
    const std::size_t reach = longest_ - 1 + ahead_;
    const bool exact = matching_.exact();
    std::size_t carried = 0;
    std::int64_t remaining = length;
    std::int64_t read = 0;

    for (bool more = remaining > 0; more;) {
        std::size_t wanted =
            static_cast<std::size_t>(std::min(remaining, static_cast<std::int64_t>(block_size_)));
        std::ptrdiff_t got = input.read_some(buffer + carried, wanted);
        if (got < 0) {
            outcome.kind = ScanOutcome::Kind::read_failed;
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
        const unsigned char* rest = !exact              ? replace_matching(block, output, outcome)
                                    : pairs_.size() == 1 ? replace_one(block, output, outcome)
                                                         : replace_many(block, output, outcome);
        carried = static_cast<std::size_t>(block.end - std::max(rest, block.limit));
        output.append(rest, static_cast<std::size_t>(block.end - rest) - carried);
        std::memmove(buffer - behind_, block.end - carried - behind_, behind_ + carried);
        if (progress_) {
            progress_(read);
        }
        if (output.failed()) {
            break;  // a full disk is not going to empty itself: stop reading
        }
    }
    output.append(buffer, carried);

    outcome.bytes_written = output.written();
    if (!output.flush()) {
        outcome.kind = ScanOutcome::Kind::write_failed;
    }
    return outcome;
}

}  // namespace kivsubst
