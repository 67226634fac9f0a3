// Finds a pattern in memory in time linear in the bytes searched.
#ifndef KIVSUBST_SEARCH_H
#define KIVSUBST_SEARCH_H

#include "bytes.h"

namespace kivsubst {

class Searcher {
public:
    explicit Searcher(Bytes pattern) : pattern_(pattern) {}

    // The first occurrence of the pattern that lies wholly in [from, to),
    // or nullptr.
    const unsigned char* find(const unsigned char* from, const unsigned char* to) const;

private:
    Bytes pattern_;
};

}  // namespace kivsubst

#endif
