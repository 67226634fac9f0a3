// SPDX-License-Identifier: Zlib
#include "search.h"

#include <algorithm>
#include <cstring>

namespace kivsubst {
namespace {

// Patterns up to this length go to memmem where there is one.
[[maybe_unused]] constexpr std::size_t short_pattern = 64;

// The critical factorization of the pattern: the position of its maximal
// suffix, for one byte order or the other, and that suffix's period.
struct Factorization {
    std::size_t suffix_start;  // the suffix starts after this index (may wrap to "before 0")
    std::size_t period;
};

Factorization maximal_suffix(const unsigned char* pattern, std::size_t size, bool reversed) {
    std::size_t ip = static_cast<std::size_t>(-1);  // one before the candidate suffix
    std::size_t jp = 0;
    std::size_t k = 1;
    std::size_t p = 1;
    while (jp + k < size) {
        unsigned char a = pattern[ip + k];
        unsigned char b = pattern[jp + k];
        if (a == b) {
            if (k == p) {
                jp += p;
                k = 1;
            } else {
                ++k;
            }
        } else if (reversed ? a < b : a > b) {
            jp += k;
            k = 1;
            p = jp - ip;
        } else {
            ip = jp++;
            k = p = 1;
        }
    }
    return {ip, p};
}

}  // namespace

TwoWaySearch::TwoWaySearch(Bytes pattern) : pattern_(pattern) {
    const unsigned char* const n = pattern.data;
    const std::size_t l = pattern.size;
    for (std::size_t i = 0; i < l; ++i) {
        last_at_[n[i]] = i + 1;
    }
    Factorization forward = maximal_suffix(n, l, false);
    Factorization backward = maximal_suffix(n, l, true);
    Factorization split = backward.suffix_start + 1 > forward.suffix_start + 1 ? backward : forward;
    split_ = split.suffix_start;
    // A periodic pattern remembers how much of it already matched after a
    // shift by its period; that memory is what keeps the search linear.
    if (std::memcmp(n, n + split.period, split_ + 1) != 0) {
        period_ = std::max(split_, l - split_ - 1) + 1;
        memory_after_shift_ = 0;
    } else {
        period_ = split.period;
        memory_after_shift_ = l - split.period;
    }
}

const unsigned char* TwoWaySearch::find(const unsigned char* from, const unsigned char* to) const {
    return search(from, to, 0);
}

const unsigned char* TwoWaySearch::find_after(const unsigned char* hit,
                                              const unsigned char* to) const {
    return search(hit + period_, to, memory_after_shift_);
}

// The search from `from`, where the first `memory` bytes of the pattern are
// known to match already.
const unsigned char* TwoWaySearch::search(const unsigned char* from, const unsigned char* to,
                                          std::size_t memory) const {
    const unsigned char* const n = pattern_.data;
    const std::size_t l = pattern_.size;
    const std::size_t ms = split_;
    const unsigned char* h = from;
    while (static_cast<std::size_t>(to - h) >= l) {
        // A last byte that does not occur far enough right in the pattern
        // rules out every alignment up to the next place where it does.
        std::size_t skip = l - last_at_[h[l - 1]];
        if (skip != 0) {
            h += skip;
            memory = 0;
            continue;
        }
        std::size_t k = std::max(ms + 1, memory);
        while (k < l && n[k] == h[k]) {
            ++k;
        }
        if (k < l) {
            h += k - ms;
            memory = 0;
            continue;
        }
        k = ms + 1;
        while (k > memory && n[k - 1] == h[k - 1]) {
            --k;
        }
        if (k <= memory) {
            return h;
        }
        h += period_;
        memory = memory_after_shift_;
    }
    return nullptr;
}

// A single byte is found fastest by memchr, and a short pattern by the C
// library's memmem where it has one. A long pattern goes to our own two-way
// search, which analyses the pattern once per call rather than once per
// occurrence as memmem must.
const unsigned char* Searcher::find(const unsigned char* from, const unsigned char* to) const {
    std::size_t size = static_cast<std::size_t>(to - from);
    if (size < pattern_.size) {
        return nullptr;
    }
    if (pattern_.size == 1) {
        return static_cast<const unsigned char*>(std::memchr(from, pattern_.data[0], size));
    }
#if defined(__GLIBC__)
    if (pattern_.size <= short_pattern) {
        return static_cast<const unsigned char*>(::memmem(from, size, pattern_.data, pattern_.size));
    }
#endif
    return two_way_.find(from, to);
}

// The next occurrence after one found by the same way: memchr and memmem
// start again one byte further on, which costs at most the short pattern's
// length more; the two-way search goes on from where the occurrence left it.
const unsigned char* Searcher::find_after(const unsigned char* hit, const unsigned char* to) const {
    if (pattern_.size == 1) {
        return find(hit + 1, to);
    }
#if defined(__GLIBC__)
    if (pattern_.size <= short_pattern) {
        return find(hit + 1, to);
    }
#endif
    return two_way_.find_after(hit, to);
}

}  // namespace kivsubst
