/* SPDX-License-Identifier: Zlib */
// The text that the reliability suites patch.
#ifndef KIV_PLANTED_TEXT_H
#define KIV_PLANTED_TEXT_H

#include <cstddef>
#include <random>
#include <string>

namespace kivtest {

// A file of `size` bytes of lower-case text with `pattern` every 40 to 200
// bytes; the same for every run.
inline std::string planted_text(std::size_t size, const std::string& pattern) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> letter('a', 'z');
    std::uniform_int_distribution<std::size_t> gap(40, 200);
    std::string text;
    text.reserve(size);
    while (text.size() < size) {
        for (std::size_t run = gap(random); run > 0; --run) {
            text += static_cast<char>(letter(random));
        }
        text += pattern;
    }
    text.resize(size);
    return text;
}

}  // namespace kivtest

#endif
