// SPDX-License-Identifier: Zlib
// Matching beyond exact bytes (-i, -w, --max-count): the patterns and each
// block folded to one case, the word test, and the scan over several
// streams that passes over an occurrence the word test turns down.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "scan.h"
#include "scan_parts.h"

namespace kivsubst {
namespace {

// An ASCII capital letter as its small letter; any other byte as it is.
// Without a branch, so that folding a block is a plain loop.
unsigned char lower(unsigned char byte) {
    return static_cast<unsigned char>(
        byte | (static_cast<unsigned>(static_cast<unsigned>(byte) - 'A' < 26U) << 5U));
}

bool is_word_byte(unsigned char byte) {
    const unsigned letter = static_cast<unsigned>(byte | 0x20U) - 'a';
    const unsigned digit = static_cast<unsigned>(byte) - '0';
    return letter < 26U || digit < 10U || byte == '_';
}

// Where an ASCII character's byte lies in a UTF-16 code unit, the other
// byte being zero: first in little-endian, second in big-endian.
std::size_t letter_place(Matching::Units units) {
    return units == Matching::Units::utf16be ? 1 : 0;
}

// A word character's byte, or in UTF-16 its unit: the byte beside a zero
// byte, in the unit's byte order.
bool is_word_unit(const unsigned char* at, std::size_t unit, Matching::Units units) {
    if (unit == 1) {
        return is_word_byte(at[0]);
    }
    const std::size_t place = letter_place(units);
    return is_word_byte(at[place]) && at[1 - place] == 0;
}

// Folds the ASCII letters of the UTF-16 units in `bytes` that start at even
// offsets from the input's start, `offset` being that of `bytes` itself; a
// unit cut off by the end is left as it is.
void fold_units(unsigned char* bytes, std::size_t size, std::uint64_t offset,
                Matching::Units units) {
    const std::size_t place = letter_place(units);
    for (std::size_t i = (offset & 1U) == 0 ? 0 : 1; i + 1 < size; i += 2) {
        if (bytes[i + 1 - place] == 0) {
            bytes[i + place] = lower(bytes[i + place]);
        }
    }
}

// The pattern as the folded block holds its occurrences: every ASCII letter
// in lower case, or, in UTF-16, the letter of every unit that is an ASCII
// letter's.
std::vector<unsigned char> folded_pattern(Bytes pattern, Matching::Units units) {
    std::vector<unsigned char> folded(pattern.data, pattern.data + pattern.size);
    if (units == Matching::Units::utf16le || units == Matching::Units::utf16be) {
        fold_units(folded.data(), folded.size(), 0, units);
        return folded;
    }
    for (unsigned char& byte : folded) {
        byte = lower(byte);
    }
    return folded;
}

}  // namespace

// With ignore_case each pattern is folded and searched for in a folded copy
// of each block, where every byte keeps its offset. In UTF-16 an occurrence
// starts only on a whole unit, so one copy serves, its units folded where
// they start at even offsets.
bool Scanner::prepare_matching() {
    if (matching_.ignore_case) {
        folded_ = allocate(block_size_ + longest_ - 1 + ahead_);
        if (folded_ == nullptr) {
            return false;
        }
    }
    for (std::size_t pair = 0; pair < pairs_.size(); ++pair) {
        if (matching_.ignore_case) {
            folded_patterns_.push_back(folded_pattern(pairs_[pair].pattern, matching_.units));
        }
        streams_.push_back({pair, matching_.ignore_case});
    }
    hits_.resize(streams_.size());
    return true;
}

// Matching beyond exact bytes: the block's folded copy.
void Scanner::fold(const Block& block) {
    const unsigned char* const in = block.start;
    const auto size = static_cast<std::size_t>(block.end - block.start);
    unsigned char* const out = folded_.get();
    if (!matching_.utf16()) {
        for (std::size_t i = 0; i < size; ++i) {
            out[i] = lower(in[i]);
        }
        return;
    }
    std::memcpy(out, in, size);
    fold_units(out, size, static_cast<std::uint64_t>(block.offset), matching_.units);
}

// A stream's first occurrence at `at` or after it, in the block's terms;
// with `after`, its next occurrence after the one at `at`, which the word
// test turned down. The search then goes on from that occurrence rather
// than starting again, so that a run of occurrences turned down one after
// another (a long periodic pattern in a file that repeats it) costs no more
// than finding them.
const unsigned char* Scanner::seek(const Stream& stream, const Block& block,
                                   const unsigned char* at, bool after) const {
    const unsigned char* const text = stream.folded ? folded_.get() : block.start;
    const unsigned char* const from = text + (at - block.start);
    const unsigned char* const end = text + (block.end - block.start);
    const Searcher& searcher = searchers_[stream.pair];
    return settle(stream, block, text,
                  after ? searcher.find_after(from, end) : searcher.find(from, end));
}

// From an occurrence the searcher found in `text` (the block or its folded
// copy), the first that may start where it is (see may_start), in the
// block's terms.
const unsigned char* Scanner::settle(const Stream& stream, const Block& block,
                                     const unsigned char* text, const unsigned char* hit) const {
    const unsigned char* const end = text + (block.end - block.start);
    while (hit != nullptr && !may_start(block, block.start + (hit - text))) {
        hit = searchers_[stream.pair].find_after(hit, end);
    }
    return hit == nullptr ? nullptr : block.start + (hit - text);
}

// The word test's first half: no word character's byte (or UTF-16LE unit)
// right before `at`. It depends on the place alone, not on the pattern
// found there. A unit cut off by the input's start is no character.
bool Scanner::free_before(const Block& block, const unsigned char* at) const {
    const std::size_t unit = behind_;
    const std::size_t before = static_cast<std::size_t>(at - block.start) +
                               static_cast<std::size_t>(std::min<std::int64_t>(
                                   static_cast<std::int64_t>(behind_), block.offset));
    return before < unit || !is_word_unit(at - unit, unit, matching_.units);
}

// The word test's second half: no word character right after an
// occurrence that ends at `after`. A unit cut off by the input's end is no
// character.
bool Scanner::free_after(const Block& block, const unsigned char* after) const {
    const std::size_t unit = behind_;
    return static_cast<std::size_t>(block.end - after) < unit ||
           !is_word_unit(after, unit, matching_.units);
}

// The first place after `from` where an occurrence could pass the word test
// (the unit before it is no word character), or the block's limit: every
// occurrence that starts before it fails, whatever its pattern.
const unsigned char* Scanner::next_word_start(const Block& block,
                                              const unsigned char* from) const {
    const unsigned char* at = from + 1;
    while (at < block.limit && !free_before(block, at)) {
        ++at;
    }
    return at;
}

// The stream whose occurrence comes first, the longest pattern among those
// that start there (the first given among equals); streams_.size() when
// none starts before the block's limit.
std::size_t Scanner::leftmost_longest(const Block& block) const {
    std::size_t best = streams_.size();
    for (std::size_t i = 0; i < streams_.size(); ++i) {
        if (hits_[i] == nullptr || hits_[i] >= block.limit) {
            continue;
        }
        if (best == streams_.size() || hits_[i] < hits_[best] ||
            (hits_[i] == hits_[best] && pairs_[streams_[i].pair].pattern.size >
                                            pairs_[streams_[best].pair].pattern.size)) {
            best = i;
        }
    }
    return best;
}

// Among the streams with an occurrence at `at`, a place that passes the
// word test's first half, the longest pattern that passes its second half
// (the first given among equals); streams_.size() when none does.
std::size_t Scanner::longest_standing_alone(const Block& block, const unsigned char* at) const {
    std::size_t chosen = streams_.size();
    std::size_t chosen_length = 0;
    for (std::size_t i = 0; i < streams_.size(); ++i) {
        const std::size_t length = pairs_[streams_[i].pair].pattern.size;
        if (hits_[i] == at && (chosen == streams_.size() || length > chosen_length) &&
            free_after(block, at + length)) {
            chosen = i;
            chosen_length = length;
        }
    }
    return chosen;
}

// Every stream whose occurrence lies before `from` looks for its first one
// from there on.
void Scanner::seek_from(const Block& block, const unsigned char* from) {
    for (std::size_t i = 0; i < streams_.size(); ++i) {
        if (hits_[i] != nullptr && hits_[i] < from) {
            hits_[i] = seek(streams_[i], block, from, false);
        }
    }
}

// Every stream whose occurrence at `at` the word test turned down goes on
// to its next one.
void Scanner::pass_over(const Block& block, const unsigned char* at) {
    for (std::size_t i = 0; i < streams_.size(); ++i) {
        if (hits_[i] == at) {
            hits_[i] = seek(streams_[i], block, at, true);
        }
    }
}

// Matching beyond exact bytes, for one pair or several: as replace_many,
// over streams instead of searchers, an occurrence that fails the word test
// passed over, and the scan stopping once it has replaced as many as it may.
// Then the block's limit moves to its end, so that nothing is carried, and
// the blocks after it pass as they are. The word test is made once for each
// place where occurrences start, not once for each occurrence: where a word
// character comes before the place, all of them fail, and every stream moves
// on to the next place where one could pass; elsewhere the longest pattern
// that also passes after it wins. So the work grows with the number of
// pairs, never with its square.
const unsigned char* Scanner::replace_matching(Block& block, Output& output,
                                               ScanOutcome& outcome) {
    const bool limited = matching_.most != 0;
    if (limited && outcome.replacements >= matching_.most) {
        block.limit = block.end;
        return block.start;
    }
    if (matching_.ignore_case) {
        fold(block);
    }
    const unsigned char* next = block.start;
    for (std::size_t i = 0; i < streams_.size(); ++i) {
        hits_[i] = seek(streams_[i], block, next, false);
    }
    for (;;) {
        ++outcome.rounds;
        std::size_t best = leftmost_longest(block);
        if (best == streams_.size()) {
            return next;
        }
        const unsigned char* const hit = hits_[best];
        if (matching_.whole_words) {
            if (!free_before(block, hit)) {
                seek_from(block, next_word_start(block, hit));
                continue;
            }
            best = longest_standing_alone(block, hit);
            if (best == streams_.size()) {
                pass_over(block, hit);
                continue;
            }
        }
        const std::size_t index = streams_[best].pair;
        const Pair& pair = pairs_[index];
        output.append(next, static_cast<std::size_t>(hit - next));
        output.append(pair.replacement.data, pair.replacement.size);
        found(block.offset + (hit - block.start), index, outcome);
        next = hit + pair.pattern.size;
        if (limited && outcome.replacements >= matching_.most) {
            block.limit = block.end;
            return next;
        }
        seek_from(block, next);
    }
}

}  // namespace kivsubst
