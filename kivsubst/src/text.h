/* SPDX-License-Identifier: Zlib */
// Text in a file's own encoding: the encodings replaceText knows, how a
// byte-order mark names one, the caller's text written in one, and the
// check that a file without a mark is UTF-8 throughout.
#ifndef KIVSUBST_TEXT_H
#define KIVSUBST_TEXT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kivsubst::text {

// The values of replaceText's `encoding` argument.
enum class Encoding : std::int32_t {
    from_mark = 0,  // the file's byte-order mark says; none: UTF-8 if all of it is
    utf8 = 1,
    utf16le = 2,
    utf16be = 3,
    ansi = 4,  // the ANSI code page (Windows)
};

// Whether `value` is one of the encodings above.
bool is_encoding(std::int32_t value);

// A byte-order mark at a file's start: the encoding it names and its
// length, or no encoding and length 0 where the bytes are none.
struct Mark {
    std::optional<Encoding> encoding;
    std::size_t length = 0;
};
// The longest mark, the bytes to read to tell one.
constexpr std::size_t longest_mark = 3;
Mark mark_of(const unsigned char* head, std::size_t size);

// Whether a file that begins with `mark` cannot be in the encoding `named`
// (not from_mark): it carries another encoding's mark. Only the UTF-8 mark
// under a UTF-16 name does not count, since its bytes begin ordinary
// UTF-16 text too; FF FE and FE FF begin no text in UTF-8, in the other
// byte order (U+FFFE is no character) or, in practice, in a code page.
bool contradicts(const Mark& mark, Encoding named);

// An encoding's name, and its mark's bytes in hex, as messages give them.
const char* name_of(Encoding encoding);
const char* mark_bytes_of(Encoding encoding);

// The caller's text as UTF-16 code units, taken strictly: none when UTF-8
// text is not valid UTF-8 (an overlong form, an encoded surrogate, a cut
// sequence) or UTF-16 text holds a surrogate without its other half.
std::optional<std::u16string> from_utf8(const char* text);
std::optional<std::u16string> from_utf16(const char16_t* text);

// Text written in `encoding` (not from_mark), byte for byte as the file
// holds it; none when it cannot be written there (a character outside the
// ANSI code page, or no ANSI code page at all).
std::optional<std::string> encode(const std::u16string& text, Encoding encoding);

// Checks that a byte stream is UTF-8 throughout, given in pieces of any
// size: a sequence cut between two pieces is carried over.
class Utf8Check {
public:
    // False once anything seen so far cannot begin valid UTF-8.
    bool feed(const unsigned char* bytes, std::size_t size);
    // Whether everything fed was valid UTF-8 and no sequence is left open.
    bool complete() const { return valid_ && needed_ == 0; }

private:
    bool valid_ = true;
    int needed_ = 0;                 // continuation bytes still to come
    unsigned char low_ = 0x80;       // the next continuation byte's bounds, which
    unsigned char high_ = 0xBF;      // exclude overlong forms and surrogates
};

}  // namespace kivsubst::text

#endif
