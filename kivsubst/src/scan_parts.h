/* SPDX-License-Identifier: Zlib */
// The scanner's pieces that its two files share: the output it gathers and
// the block it searches.
#ifndef KIVSUBST_SCAN_PARTS_H
#define KIVSUBST_SCAN_PARTS_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "scan.h"

namespace kivsubst {

// A buffer, or null when memory runs out.
inline std::unique_ptr<unsigned char[]> allocate(std::size_t size) {
    return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[size]);
}

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
            failed_ = failed_ || !platform::write_hinted(file_, bytes, size);
        } else {
            std::memcpy(buffer_, bytes, size);
            used_ = size;
        }
    }

    // Writes what is buffered; false if any write so far has failed.
    bool flush() {
        if (used_ > 0) {
            failed_ = failed_ || !platform::write_hinted(file_, buffer_, used_);
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

}  // namespace kivsubst

#endif
