// SPDX-License-Identifier: Zlib
// The library against the sliding-window reference, through its export:
// many small random cases, and cases whose occurrences straddle the edge of
// the library's read block.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "kivtest/reference.h"
#include "random_case.h"
#include "subst_fixture.h"

namespace {

class Differential : public kivtest::SubstTest {
protected:
    // Files live in memory where the suite may mount a tmpfs, so that the
    // thousands of durable writes cost nothing.
    void SetUp() override {
        SubstTest::SetUp();
        memory_ = std::make_unique<kivtest::TmpfsMount>(path("mem"), 64ull << 20);
        file_ = memory_->ok() ? path("mem/file") : path("file");
    }
    void TearDown() override {
        memory_.reset();
        SubstTest::TearDown();
    }

    void check(const kivtest::SubstitutionCase& made) {
        kivtest::ReferenceResult expected =
            kivtest::reference_substitution(made.input, made.pattern, made.replacement);
        kivtest::write_file(file_, made.input);
        kivtest::Call call = replace(file_, made.pattern, made.replacement);
        ASSERT_EQ(call.result, expected.replacements > 0 ? 0 : 1) << call.printed;
        ASSERT_EQ(kivtest::read_file(file_), expected.output);
    }

    std::unique_ptr<kivtest::TmpfsMount> memory_;
    std::string file_;
};

TEST_F(Differential, MatchesTheSlidingWindowOnSmallFiles) {
    for (unsigned seed = 0; seed < 600; ++seed) {
        kivtest::CaseMaker maker(seed);
        kivtest::SubstitutionCase made = maker.make(maker.below(3000));
        SCOPED_TRACE(::testing::Message() << "seed " << seed << ", input " << made.input.size()
                                          << ", pattern " << made.pattern.size());
        check(made);
    }
}

TEST_F(Differential, MatchesTheSlidingWindowAcrossTheReadBlocksEdge) {
    const std::size_t block = KIVSUBST_BLOCK_SIZE;
    for (unsigned seed = 0; seed < 24; ++seed) {
        kivtest::CaseMaker maker(1000 + seed);
        kivtest::SubstitutionCase made = maker.make(block + maker.below(600) - 300);
        // An occurrence that starts a few bytes before the edge.
        std::size_t size = made.pattern.size();
        if (size > 1 && made.input.size() >= block + size) {
            std::size_t start = block - 1 - maker.below(size - 1);
            made.input.replace(start, size, made.pattern);
        }
        SCOPED_TRACE(::testing::Message() << "seed " << seed << ", input " << made.input.size()
                                          << ", pattern " << size);
        check(made);
    }
}

}  // namespace
