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
    // The first occurrence after `hit`, which must be an occurrence wholly
    // in [hit, to): the search goes on as it does after a match, shifted by
    // the pattern's period and remembering what is known to match, so that
    // finding every occurrence in turn, overlapping ones included, stays
    // linear, where a new search from hit + 1 could compare most of the
    // pattern again at each of them.
    const unsigned char* find_after(const unsigned char* hit, const unsigned char* to) const;

private:
    const unsigned char* search(const unsigned char* from, const unsigned char* to,
                                std::size_t memory) const;

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
    // The first occurrence after `hit`, an occurrence that find() or
    // find_after() returned for the same `to`; or nullptr.
    const unsigned char* find_after(const unsigned char* hit, const unsigned char* to) const;

private:
    Bytes pattern_;
    TwoWaySearch two_way_;
};

}  // namespace kivsubst

#endif
