// SPDX-License-Identifier: Zlib
// The scan's ways of matching beyond exact bytes (case, whole words, a most
// to replace, UTF-16LE code units), against the plain reference, at block
// sizes small enough that occurrences and the bytes around them straddle
// block edges all the time; and the cases that show each rule.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "internal_fixtures.h"
#include "kivtest/matching_reference.h"

namespace {

using kivsubst::Matching;
using kivsubst::ScanOutcome;
using kivtest::Scan;
using Pairs = std::vector<std::pair<std::string, std::string>>;

struct MatchingCase {
    std::string input;
    Pairs pairs;
    Matching matching;
};

kivtest::ReferenceMatching reference_of(const Matching& matching) {
    return {matching.ignore_case, matching.whole_words, matching.utf16(),
            static_cast<std::size_t>(matching.most)};
}

// Random cases made of a few symbols: bytes, or UTF-16LE code units. Each
// set mixes the cases of letters with what must never match them: bytes
// that differ from a letter by the case bit alone ('@' and '`', 0xC1 and
// 0xE1), word and non-word neighbours, and in UTF-16LE the units whose
// bytes are letters but which are no ASCII letter's (U+4100, U+0141).
class MatchingCaseMaker {
public:
    explicit MatchingCaseMaker(unsigned seed) : random_(seed) {}

    std::size_t below(std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_);
    }

    MatchingCase make(std::size_t length, const Matching& matching) {
        MatchingCase made;
        made.matching = matching;
        const std::vector<std::string> symbols = pick_symbols(matching.utf16());
        for (std::size_t i = 0, count = 1 + below(3); i < count; ++i) {
            std::string pattern = i > 0 && below(2) == 0 ? variant_of(made.pairs[0].first, symbols)
                                                         : make_pattern(symbols);
            made.pairs.emplace_back(pattern, text(symbols, below(4)));
        }
        // A stray byte first puts UTF-16LE units at odd offsets.
        if (matching.utf16() && below(2) == 0) {
            made.input += symbols[below(symbols.size())][1];
        }
        while (made.input.size() < length) {
            if (below(3) == 0) {
                made.input += flip_some_cases(made.pairs[below(made.pairs.size())].first);
            } else {
                made.input += text(symbols, 1 + below(4));
            }
        }
        return made;
    }

private:
    std::vector<std::string> pick_symbols(bool utf16le) {
        static const std::vector<std::vector<std::string>> bytes = {
            {"a", "A"},
            {"a", "A", " "},
            {"a", "b", "B", "_", "1"},
            {"k", "K", "\xc1", "\xe1", "@", "`", " "},
            {"x", "X", std::string(1, '\0'), "\xc3", "\xa9"},
        };
        static const std::vector<std::vector<std::string>> units = {
            {std::string("a\0", 2), std::string("A\0", 2)},
            {std::string("a\0", 2), std::string("A\0", 2), std::string(" \0", 2)},
            {std::string("a\0", 2), std::string("A\0", 2), std::string("\0A", 2),
             std::string("\0a", 2), "A\x01", "a\x01"},
            {std::string("b\0", 2), std::string("B\0", 2), std::string("_\0", 2),
             std::string("\xe9\0", 2), std::string("\0\0", 2)},
        };
        const auto& sets = utf16le ? units : bytes;
        return sets[below(sets.size())];
    }

    std::string text(const std::vector<std::string>& symbols, std::size_t count) {
        std::string made;
        for (std::size_t i = 0; i < count; ++i) {
            made += symbols[below(symbols.size())];
        }
        return made;
    }

    // Mostly one to four symbols; now and then a long periodic one, past
    // the 64 bytes where the search turns from memmem to two-way.
    std::string make_pattern(const std::vector<std::string>& symbols) {
        if (below(6) == 0) {
            const std::string period = text(symbols, 1 + below(2));
            std::string made;
            for (std::size_t size = 66 + below(60); made.size() < size;) {
                made += period;
            }
            return made;
        }
        return text(symbols, 1 + below(4));
    }

    // A pattern of another pair: a prefix of the first (so that two start
    // at one place with different lengths), or the first in other cases.
    std::string variant_of(const std::string& pattern, const std::vector<std::string>& symbols) {
        const std::size_t unit = symbols[0].size();
        if (below(2) == 0 && pattern.size() > unit) {
            return pattern.substr(0, unit * (1 + below(pattern.size() / unit - 1)));
        }
        return flip_some_cases(pattern);
    }

    std::string flip_some_cases(std::string bytes) {
        for (char& byte : bytes) {
            const auto value = static_cast<unsigned char>(byte | 0x20);
            if (value >= 'a' && value <= 'z' && below(2) == 0) {
                byte = static_cast<char>(byte ^ 0x20);
            }
        }
        return bytes;
    }

    std::mt19937 random_;
};

class Matches : public Scan {
protected:
    // Checks the scan of `made` at `block_size` against the reference.
    void expect_reference(const MatchingCase& made, std::size_t block_size) {
        const kivtest::ReferenceResult expected =
            kivtest::reference_substitution(made.input, made.pairs, reference_of(made.matching));
        std::string output;
        const ScanOutcome outcome =
            scan(made.input, static_cast<std::int64_t>(made.input.size()), made.pairs,
                 made.matching, block_size, output);
        ASSERT_EQ(outcome.kind, ScanOutcome::Kind::complete);
        ASSERT_EQ(output, expected.output);
        ASSERT_EQ(outcome.replacements, expected.replacements);
        ASSERT_EQ(outcome.bytes_written, static_cast<std::int64_t>(output.size()));
    }

    // Random cases with `base`'s options, each of the others on or off.
    void expect_reference_everywhere(const Matching& base, unsigned seeds) {
        const std::size_t block_sizes[] = {1, 2, 3, 5, 7, 64, 4096};
        for (unsigned seed = 0; seed < seeds; ++seed) {
            MatchingCaseMaker maker(seed);
            const std::size_t block_size = block_sizes[maker.below(std::size(block_sizes))];
            Matching matching = base;
            matching.ignore_case = base.ignore_case || maker.below(2) == 0;
            matching.whole_words = base.whole_words || maker.below(2) == 0;
            matching.units = maker.below(3) == 0 ? Matching::Units::utf16le : Matching::Units::bytes;
            if (base.most == 0 && maker.below(3) == 0) {
                matching.most = 1 + maker.below(4);
            }
            const MatchingCase made = maker.make(maker.below(3 * block_size + 200), matching);
            SCOPED_TRACE(::testing::Message()
                         << "seed " << seed << ", block " << block_size << ", -i "
                         << matching.ignore_case << ", -w " << matching.whole_words
                         << ", utf16le " << matching.utf16() << ", most " << matching.most);
            expect_reference(made, block_size);
        }
    }

    std::string scanned(const std::string& input, const Pairs& pairs, const Matching& matching,
                        std::size_t block_size = 4096) {
        std::string output;
        scan(input, static_cast<std::int64_t>(input.size()), pairs, matching, block_size, output);
        return output;
    }
};

Matching ignoring_case() {
    Matching matching;
    matching.ignore_case = true;
    return matching;
}

Matching whole_words() {
    Matching matching;
    matching.whole_words = true;
    return matching;
}

// ASCII letters match in either case, every other byte only itself: not the
// bytes that differ from a letter by its case bit alone, nor the two cases
// of a letter outside ASCII, in Latin-1 or UTF-8. Pairs of different
// lengths that start at one place: the longest wins, whatever its case.
TEST_F(Matches, IgnoresTheCaseOfAsciiLettersOnly) {
    const Matching matching = ignoring_case();
    EXPECT_EQ(scanned("Key=1 KEY=2 key=3 kEy=4", {{"key", "k"}}, matching), "k=1 k=2 k=3 k=4");
    EXPECT_EQ(scanned("@[ `{ \xc1 \xe1 \xc3\x89", {{"@[", "x"}, {"\xe1", "y"}, {"\xc3\xa9", "z"}},
                      matching),
                  "x `{ \xc1 y \xc3\x89");
    EXPECT_EQ(scanned("aBc Ab abC", {{"ab", "1"}, {"ABC", "2"}}, matching), "2 1 2");
    expect_reference_everywhere(matching, 1500);
}

// An occurrence counts only with no ASCII letter, digit or '_' on either
// side; the input's start and end, and bytes from 0x80 up, are none. One
// that fails is passed over as if it were not there: an overlapping one
// after it may count, and so may a shorter pattern at the same place.
TEST_F(Matches, ReplacesWholeWordsOnly) {
    const Matching matching = whole_words();
    EXPECT_EQ(scanned("cat catalog bobcat cat_1 cat9 (cat) cat", {{"cat", "dog"}}, matching),
              "dog catalog bobcat cat_1 cat9 (dog) dog");
    EXPECT_EQ(scanned("\xc3\xa9" "cat cat\xc3\xa9", {{"cat", "dog"}}, matching),
              "\xc3\xa9" "dog dog\xc3\xa9");
    EXPECT_EQ(scanned("aaa aa", {{"aa", "X"}}, matching), "aaa X");
    EXPECT_EQ(scanned("ababa aba", {{"aba", "X"}}, matching), "ababa X");
    EXPECT_EQ(scanned(".a.a.a", {{".a", "X"}}, matching), "X.a.a");
    EXPECT_EQ(scanned("foobar foo foob", {{"foo", "X"}, {"foobar", "Y"}}, matching), "Y X foob");
    EXPECT_EQ(scanned("a bc", {{"a b", "X"}, {"a", "Y"}}, matching), "Y bc");
    Matching without_case = matching;
    without_case.ignore_case = true;
    EXPECT_EQ(scanned("Cat CAT cats", {{"cat", "dog"}}, without_case), "dog dog cats");
    expect_reference_everywhere(matching, 1500);
}

// At most the first N occurrences of the file, of all pairs together; one
// that fails the word test is not one of them.
TEST_F(Matches, ReplacesAtMostTheFirstOccurrences) {
    Matching matching;
    matching.most = 3;
    for (const std::size_t block_size : {std::size_t{1}, std::size_t{2}, std::size_t{4096}}) {
        EXPECT_EQ(scanned("a b a b a b", {{"a", "X"}, {"b", "Y"}}, matching, block_size),
                  "X Y X b a b");
    }
    std::string output;
    const ScanOutcome outcome = scan("aa a a a", 8, {{"a", "X"}}, [] {
        Matching limited = whole_words();
        limited.most = 1;
        return limited;
    }(), 3, output);
    EXPECT_EQ(output, "aa X a a");
    EXPECT_EQ(outcome.replacements, 1u);
    expect_reference_everywhere(matching, 1000);
}

// With UTF-16LE the rules apply to whole code units, at even offsets only:
// only an ASCII letter's unit matches in either case, not U+4100 for U+6100
// nor U+0141 for U+0161, though their bytes differ by a letter's case; the
// word test looks at whole units; an occurrence at an odd offset, across two
// units, is none.
TEST_F(Matches, AppliesTheRulesToUtf16LeCodeUnits) {
    Matching matching = ignoring_case();
    matching.units = Matching::Units::utf16le;
    const std::string key("K\0E\0Y\0", 6);
    const std::string small_key("k\0e\0y\0", 6);
    EXPECT_EQ(scanned(key + "\x01" + key, {{small_key, "!!"}}, matching), "!!\x01" + key);
    EXPECT_EQ(scanned(key + "\x01\x01" + key, {{small_key, "!!"}}, matching), "!!\x01\x01!!");
    EXPECT_EQ(scanned(std::string("\0a\0A", 4), {{std::string("\0A", 2), "Z"}}, matching),
              std::string("\0aZ", 3));
    EXPECT_EQ(scanned("a\x01" "A\x01", {{"A\x01", "Z"}}, matching), "a\x01Z");

    Matching words = whole_words();
    words.units = Matching::Units::utf16le;
    const std::string b("b\0", 2);
    EXPECT_EQ(scanned(std::string("a\0b\0 \0b\0 \0", 10), {{b, "X"}}, words),
              std::string("a\0b\0 \0X \0", 9));
    EXPECT_EQ(scanned("a\x01" + b + "x" + b, {{b, "X"}}, words), "a\x01X" "x" + b);
    EXPECT_EQ(scanned("x" + b, {{b, "X"}}, words), "x" + b);
    EXPECT_EQ(scanned("x\x01" + b, {{b, "X"}}, words), "x\x01X");
}

// Many pairs that start at one place, as a, aa, ..., a x 32 do at every
// byte of a run of a: the word test is made once for each place, so the
// scan chooses among the pairs at most once a place however many of their
// occurrences it turns down there, and its work grows with the number of
// pairs, not with its square. What it replaces stays what the reference
// replaces, with words among the runs, at block sizes that cut them.
TEST_F(Matches, TestsWordsOnceForEachPlaceWhateverThePairsFoundThere) {
    Pairs pairs;
    Pairs units;
    for (std::size_t length = 1; length <= 32; ++length) {
        pairs.emplace_back(std::string(length, 'a'), "X");
        std::string unit_pattern;
        for (std::size_t i = 0; i < length; ++i) {
            unit_pattern += std::string("a\0", 2);
        }
        units.emplace_back(unit_pattern, "X");
    }
    Matching both = whole_words();
    both.ignore_case = true;
    Matching in_units = whole_words();
    in_units.units = Matching::Units::utf16le;
    std::string unit_input;
    for (std::size_t i = 0; i < 2048; ++i) {
        unit_input += std::string("a\0", 2);
    }
    const std::vector<std::pair<MatchingCase, std::string>> runs = {
        {{std::string(4096, 'a'), pairs, whole_words()}, "-w"},
        {{std::string(4096, 'A'), pairs, both}, "-i -w"},
        {{unit_input, units, in_units}, "-w, UTF-16LE"},
    };
    for (const auto& [made, label] : runs) {
        std::string output;
        const ScanOutcome outcome = scan(made.input, static_cast<std::int64_t>(made.input.size()),
                                         made.pairs, made.matching, made.input.size(), output);
        EXPECT_EQ(output, made.input) << label;
        EXPECT_LE(outcome.rounds, made.input.size() + 1) << label;
    }
    EXPECT_EQ(scanned("aaa a aa " + std::string(40, 'a') + " a_a", pairs, whole_words()),
              "X X X " + std::string(40, 'a') + " a_a");

    MatchingCaseMaker maker(7);
    for (unsigned seed = 0; seed < 200; ++seed) {
        MatchingCase made{"", pairs, whole_words()};
        made.matching.ignore_case = maker.below(2) == 0;
        while (made.input.size() < 300) {
            made.input += std::string(maker.below(40), "aA"[maker.below(2)]) + " _-"[maker.below(3)];
        }
        SCOPED_TRACE(::testing::Message() << "case " << seed << ": " << made.input);
        expect_reference(made, 1 + maker.below(64));
    }
}

// Standard input ends before the length the scan was given: the tail it
// carried, which the word test's byte after an occurrence makes longer, is
// searched to the input's real end, which counts as no word character.
TEST_F(Matches, TestsWordsUpToTheRealEndOfAnInputShorterThanItsLength) {
    std::string output;
    scan("a cat", 100, {{"cat", "dog"}}, whole_words(), 64, output);
    EXPECT_EQ(output, "a dog");
}

}  // namespace
