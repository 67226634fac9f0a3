// SPDX-License-Identifier: Zlib
// The two-way search, which builds without the C library's memmem, against
// a plain search that tries every position.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "search.h"

namespace {

using Buffer = std::vector<unsigned char>;

std::ptrdiff_t plain_find(const Buffer& pattern, const Buffer& text, std::size_t from) {
    auto found = std::search(text.begin() + static_cast<std::ptrdiff_t>(from), text.end(),
                             pattern.begin(), pattern.end());
    return found == text.end() ? -1 : found - text.begin();
}

std::ptrdiff_t two_way(const Buffer& pattern, const Buffer& text, std::size_t from) {
    kivsubst::TwoWaySearch search({pattern.data(), pattern.size()});
    const unsigned char* found = search.find(text.data() + from, text.data() + text.size());
    return found == nullptr ? -1 : found - text.data();
}

Buffer random_bytes(std::mt19937& random, std::size_t size, unsigned alphabet) {
    Buffer bytes(size);
    for (unsigned char& byte : bytes) {
        byte = static_cast<unsigned char>(random() % alphabet);
    }
    return bytes;
}

TEST(TwoWaySearch, FindsWhatAPlainSearchFindsAtEveryStart) {
    for (unsigned seed = 0; seed < 3000; ++seed) {
        std::mt19937 random(seed);
        unsigned alphabet = 1 + random() % 4;
        Buffer pattern = random_bytes(random, 1 + random() % 12, alphabet);
        if (seed % 3 == 0) {  // periodic patterns such as "abaaba"
            Buffer period = random_bytes(random, 1 + random() % 3, alphabet);
            pattern.clear();
            while (pattern.size() < 2 + seed % 17) {
                pattern.insert(pattern.end(), period.begin(), period.end());
            }
        }
        Buffer text = random_bytes(random, random() % 200, alphabet);
        for (std::size_t from = 0; from <= text.size(); from += 1 + random() % 7) {
            ASSERT_EQ(two_way(pattern, text, from), plain_find(pattern, text, from))
                << "seed " << seed << ", from " << from;
        }
    }
}

// Every occurrence in turn, overlapping ones too, by going on after each:
// the positions a plain search finds from one byte after the last, for the
// two-way search and for the searcher whichever way it picks (memchr,
// memmem, or two-way for patterns over 64 bytes).
TEST(TwoWaySearch, GoesOnAfterAnOccurrenceToEveryNextOne) {
    for (unsigned seed = 0; seed < 2000; ++seed) {
        std::mt19937 random(seed);
        const auto alphabet = static_cast<unsigned>(1 + random() % 3);
        Buffer period = random_bytes(random, 1 + random() % 4, alphabet);
        Buffer pattern;
        const std::size_t size = seed % 2 == 0 ? 1 + random() % 12 : 60 + random() % 80;
        while (pattern.size() < size) {
            pattern.insert(pattern.end(), period.begin(), period.end());
        }
        pattern.resize(size);
        if (seed % 5 == 0) {
            pattern[random() % size] = static_cast<unsigned char>(random() % alphabet);
        }
        Buffer text = random_bytes(random, random() % 600, alphabet);
        for (std::size_t copies = random() % 4, i = 0; i < copies && text.size() >= size; ++i) {
            std::copy(pattern.begin(), pattern.end(),
                      text.begin() + static_cast<std::ptrdiff_t>(random() % (text.size() - size + 1)));
        }
        const unsigned char* const end = text.data() + text.size();
        const kivsubst::TwoWaySearch two_way_search({pattern.data(), pattern.size()});
        const kivsubst::Searcher searcher({pattern.data(), pattern.size()});
        std::ptrdiff_t expected = plain_find(pattern, text, 0);
        const unsigned char* by_two_way = two_way_search.find(text.data(), end);
        const unsigned char* by_searcher = searcher.find(text.data(), end);
        for (;;) {
            ASSERT_EQ(by_two_way == nullptr ? -1 : by_two_way - text.data(), expected)
                << "seed " << seed;
            ASSERT_EQ(by_searcher == nullptr ? -1 : by_searcher - text.data(), expected)
                << "seed " << seed;
            if (expected < 0) {
                break;
            }
            expected = plain_find(pattern, text, static_cast<std::size_t>(expected) + 1);
            by_two_way = two_way_search.find_after(by_two_way, end);
            by_searcher = searcher.find_after(by_searcher, end);
        }
    }
}

TEST(TwoWaySearch, HandlesPatternsLongerThanTheText) {
    Buffer pattern(300, 'a');
    Buffer text(299, 'a');
    EXPECT_EQ(two_way(pattern, text, 0), -1);
    text.push_back('a');
    EXPECT_EQ(two_way(pattern, text, 0), 0);
}

}  // namespace
