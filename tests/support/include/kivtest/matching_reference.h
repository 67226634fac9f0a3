/* SPDX-License-Identifier: Zlib */
// The substitution with the front end's ways of matching beyond exact bytes
// (-i, -w, --max-count, and --utf16le's code units), as plainly as the
// sliding window: at each offset every pattern is compared byte by byte and
// its neighbours looked at, the longest that passes is replaced, and one
// byte is kept where none does. The scan, which folds blocks and searches
// them, must match it byte for byte: in the suites and in the scan fuzzer.
#ifndef KIVTEST_MATCHING_REFERENCE_H
#define KIVTEST_MATCHING_REFERENCE_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "kivtest/reference.h"

namespace kivtest {

struct ReferenceMatching {
    bool ignore_case = false;
    bool whole_words = false;
    bool utf16le = false;  // the patterns are whole UTF-16LE code units, found at even offsets
    std::size_t most = 0;  // 0: every occurrence
};

namespace reference_detail {

inline bool is_letter(unsigned char byte) {
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z');
}

inline bool is_word(unsigned char byte) {
    return is_letter(byte) || (byte >= '0' && byte <= '9') || byte == '_';
}

inline unsigned char small(unsigned char byte) {
    return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte + 32) : byte;
}

}  // namespace reference_detail

// Whether `pattern` occurs at `at` in `input` as `how` counts occurrences.
// Two bytes that differ match only as the two cases of one ASCII letter,
// and with UTF-16LE only where the pattern's code unit there is that
// letter's: the letter at an even place in the pattern, a zero byte after
// it. The word test looks at the byte, or the code unit, on either side.
inline bool occurs_at(const std::string& input, std::size_t at, const std::string& pattern,
                      const ReferenceMatching& how) {
    using namespace reference_detail;
    if (at > input.size() || input.size() - at < pattern.size() || (how.utf16le && at % 2 != 0)) {
        return false;
    }
    for (std::size_t k = 0; k < pattern.size(); ++k) {
        const auto found = static_cast<unsigned char>(input[at + k]);
        const auto wanted = static_cast<unsigned char>(pattern[k]);
        if (found == wanted) {
            continue;
        }
        const bool letter_unit =
            !how.utf16le || (k % 2 == 0 && k + 1 < pattern.size() && pattern[k + 1] == '\0');
        if (!how.ignore_case || !letter_unit || !is_letter(found) || !is_letter(wanted) ||
            small(found) != small(wanted)) {
            return false;
        }
    }
    if (!how.whole_words) {
        return true;
    }
    const std::size_t unit = how.utf16le ? 2 : 1;
    const auto word_unit = [&](std::size_t i) {
        return is_word(static_cast<unsigned char>(input[i])) && (unit == 1 || input[i + 1] == '\0');
    };
    const std::size_t end = at + pattern.size();
    if (at >= unit && word_unit(at - unit)) {
        return false;
    }
    return input.size() - end < unit || !word_unit(end);
}

// Every pair at once: at each offset the longest pattern that occurs there
// (the first given among equals), until `how.most` are replaced.
inline ReferenceResult reference_substitution(
    const std::string& input, const std::vector<std::pair<std::string, std::string>>& pairs,
    const ReferenceMatching& how) {
    const auto occurs = [&](std::size_t at, const std::string& pattern) {
        return occurs_at(input, at, pattern, how);
    };
    const auto more = [&how](const ReferenceResult& result) {
        return how.most == 0 || result.replacements < how.most;
    };
    return longest_at_each_offset(input, pairs, occurs, more);
}

}  // namespace kivtest

#endif
