// SPDX-License-Identifier: Zlib
#include "scanners.h"

namespace kivsubst {

std::vector<Pair> pairs_of(const PairBytes& texts) {
    std::vector<Pair> pairs;
    for (const auto& [pattern, replacement] : texts) {
        pairs.push_back({{reinterpret_cast<const unsigned char*>(pattern.data()), pattern.size()},
                         {reinterpret_cast<const unsigned char*>(replacement.data()),
                          replacement.size()}});
    }
    return pairs;
}

// The words that a substitution's failure and the front end's count both
// give for a refusal; a mark that contradicts the encoding named is only
// text's to tell.
std::string Scanners::why(Refusal refusal) const {
    if (refusal == Refusal::encoding) {
        return "the text cannot be written in its encoding";
    }
    return refusal == Refusal::memory ? "out of memory" : "";
}

ByteScanners::ByteScanners(PairBytes texts, const Matching& matching, std::size_t block_size)
    : texts_(std::move(texts)), scanner_(pairs_of(texts_), matching, block_size) {}

}  // namespace kivsubst
