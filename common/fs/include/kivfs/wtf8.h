/* SPDX-License-Identifier: Zlib */
// UTF-16 names carried in 8-bit strings without loss. Windows names are
// sequences of 16-bit units that need not be valid UTF-16 (a lone surrogate
// is a valid name); the front ends hold them as WTF-8, which is UTF-8 for
// every valid name and encodes a lone surrogate as UTF-8 would encode its
// code point, so that the exact name comes back at the system's wide
// functions, and the options, quoting and messages stay the same code on
// every system.
#ifndef KIVFS_WTF8_H
#define KIVFS_WTF8_H

#include <string>

namespace kivfs {

// UTF-16 units as WTF-8.
std::string wtf8_from_utf16(const std::u16string& units);

// WTF-8 (UTF-8 included) as UTF-16 units; false, with `units` holding what
// came before, for bytes that are no WTF-8 (a stray continuation byte, an
// overlong form, a code point above U+10FFFF, or a surrogate pair written
// as two three-byte forms).
bool utf16_from_wtf8(const std::string& text, std::u16string& units);

#if defined(_WIN32)
// The same for the system's wide strings (UTF-16 units on Windows); empty
// for text that is no WTF-8, which names nothing.
inline std::wstring wide_from_wtf8(const std::string& text) {
    std::u16string units;
    return utf16_from_wtf8(text, units) ? std::wstring(units.begin(), units.end())
                                        : std::wstring();
}
inline std::string wtf8_from_wide(const std::wstring& wide) {
    return wtf8_from_utf16(std::u16string(wide.begin(), wide.end()));
}
#endif

}  // namespace kivfs

#endif
