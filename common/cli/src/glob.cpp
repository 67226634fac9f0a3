// SPDX-License-Identifier: Zlib
#include "kivcli/glob.h"

namespace kivcli {
namespace {

// Whether `c` is in the set that starts at pattern[at] (just after '['),
// and where the set ends (just after ']'); npos for an unclosed set, which
// is then taken as a plain '['.
std::size_t match_set(const std::string& pattern, std::size_t at, char c, bool& in_set) {
    const bool negated = at < pattern.size() && (pattern[at] == '!' || pattern[at] == '^');
    if (negated) {
        ++at;
    }
    bool found = false;
    bool first = true;
    while (at < pattern.size() && (first || pattern[at] != ']')) {
        first = false;
        char low = pattern[at];
        if (low == '\\' && at + 1 < pattern.size()) {
            low = pattern[++at];
        }
        char high = low;
        if (at + 2 < pattern.size() && pattern[at + 1] == '-' && pattern[at + 2] != ']') {
            high = pattern[at + 2];
            at += 2;
        }
        const auto byte = static_cast<unsigned char>(c);
        found = found || (byte >= static_cast<unsigned char>(low) &&
                          byte <= static_cast<unsigned char>(high));
        ++at;
    }
    if (at >= pattern.size()) {
        return std::string::npos;
    }
    in_set = found != negated;
    return at + 1;
}

}  // namespace

// Matches from left to right; on a mismatch after a '*', the '*' takes one
// more character and matching resumes after it. Only the last '*' needs
// remembering, so the time is at most the product of the two lengths.
bool glob_matches(const std::string& pattern, const std::string& name) {
    std::size_t p = 0;
    std::size_t n = 0;
    std::size_t star = std::string::npos;  // just after the last '*' seen
    std::size_t resume = 0;                // where that '*' would take over in the name
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = ++p;
            resume = n;
            continue;
        }
        if (p < pattern.size()) {
            std::size_t next = std::string::npos;
            bool matched = false;
            if (pattern[p] == '?') {
                matched = true;
                next = p + 1;
            } else if (pattern[p] == '[') {
                next = match_set(pattern, p + 1, name[n], matched);
            }
            if (next == std::string::npos) {
                std::size_t literal = p;
                if (pattern[p] == '\\' && p + 1 < pattern.size()) {
                    ++literal;
                }
                matched = pattern[literal] == name[n];
                next = literal + 1;
            }
            if (matched) {
                p = next;
                ++n;
                continue;
            }
        }
        if (star == std::string::npos) {
            return false;
        }
        p = star;
        n = ++resume;
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

}  // namespace kivcli
