/* SPDX-License-Identifier: Zlib */
// Finds a pattern in memory in time linear in the bytes searched.
#ifndef KIVSUBST_SEARCH_H
#define KIVSUBST_SEARCH_H

#include <cstddef>

#include "bytes.h"

namespace kivsubst {

// The two-way search: linear in the worst case, with constant extra memory,
// and a bad-character skip for speed on ordinary data. The pattern is
// analysed once, when the search is made.
class TwoWaySearch {
public:
    explicit TwoWaySearch(Bytes pattern);

    // The first occurrence of the pattern wholly in [from, to), or nullptr.
    const unsigned char* find(const unsigned char* from, const unsigned char* to) const;

private:
    Bytes pattern_;
    std::size_t last_at_[256] = {};     // 1 + where each byte last occurs in the pattern
    std::size_t split_ = 0;             // the critical factorization's position
    std::size_t period_ = 0;            // the shift after a whole match attempt
    std::size_t memory_after_shift_ = 0;  // bytes known to match after that shift
};

class Searcher {
public:
    explicit Searcher(Bytes pattern) : pattern_(pattern), two_way_(pattern) {}

    // The first occurrence of the pattern that lies wholly in [from, to),
    // or nullptr.
    const unsigned char* find(const unsigned char* from, const unsigned char* to) const;

private:
    Bytes pattern_;
    TwoWaySearch two_way_;
};

}  // namespace kivsubst

#endif
