/* SPDX-License-Identifier: Zlib */
// The substitution as a window of n bytes that slides one byte at a time:
// slow (a shift per byte) but plain enough to trust. The library's output
// must match it byte for byte: in the suites, the crash harness and the
// scan fuzzer.
#ifndef KIVTEST_REFERENCE_H
#define KIVTEST_REFERENCE_H

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace kivtest {

struct ReferenceResult {
    std::string output;
    std::size_t replacements = 0;
};

inline ReferenceResult reference_substitution(const std::string& input, const std::string& pattern,
                                              const std::string& replacement) {
    const std::size_t n = pattern.size();
    const std::size_t length = input.size();
    std::string window(n, '\0');
    ReferenceResult result;
    std::size_t consumed = 0;
    std::size_t held = std::min(n - 1, length);  // window bytes read, not yet written
    for (std::size_t i = 0; i < held; ++i) {
        window[i] = input[consumed++];
    }
    while (consumed < length) {
        window[n - 1] = input[consumed++];
        if (window == pattern) {
            result.output += replacement;
            ++result.replacements;
            held = std::min(n - 1, length - consumed);
            for (std::size_t i = 0; i < held; ++i) {
                window[i] = input[consumed++];
            }
        } else {
            result.output += window[0];
            std::memmove(&window[0], &window[1], n - 1);
            held = n - 1;
        }
    }
    result.output.append(window, 0, held);
    return result;
}

// Several pairs at once, as plainly: at each position the longest pattern
// that `occurs` there (the first given among equals) is replaced and the
// search goes on after it, while `more` allows another replacement; where
// none is replaced, one byte is kept.
template <typename Occurs, typename More>
ReferenceResult longest_at_each_offset(
    const std::string& input, const std::vector<std::pair<std::string, std::string>>& pairs,
    Occurs occurs, More more) {
    ReferenceResult result;
    std::size_t at = 0;
    while (at < input.size()) {
        const std::pair<std::string, std::string>* best = nullptr;
        for (const auto& pair : pairs) {
            if (more(result) && (best == nullptr || pair.first.size() > best->first.size()) &&
                occurs(at, pair.first)) {
                best = &pair;
            }
        }
        if (best == nullptr) {
            result.output += input[at++];
            continue;
        }
        result.output += best->second;
        ++result.replacements;
        at += best->first.size();
    }
    return result;
}

inline ReferenceResult reference_substitution(
    const std::string& input, const std::vector<std::pair<std::string, std::string>>& pairs) {
    const auto exact = [&input](std::size_t at, const std::string& pattern) {
        return input.compare(at, pattern.size(), pattern) == 0;
    };
    return longest_at_each_offset(input, pairs, exact, [](const ReferenceResult&) { return true; });
}

}  // namespace kivtest

#endif
