/* SPDX-License-Identifier: Zlib */
// The hidden names that the system gives its own files beside a user's:
// every format is made, and recognised, here and nowhere else.
#ifndef KIVFS_HIDDEN_NAMES_H
#define KIVFS_HIDDEN_NAMES_H

#include <cstddef>
#include <cstdint>
#include <optional>
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

// The kinds of hidden name: a file staged to take the target's name
// ("new"), a target renamed aside while its name is empty ("was") or
// after its replacement took it ("old"), a front end's private
// directory made beside the entry it makes ("dir"), and a transaction's
// member staged beside its target ("txn"), which only the transaction's
// own recovery may rename or remove (its journal records it).
inline constexpr const char* staged_kind = "new";
inline constexpr const char* set_aside_kind = "was";
inline constexpr const char* old_kind = "old";
inline constexpr const char* private_directory_kind = "dir";
inline constexpr const char* transaction_kind = "txn";

// kivsubst's temporary file: "KIV" and a decimal number below
// numbered_names, without leading zeros, eight characters at most. The
// callers of replaceString know it by this name, so it stays as it is.
inline constexpr const char* numbered_kind = "KIV";
inline constexpr std::uint32_t numbered_names = 100000;
Path numbered_name(std::uint32_t number);

// What a name in a folder is, if it is one of the system's own: its kind
// (one of the *_kind above) and the name of
// the target it was made for (empty for a numbered name; a cut NAME keeps
// its marking "." at the end, and names no target whole).
struct HiddenName {
    const char* kind = nullptr;
    Path target;
    bool is(const char* other) const;
    // Whether NAME was cut to fit, so that the target's whole name is lost.
    bool target_is_cut() const;
};
std::optional<HiddenName> parse_hidden_name(const Path& name);

// How many of `name`'s first units, at most `most`, can be kept without
// splitting a character: a UTF-8 sequence (a POSIX name) or a UTF-16
// surrogate pair (a Windows name).
std::size_t whole_characters(const std::string& name, std::size_t most);
std::size_t whole_characters(const std::wstring& name, std::size_t most);

}  // namespace kivfs

#endif
