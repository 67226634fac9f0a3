/* SPDX-License-Identifier: Zlib */
// Turning a command-line argument into the raw bytes kivsubst searches for or
// writes. A shell cannot pass NUL bytes or arbitrary binary in an argument,
// so the argument is an encoding of the bytes rather than the bytes
// themselves.
#ifndef KIVSUBST_CLI_BYTES_ARGUMENT_H
#define KIVSUBST_CLI_BYTES_ARGUMENT_H

#include <string>

namespace kivsubst_cli {

enum class Encoding {
    // Text taken byte for byte, with the escapes \xHH (two hex digits), \0,
    // \n, \r, \t and \\ for bytes that are awkward to type.
    escaped_text,
    // Hex digits, two per byte, in either case; spaces may separate the bytes.
    hex,
    // Escaped text as above that must then be UTF-8; each character becomes
    // its UTF-16LE code units (a surrogate pair above U+FFFF), with no byte
    // order mark, to match text stored as UTF-16LE.
    utf16le,
};

// Whether backslash escapes are decoded in text (the default), or the text
// is taken byte for byte (-F), as a path such as C:\new\tools must be.
enum class Escapes { decoded, literal };

// How the characters of text (everything of escaped_text but its escapes)
// become bytes: the argument's own bytes where the system passes arguments
// as bytes, or, on Windows, where arguments arrive as UTF-16, the bytes of
// a code page. False, with the reason, for text that has no such bytes.
using TextBytes = bool (*)(const std::string& text, std::string& bytes, std::string& error);

// Decodes `argument` into `bytes`. On failure returns false, leaves `bytes`
// holding partial output and puts a one-line reason, without a line feed, in
// `error`. `escapes` applies to text (escaped_text and utf16le); `text`, where
// given, to the characters of escaped_text.
bool decode_argument(const std::string& argument, Encoding encoding, std::string& bytes,
                     std::string& error, Escapes escapes = Escapes::decoded,
                     TextBytes text = nullptr);

}  // namespace kivsubst_cli

#endif
