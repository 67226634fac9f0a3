// SPDX-License-Identifier: Zlib
// The library against the sliding-window reference, through its export, on
// files whose occurrences straddle the edge of the read block the export
// uses: the scan's own tests and its fuzzer run it at small block sizes only.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kivtest/reference.h"
#include "random_case.h"
#include "scan.h"
#include "subst_fixture.h"

namespace {

class Differential : public kivtest::SubstTest {
protected:
    // Files live in memory where the suite may mount a tmpfs, so that the
    // durable writes cost nothing.
    void SetUp() override {
        SubstTest::SetUp();
        memory_ = std::make_unique<kivtest::TmpfsMount>(path("mem"), 64ull << 20);
        file_ = memory_->ok() ? path("mem/file") : path("file");
    }
    void TearDown() override {
        memory_.reset();
        SubstTest::TearDown();
    }

    std::unique_ptr<kivtest::TmpfsMount> memory_;
    std::string file_;
};

// Each file is a run of one byte that no pattern holds, then a random case
// that starts `near` bytes before the block's edge and ends up to 300 bytes
// either side of it. No occurrence can touch the run, so the reference's
// output for the whole file is the run and its output for the case. The
// case is tried with an occurrence planted across the edge in three ways:
// one byte before it, all but one byte before it, and in between.
TEST_F(Differential, MatchesTheSlidingWindowAcrossTheReadBlocksEdge) {
    const std::size_t block = kivsubst::Scanner::default_block_size;
    const std::size_t near = 1024;
    const std::string run(block - near, 'z');
    for (unsigned seed = 0; seed < 24; ++seed) {
        kivtest::CaseMaker maker(1000 + seed);
        const kivtest::SubstitutionCase made = maker.make(near + maker.below(600) - 300);
        ASSERT_EQ(made.pattern.find('z'), std::string::npos);
        const std::size_t size = made.pattern.size();
        std::vector<std::size_t> placings = {0};  // 0: the case as it was made
        if (size > 1 && made.input.size() >= near + size) {
            placings = {1, size - 1, 1 + maker.below(size - 1)};
        }
        for (const std::size_t bytes_before_the_edge : placings) {
            std::string input = made.input;
            if (bytes_before_the_edge > 0) {
                input.replace(near - bytes_before_the_edge, size, made.pattern);
            }
            SCOPED_TRACE(::testing::Message()
                         << "seed " << seed << ", input " << run.size() << " + " << input.size()
                         << ", pattern " << size << ", " << bytes_before_the_edge
                         << " bytes of it before the edge");
            kivtest::ReferenceResult expected =
                kivtest::reference_substitution(input, made.pattern, made.replacement);
            kivtest::write_file(file_, run + input);
            kivtest::Call call = replace(file_, made.pattern, made.replacement);
            ASSERT_EQ(call.result, expected.replacements > 0 ? 0 : 1) << call.printed;
            ASSERT_EQ(kivtest::read_file(file_), run + expected.output);
        }
    }
}

}  // namespace
