/* SPDX-License-Identifier: Zlib */
// The scan: the input file copied into the temporary file with every
// occurrence of the pattern replaced.
#ifndef KIVSUBST_SCAN_H
#define KIVSUBST_SCAN_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "bytes.h"
#include "platform.h"
#include "search.h"

namespace kivsubst {

struct ScanOutcome {
    enum class Kind { complete, read_failed, write_failed };
    Kind kind = Kind::complete;
    std::uint64_t replacements = 0;
    std::int64_t bytes_written = 0;
};

// A pattern (at least one byte) and what replaces it.
struct Pair {
    Bytes pattern;
    Bytes replacement;
};

// Reads the input in large blocks and writes unmatched runs in bulk, so the
// cost is linear in the file's size, and memory is bounded by the block size
// and the patterns' lengths whatever the file's size. Occurrences are found
// from left to right and do not overlap; a replacement is never searched.
// With several pairs all are applied in one pass: at each position the
// leftmost occurrence of any pattern is replaced, the longest pattern
// winning a tie (the first given among equals), so that "A for B and B for
// A" swaps them. One pair takes the quickest way, the one the library's
// export uses.
class Scanner {
public:
    // Input is read, and output gathered, in blocks of this size.
    static constexpr std::size_t default_block_size = std::size_t{1} << 20;

    // Told of each occurrence replaced: its offset in the input and the
    // index of its pair.
    using Observer = std::function<void(std::int64_t offset, std::size_t pair)>;
    // Told after each block how many bytes of the input have been read.
    using Progress = std::function<void(std::int64_t read)>;

    Scanner(Bytes pattern, Bytes replacement, std::size_t block_size = default_block_size);
    explicit Scanner(std::vector<Pair> pairs, std::size_t block_size = default_block_size);

    // False when the buffers could not be allocated.
    bool ready() const { return ready_; }

    void observe(Observer observer) { observer_ = std::move(observer); }
    void report_progress(Progress progress) { progress_ = std::move(progress); }

    // Scans at most `length` bytes of `input` into `output`, stopping early
    // if the input ends sooner.
    ScanOutcome run(platform::File& input, std::int64_t length, platform::File& output);

    // The input block, free for other use once the scan is over.
    unsigned char* block() { return input_.get(); }
    std::size_t block_size() const { return block_size_; }

private:
    class Output;
    struct Block;

    // Replaces within one block; returns where the unreplaced rest begins.
    const unsigned char* replace_one(Block& block, Output& output, ScanOutcome& outcome);
    const unsigned char* replace_many(Block& block, Output& output, ScanOutcome& outcome);
    void found(std::int64_t offset, std::size_t pair, ScanOutcome& outcome) const;

    std::vector<Pair> pairs_;
    std::size_t longest_ = 0;  // the longest pattern's length
    std::size_t block_size_;
    std::unique_ptr<unsigned char[]> input_;   // a carried tail of the last block, then a block
    std::unique_ptr<unsigned char[]> output_;  // bytes on their way to the output file
    std::vector<Searcher> searchers_;          // one a pair, made once the buffers exist
    bool ready_ = false;
    Observer observer_;
    Progress progress_;
};

}  // namespace kivsubst

#endif
