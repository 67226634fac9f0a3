// SPDX-License-Identifier: Zlib
// The decision table itself, and the SHA-256 that tells files apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "by_version.h"
#include "sha256.h"

namespace {

// Every row of the table is reached by some input, and the README shows the
// table as the code has it.
TEST(DecisionTable, EveryRowIsReachedAndTheReadmeShowsTheTable) {
    std::vector<bool> reached(kivcopy::decision_table.size());
    for (const bool identical : {true, false}) {
        for (const auto versions :
             {kivcopy::Versions::newer, kivcopy::Versions::older, kivcopy::Versions::same,
              kivcopy::Versions::only_new, kivcopy::Versions::only_target,
              kivcopy::Versions::neither}) {
            for (const auto owner : {kivcopy::Ownership::ours, kivcopy::Ownership::not_ours,
                                     kivcopy::Ownership::no_manifest}) {
                for (const int flags : {0, 1, 2, 3}) {
                    const kivcopy::DecisionRow& row = kivcopy::decide(
                        {identical, versions, owner, (flags & 1) != 0, (flags & 2) != 0});
                    reached[static_cast<std::size_t>(&row - kivcopy::decision_table.data())] =
                        true;
                    // A kept file is never a decision by time or chance:
                    // an identical one is always current.
                    if (identical) {
                        EXPECT_EQ(row.verdict, kivcopy::Verdict::already_current);
                    }
                }
            }
        }
    }
    EXPECT_EQ(std::count(reached.begin(), reached.end(), false), 0);
    std::ifstream readme(KIV_SOURCE_DIR "/README.md");
    std::stringstream text;
    text << readme.rdbuf();
    EXPECT_NE(text.str().find(kivcopy::decision_table_markdown()), std::string::npos)
        << "the README's decision table differs from the code's:\n"
        << kivcopy::decision_table_markdown();
}

// SHA-256 against the standard's own examples, fed in uneven pieces that
// cross block boundaries, with the processor's SHA instructions (where it
// has them) and with the portable rounds; then both ways on every length
// up to a few blocks, which must agree.
TEST(Sha256, GivesTheStandardsDigestsEitherWay) {
    using Rounds = kivcopy::Sha256::Rounds;
    const auto digest = [](const std::string& text, std::size_t piece, Rounds rounds) {
        kivcopy::Sha256 hash(rounds);
        for (std::size_t at = 0; at < text.size(); at += piece) {
            hash.add(text.data() + at, std::min(piece, text.size() - at));
        }
        return kivcopy::to_hex(hash.finish());
    };
    for (const Rounds rounds : {Rounds::fastest, Rounds::portable}) {
        EXPECT_EQ(digest("", 1, rounds),
                  "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        EXPECT_EQ(digest("abc", 1, rounds),
                  "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
        for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{64}}) {
            EXPECT_EQ(digest(two_blocks, piece, rounds),
                      "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
        }
        EXPECT_EQ(digest(std::string(1000000, 'a'), 4093, rounds),
                  "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    }
    std::string text;
    for (std::size_t length = 0; length < 300; ++length) {
        EXPECT_EQ(digest(text, 13, Rounds::fastest), digest(text, 64, Rounds::portable))
            << length;
        text += static_cast<char>(length * 131 + 7);
    }
}

}  // namespace
