// SPDX-License-Identifier: Zlib
#include "scan.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kivsubst {
namespace {

std::unique_ptr<unsigned char[]> allocate(std::size_t size) {
    return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[size]);
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

// The searcher analyses the whole pattern, which for a long pattern takes
// time; it is made only once the buffers are known to fit in memory.
Scanner::Scanner(Bytes pattern, Bytes replacement, std::size_t block_size)
    : pattern_(pattern),
      replacement_(replacement),
      block_size_(block_size),
      input_(allocate(block_size + pattern.size - 1)),
      output_(allocate(block_size)) {
    if (input_ != nullptr && output_ != nullptr) {
        searcher_.emplace(pattern);
    }
}

// Each block is searched after the tail carried over from the one before
// it. Any occurrence that starts before the last n-1 bytes lies wholly in
// the buffer and is found; those last bytes may begin an occurrence that the
// next block completes, so they are carried rather than written.
ScanOutcome Scanner::run(platform::File& input, std::int64_t length, platform::File& output_file) {
    Output output(output_file, output_.get(), block_size_);
    ScanOutcome outcome;
    unsigned char* const buffer = input_.get();
    const std::size_t n = pattern_.size;
    std::size_t carried = 0;
    std::int64_t remaining = length;

    while (remaining > 0) {
        std::size_t wanted = static_cast<std::size_t>(std::min(remaining, static_cast<std::int64_t>(block_size_)));
        std::ptrdiff_t got = input.read_some(buffer + carried, wanted);
        if (got < 0) {
            outcome.kind = ScanOutcome::Kind::read_failed;
            return outcome;
        }
        if (got == 0) {
            break;  // the input is shorter than it was: stop at its real end
        }
        remaining -= got;
        const unsigned char* next = buffer;
        const unsigned char* const end = buffer + carried + static_cast<std::size_t>(got);
        while (const unsigned char* found = searcher_->find(next, end)) {
            output.append(next, static_cast<std::size_t>(found - next));
            output.append(replacement_.data, replacement_.size);
            ++outcome.replacements;
            next = found + n;
        }
        std::size_t unmatched = static_cast<std::size_t>(end - next);
        carried = remaining > 0 ? std::min(n - 1, unmatched) : 0;
        output.append(next, unmatched - carried);
        std::memmove(buffer, end - carried, carried);
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
