// The scan against the sliding-window reference, at block sizes small enough
// that occurrences straddle block edges all the time.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "kivtest/files.h"
#if !defined(_WIN32)
#include "kivtest/faults.h"
#endif
#include "platform.h"
#include "random_case.h"
#include "reference.h"
#include "scan.h"

namespace {

using kivsubst::Bytes;
using kivsubst::ScanOutcome;
using kivsubst::Scanner;
using kivsubst::platform::Creation;
using kivsubst::platform::File;

Bytes bytes_of(const std::string& text) {
    return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

class Scan : public kivtest::WorkDirTest {
protected:
    // Scans `length` bytes of a file holding `input` and returns the output.
    ScanOutcome scan(const std::string& input, std::int64_t length, const std::string& pattern,
                     const std::string& replacement, std::size_t block_size, std::string& output) {
        kivtest::write_file(path("input"), input);
        std::remove(path("output").c_str());
        File in = File::open_for_reading(path("input").c_str());
        Creation created = Creation::failed;
        File out = File::create_new(path("output"), created);
        EXPECT_EQ(created, Creation::created);
        Scanner scanner(bytes_of(pattern), bytes_of(replacement), block_size);
        EXPECT_TRUE(scanner.ready());
        ScanOutcome outcome = scanner.run(in, length, out);
        out.close();
        output = kivtest::read_file(path("output"));
        return outcome;
    }
};

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

TEST_F(Scan, StopsAtTheRealEndOfAnInputShorterThanItsLength) {
    std::string output;
    ScanOutcome outcome = scan("xxabxxab", 100, "ab", "Z", 3, output);
    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::complete);
    EXPECT_EQ(output, "xxZxxZ");
    EXPECT_EQ(outcome.replacements, 2u);
}

TEST_F(Scan, ReadsNoMoreThanTheLengthItWasGiven) {
    std::string output;
    ScanOutcome outcome = scan("abab-grown-ab", 4, "ab", "Z", 64, output);
    EXPECT_EQ(output, "ZZ");
    EXPECT_EQ(outcome.replacements, 2u);
}

#if !defined(_WIN32)
// Files that fail to read or write on demand exist on Linux only.
TEST_F(Scan, ReportsAFailedReadAndAFailedWrite) {
    const std::string pattern = "a";
    const std::string replacement = "b";
    Scanner scanner(bytes_of(pattern), bytes_of(replacement), 64);
    Creation created = Creation::failed;
    File unreadable = File::open_for_reading("/proc/self/mem");
    ASSERT_TRUE(unreadable.is_open());
    File sink = File::create_new(path("sink"), created);
    EXPECT_EQ(scanner.run(unreadable, 100, sink).kind, ScanOutcome::Kind::read_failed);

    kivtest::TmpfsMount small(path("small"), 64 * 1024);
    if (!small.ok()) {
        GTEST_SKIP() << small.error();
    }
    File full = File::create_new(path("small/output"), created);
    ASSERT_TRUE(full.is_open());
    kivtest::fill_file_system(path("small"));
    kivtest::write_file(path("input"), std::string(1000, 'a'));
    File input = File::open_for_reading(path("input").c_str());
    EXPECT_EQ(scanner.run(input, 1000, full).kind, ScanOutcome::Kind::write_failed);
}
#endif

}  // namespace
