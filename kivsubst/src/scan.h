/* SPDX-License-Identifier: Zlib */
// The scan: the input file copied into the temporary file with every
// occurrence of the pattern replaced.
#ifndef KIVSUBST_SCAN_H
#define KIVSUBST_SCAN_H

#include <cstdint>
#include <memory>
#include <optional>

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

// Reads the input in large blocks and writes unmatched runs in bulk, so the
// cost is linear in the file's size, and memory is bounded by the block size
// and the pattern's length whatever the file's size. Occurrences are found
// from left to right and do not overlap; the replacement is never searched.
class Scanner {
public:
    // Input is read, and output gathered, in blocks of this size.
    static constexpr std::size_t default_block_size = std::size_t{1} << 20;

    Scanner(Bytes pattern, Bytes replacement, std::size_t block_size = default_block_size);

    // False when the buffers could not be allocated.
    bool ready() const { return searcher_.has_value(); }

    // Scans at most `length` bytes of `input` into `output`, stopping early
    // if the input ends sooner.
    ScanOutcome run(platform::File& input, std::int64_t length, platform::File& output);

    // The input block, free for other use once the scan is over.
    unsigned char* block() { return input_.get(); }
    std::size_t block_size() const { return block_size_; }

private:
    class Output;

    Bytes pattern_;
    Bytes replacement_;
    std::size_t block_size_;
    std::unique_ptr<unsigned char[]> input_;   // a carried tail of the last block, then a block
    std::unique_ptr<unsigned char[]> output_;  // bytes on their way to the output file
    std::optional<Searcher> searcher_;         // made once the buffers exist
};

}  // namespace kivsubst

#endif
