/* SPDX-License-Identifier: Zlib */
// Names as both front ends show them in messages. A file name can hold any
// byte but the separator and NUL, so it is never printed as it is: control
// bytes in it would reach the terminal or log of whoever runs the program
// (often root), where they can move the cursor, recolour, retitle, or forge
// whole lines.
#ifndef KIVCLI_QUOTE_H
#define KIVCLI_QUOTE_H

#include <string>

namespace kivcli {

// A name quoted as a shell would take it back: 'name' for a name of
// printable characters (a single quote in it written '\''), and for a name
// with anything else the shell's $'...' form for those bytes, between
// quoted runs of the rest: 'x'$'\033''[2J'. Printable means printable
// ASCII, and where the locale's character set is UTF-8, printable UTF-8
// characters too; control characters (C0, DEL, C1) and bytes that are not
// whole UTF-8 characters are always escaped.
std::string quoted(const std::string& name);

// The same, for a locale whose character set is or is not UTF-8.
std::string quoted(const std::string& name, bool utf8_locale);

}  // namespace kivcli

#endif
