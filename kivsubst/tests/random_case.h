/* SPDX-License-Identifier: Zlib */
// Random substitution cases that are hard on the scan: small alphabets so
// that near-matches abound, self-overlapping patterns, occurrences planted
// next to each other and across block edges, NUL bytes, and files shorter
// than the pattern.
#ifndef KIVSUBST_TESTS_RANDOM_CASE_H
#define KIVSUBST_TESTS_RANDOM_CASE_H

#include <random>
#include <string>

namespace kivtest {

struct SubstitutionCase {
    std::string input;
    std::string pattern;
    std::string replacement;
};

class CaseMaker {
public:
    explicit CaseMaker(unsigned seed) : random_(seed) {}

    // A case whose input is about `length` bytes long.
    SubstitutionCase make(std::size_t length) {
        const std::string alphabet = pick_alphabet();
        SubstitutionCase made;
        made.pattern = make_pattern(alphabet);
        made.replacement = make_replacement(alphabet, made.pattern.size());
        made.input = text(alphabet, length);
        plant(made.input, made.pattern);
        return made;
    }

    std::size_t below(std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_);
    }

private:
    std::string pick_alphabet() {
        static const std::string alphabets[] = {
            "a", "ab", std::string("a\0", 2), "abc", std::string("\0\xff\x01\x80", 4)};
        return alphabets[below(sizeof alphabets / sizeof alphabets[0])];
    }

    std::string text(const std::string& alphabet, std::size_t length) {
        std::string made(length, '\0');
        for (char& byte : made) {
            byte = alphabet[below(alphabet.size())];
        }
        return made;
    }

    // Short patterns most of the time, long ones up to 300 bytes now and
    // then; some are periodic, such as "aa" and "aba", so occurrences overlap.
    std::string make_pattern(const std::string& alphabet) {
        std::size_t size = below(4) == 0 ? 1 + below(300) : 1 + below(6);
        if (below(3) == 0) {
            std::string period = text(alphabet, 1 + below(3));
            std::string made;
            while (made.size() < size) {
                made += period;
            }
            return made.substr(0, size);
        }
        return text(alphabet, size);
    }

    std::string make_replacement(const std::string& alphabet, std::size_t pattern_size) {
        switch (below(4)) {
            case 0:
                return "";
            case 1:
                return text(alphabet, below(pattern_size + 1));
            case 2:
                return text(alphabet, pattern_size + 1 + below(40));
            default:
                return text(alphabet, pattern_size);
        }
    }

    // Copies of the pattern at random places, some of them touching.
    void plant(std::string& input, const std::string& pattern) {
        if (input.size() < pattern.size()) {
            return;
        }
        std::size_t copies = below(8);
        for (std::size_t i = 0; i < copies; ++i) {
            std::size_t at = below(input.size() - pattern.size() + 1);
            input.replace(at, pattern.size(), pattern);
            if (below(2) == 0 && at + 2 * pattern.size() <= input.size()) {
                input.replace(at + pattern.size(), pattern.size(), pattern);
            }
        }
    }

    std::mt19937 random_;
};

}  // namespace kivtest

#endif
