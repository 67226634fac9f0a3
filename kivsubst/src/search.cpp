#include "search.h"

#include <cstring>

namespace kivsubst {

// A single byte is found fastest by memchr; longer patterns by the C
// library's memmem, which is linear in the worst case (two-way) and fast on
// ordinary text.
const unsigned char* Searcher::find(const unsigned char* from, const unsigned char* to) const {
    std::size_t size = static_cast<std::size_t>(to - from);
    if (size < pattern_.size) {
        return nullptr;
    }
    if (pattern_.size == 1) {
        return static_cast<const unsigned char*>(std::memchr(from, pattern_.data[0], size));
    }
    return static_cast<const unsigned char*>(::memmem(from, size, pattern_.data, pattern_.size));
}

}  // namespace kivsubst
