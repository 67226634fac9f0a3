// SPDX-License-Identifier: Zlib
#include "scan.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace kivsubst {
namespace {

std::unique_ptr<unsigned char[]> allocate(std::size_t size) {
    return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[size]);
}

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

// The bytes that make one character for the word test: a byte, or a
// UTF-16LE code unit.
std::size_t unit_of(const Matching& matching) {
    return matching.utf16le ? 2 : 1;
}

// The pattern as the folded block holds its occurrences: every ASCII letter
// in lower case, or, for UTF-16LE, the letter of every unit that is an ASCII
// letter's.
std::vector<unsigned char> folded_pattern(Bytes pattern, bool utf16le) {
    std::vector<unsigned char> folded(pattern.data, pattern.data + pattern.size);
    const std::size_t step = utf16le ? 2 : 1;
    for (std::size_t i = 0; i < folded.size(); i += step) {
        if (!utf16le || (i + 1 < folded.size() && folded[i + 1] == 0)) {
            folded[i] = lower(folded[i]);
        }
    }
    return folded;
}

}  // namespace

// Collects small pieces (short runs, replacements) into one buffer and
// writes large pieces straight through, so that dense occurrences do not
// turn into many small writes. The first failed write is remembered.
class Scanner::Output {
public:
    Output(platform::File& file, unsigned char* buffer, std::size_t capacity)
        : file_(file), buffer_(buffer), capacity_(capacity) {}

    void append(const unsigned char* bytes, std::size_t size) {
        written_ += static_cast<std::int64_t>(size);
        if (used_ + size <= capacity_) {
            std::memcpy(buffer_ + used_, bytes, size);
            used_ += size;
            return;
        }
        flush();
        if (size >= capacity_) {
            failed_ = failed_ || !file_.write_all(bytes, size);
        } else {
            std::memcpy(buffer_, bytes, size);
            used_ = size;
        }
    }

    // Writes what is buffered; false if any write so far has failed.
    bool flush() {
        if (used_ > 0) {
            failed_ = failed_ || !file_.write_all(buffer_, used_);
            used_ = 0;
        }
        return !failed_;
    }

    std::int64_t written() const { return written_; }
    bool failed() const { return failed_; }

private:
    platform::File& file_;
    unsigned char* buffer_;
    std::size_t capacity_;
    std::size_t used_ = 0;
    std::int64_t written_ = 0;
    bool failed_ = false;
};

// The block being searched: the tail carried over from the one before it,
// then the bytes just read; where it lies in the input; and where matches
// may start. An occurrence that starts before `limit` lies wholly in the
// block and is found, with the bytes the word test reads after it; one that
// starts at `limit` or later may go on in the next block, so those bytes are
// carried over rather than written (the last block has its limit at its
// end). The word test's bytes before an occurrence may lie before `start`:
// the scanner keeps them there.
struct Scanner::Block {
    const unsigned char* start;
    const unsigned char* end;
    const unsigned char* limit;
    std::int64_t offset;  // of `start` in the input
};

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
      behind_(matching.whole_words ? unit_of(matching) : 0),
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

// With ignore_case each pattern is folded and searched for in a folded copy
// of each block, where every byte keeps its offset. With UTF-16LE there are
// two copies, one with the units that start at even offsets folded and one
// with those at odd offsets, since whether a byte begins a letter's unit
// depends on where the occurrence starts.
bool Scanner::prepare_matching() {
    const int copies = !matching_.ignore_case ? 0 : matching_.utf16le ? 2 : 1;
    for (int copy = 0; copy < copies; ++copy) {
        folded_[copy] = allocate(block_size_ + longest_ - 1 + ahead_);
        if (folded_[copy] == nullptr) {
            return false;
        }
    }
    for (std::size_t pair = 0; pair < pairs_.size(); ++pair) {
        if (matching_.ignore_case) {
            folded_patterns_.push_back(folded_pattern(pairs_[pair].pattern, matching_.utf16le));
        }
        if (copies == 2) {
            streams_.push_back({pair, 0, 0});
            streams_.push_back({pair, 1, 1});
        } else {
            streams_.push_back({pair, copies - 1, -1});
        }
    }
    hits_.resize(streams_.size());
    return true;
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

// Matching beyond exact bytes: the block's folded copies. A letter's
// UTF-16LE unit is its byte followed by a zero byte; the block's last byte,
// whose follower is not read yet, is left as it is, since no occurrence that
// lies in the block can hold it as a letter's unit.
void Scanner::fold(const Block& block) {
    const unsigned char* const in = block.start;
    const auto size = static_cast<std::size_t>(block.end - block.start);
    if (!matching_.utf16le) {
        unsigned char* const out = folded_[0].get();
        for (std::size_t i = 0; i < size; ++i) {
            out[i] = lower(in[i]);
        }
        return;
    }
    unsigned char* const copies[2] = {folded_[0].get(), folded_[1].get()};
    for (std::size_t i = 0; i < size; ++i) {
        const bool odd = ((static_cast<std::uint64_t>(block.offset) + i) & 1U) != 0;
        const bool letter_unit = i + 1 < size && in[i + 1] == 0;
        copies[odd ? 1 : 0][i] = letter_unit ? lower(in[i]) : in[i];
        copies[odd ? 0 : 1][i] = in[i];
    }
}

// A stream's first occurrence at `at` or after it, in the block's terms;
// with `after`, its next occurrence after the one at `at`, which the word
// test turned down. The search then goes on from that occurrence rather
// than starting again, so that a run of occurrences turned down one after
// another (a long periodic pattern in a file that repeats it) costs no more
// than finding them.
const unsigned char* Scanner::seek(const Stream& stream, const Block& block,
                                   const unsigned char* at, bool after) const {
    const unsigned char* const text = stream.copy < 0 ? block.start : folded_[stream.copy].get();
    const unsigned char* const from = text + (at - block.start);
    const unsigned char* const end = text + (block.end - block.start);
    const Searcher& searcher = searchers_[stream.pair];
    return settle(stream, block, text,
                  after ? searcher.find_after(from, end) : searcher.find(from, end));
}

// From an occurrence the searcher found in `text` (the block or its folded
// copy), the first at an offset of the stream's parity, in the block's terms.
const unsigned char* Scanner::settle(const Stream& stream, const Block& block,
                                     const unsigned char* text, const unsigned char* hit) const {
    const unsigned char* const end = text + (block.end - block.start);
    while (hit != nullptr && stream.parity >= 0 &&
           static_cast<int>((static_cast<std::uint64_t>(block.offset) +
                             static_cast<std::uint64_t>(hit - text)) & 1U) != stream.parity) {
        hit = searchers_[stream.pair].find_after(hit, end);
    }
    return hit == nullptr ? nullptr : block.start + (hit - text);
}

// The word test: no word character's byte (or UTF-16LE unit) right before
// the occurrence, nor right after it. A unit cut off by the input's start
// or end is no character.
bool Scanner::stands_alone(const Block& block, const unsigned char* hit,
                           std::size_t length) const {
    const std::size_t unit = behind_;
    const auto is_word_unit = [unit](const unsigned char* at) {
        return is_word_byte(at[0]) && (unit == 1 || at[1] == 0);
    };
    const std::size_t before = static_cast<std::size_t>(hit - block.start) +
                               static_cast<std::size_t>(std::min<std::int64_t>(
                                   static_cast<std::int64_t>(behind_), block.offset));
    const unsigned char* const after = hit + length;
    if (before >= unit && is_word_unit(hit - unit)) {
        return false;
    }
    return static_cast<std::size_t>(block.end - after) < unit || !is_word_unit(after);
}

// Matching beyond exact bytes, for one pair or several: as replace_many,
// over streams instead of searchers, an occurrence that fails the word test
// passed over, and the scan stopping once it has replaced as many as it may.
// Then the block's limit moves to its end, so that nothing is carried, and
// the blocks after it pass as they are.
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
        if (best == streams_.size()) {
            return next;
        }
        const std::size_t index = streams_[best].pair;
        const Pair& pair = pairs_[index];
        const unsigned char* const hit = hits_[best];
        if (matching_.whole_words && !stands_alone(block, hit, pair.pattern.size)) {
            hits_[best] = seek(streams_[best], block, hit, true);
            continue;
        }
        output.append(next, static_cast<std::size_t>(hit - next));
        output.append(pair.replacement.data, pair.replacement.size);
        found(block.offset + (hit - block.start), index, outcome);
        next = hit + pair.pattern.size;
        if (limited && outcome.replacements >= matching_.most) {
            block.limit = block.end;
            return next;
        }
        for (std::size_t i = 0; i < streams_.size(); ++i) {
            if (hits_[i] != nullptr && hits_[i] < next) {
                hits_[i] = seek(streams_[i], block, next, false);
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
