/* SPDX-License-Identifier: Zlib */
// The hidden names that the system gives its own files beside a user's:
// every format is made, and recognised, here and nowhere else.
#ifndef KIVFS_HIDDEN_NAMES_H
#define KIVFS_HIDDEN_NAMES_H

#include <cstddef>
#include <string>

#include "kivcommon/types.h"

namespace kivfs {

using kivcommon::Path;

// A hidden name beside the target's for a file of the install's own:
// ".NAME.kiv-KIND-" and 16 hex digits that differ from call to call, so
// that a name taken by someone else is only met by chance, and then
// passed over (every such file is created exclusively or renamed to
// without replacing). Where that would pass the longest name a file
// system keeps (255 bytes, or UTF-16 units on Windows), NAME is cut to
// whole characters and followed by a "." that marks it as cut:
// ".NAM..kiv-KIND-" and the digits. No target's name on Windows ends in
// a ".", so a cut NAME is never taken for a whole one there.
Path hidden_name_for(const Path& target_name, const char* kind);

// hidden_name_for's name without its 16 digits: what every hidden name of
// that kind for the target begins with.
Path hidden_stem_for(const Path& target_name, const char* kind);

// How many of `name`'s first units, at most `most`, can be kept without
// splitting a character: a UTF-8 sequence (a POSIX name) or a UTF-16
// surrogate pair (a Windows name).
std::size_t whole_characters(const std::string& name, std::size_t most);
std::size_t whole_characters(const std::wstring& name, std::size_t most);

}  // namespace kivfs

#endif
