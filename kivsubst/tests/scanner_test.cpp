// SPDX-License-Identifier: Zlib
// The scan against the sliding-window reference, at block sizes small enough
// that occurrences straddle block edges all the time.
#include <gtest/gtest.h>

#include <string>

#include "internal_fixtures.h"
#include "kivtest/reference.h"
#include "random_case.h"

namespace {

using kivsubst::ScanOutcome;
using kivtest::Scan;

TEST_F(Scan, MatchesTheSlidingWindowAtEveryBlockSize) {
    const std::size_t block_sizes[] = {1, 2, 3, 5, 16, 64, 257, 4096};
    for (unsigned seed = 0; seed < 1500; ++seed) {
        kivtest::CaseMaker maker(seed);
        std::size_t block_size = block_sizes[maker.below(std::size(block_sizes))];
        // Lengths from nothing to a few blocks, often right at a block edge.
        std::size_t length = maker.below(2) == 0
                                 ? maker.below(3 * block_size + 400)
                                 : block_size * (1 + maker.below(3)) + maker.below(5);
        length = length >= 2 ? length - 2 : 0;
        kivtest::SubstitutionCase made = maker.make(length);
        SCOPED_TRACE(::testing::Message() << "seed " << seed << ", block " << block_size
                                          << ", input " << made.input.size() << ", pattern "
                                          << made.pattern.size() << ", replacement "
                                          << made.replacement.size());
        kivtest::ReferenceResult expected =
            kivtest::reference_substitution(made.input, made.pattern, made.replacement);
        std::string output;
        ScanOutcome outcome = scan(made.input, static_cast<std::int64_t>(made.input.size()),
                                   made.pattern, made.replacement, block_size, output);
        ASSERT_EQ(outcome.kind, ScanOutcome::Kind::complete);
        ASSERT_EQ(output, expected.output);
        ASSERT_EQ(outcome.replacements, expected.replacements);
        ASSERT_EQ(outcome.bytes_written, static_cast<std::int64_t>(output.size()));
    }
}

// Several pairs in one pass, against the plain reference: the leftmost
// occurrence wins, the longest pattern among those starting there, and
// nothing replaced is searched again; at block sizes that put occurrences
// across block edges, with patterns that contain one another.
TEST_F(Scan, AppliesSeveralPairsAsOnePassAtEveryBlockSize) {
    const std::size_t block_sizes[] = {1, 2, 3, 7, 64, 4096};
    for (unsigned seed = 0; seed < 600; ++seed) {
        kivtest::CaseMaker maker(seed);
        const std::size_t block_size = block_sizes[maker.below(std::size(block_sizes))];
        std::vector<std::pair<std::string, std::string>> pairs;
        std::string input;
        for (std::size_t i = 0, count = 2 + maker.below(3); i < count; ++i) {
            kivtest::SubstitutionCase made = maker.make(maker.below(3 * block_size + 60));
            pairs.emplace_back(made.pattern.substr(0, 1 + maker.below(made.pattern.size())),
                               made.replacement);
            input += made.input;
        }
        SCOPED_TRACE(::testing::Message() << "seed " << seed << ", block " << block_size);
        const kivtest::ReferenceResult expected = kivtest::reference_substitution(input, pairs);
        std::string output;
        const ScanOutcome outcome = scan(input, pairs, block_size, output);
        ASSERT_EQ(outcome.kind, ScanOutcome::Kind::complete);
        ASSERT_EQ(output, expected.output);
        ASSERT_EQ(outcome.replacements, expected.replacements);
    }
    std::string swapped;
    scan("A-B-AB-BA", {{"A", "B"}, {"B", "A"}}, 4, swapped);
    EXPECT_EQ(swapped, "B-A-BA-AB");
}

TEST_F(Scan, StopsAtTheRealEndOfAnInputShorterThanItsLength) {
    std::string output;
    ScanOutcome outcome = scan("xxabxxab", 100, "ab", "Z", 3, output);
    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::complete);
    EXPECT_EQ(output, "xxZxxZ");
    EXPECT_EQ(outcome.replacements, 2u);
}

// Standard input ends before the length it is scanned for: the tail carried
// from the last block is searched too, where a pattern shorter than the
// longest may lie (this one was written out unsearched).
TEST_F(Scan, SearchesTheTailOfAnInputThatEndsBeforeItsLength) {
    for (std::size_t block_size : {std::size_t{1}, std::size_t{2}, std::size_t{64}}) {
        std::string output;
        ScanOutcome outcome = scan("zzc", 100, {{"abc", "X"}, {"c", "Y"}}, block_size, output);
        EXPECT_EQ(output, "zzY");
        EXPECT_EQ(outcome.replacements, 1u);
    }
}

TEST_F(Scan, ReadsNoMoreThanTheLengthItWasGiven) {
    std::string output;
    ScanOutcome outcome = scan("abab-grown-ab", 4, "ab", "Z", 64, output);
    EXPECT_EQ(output, "ZZ");
    EXPECT_EQ(outcome.replacements, 2u);
}

}  // namespace
