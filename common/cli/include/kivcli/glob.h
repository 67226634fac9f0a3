/* SPDX-License-Identifier: Zlib */
// Shell wildcards on file names, the same on every system, for the front
// ends' --include and --exclude.
#ifndef KIVCLI_GLOB_H
#define KIVCLI_GLOB_H

#include <string>

namespace kivcli {

// Whether `name` matches `pattern`: '*' stands for any run of characters,
// '?' for any one, "[abc]", "[a-z]" and "[!abc]" for one of a set (or not),
// and '\' takes the character after it as it is. Bytes are compared as they
// are; a name's every character is matched, a leading '.' included.
bool glob_matches(const std::string& pattern, const std::string& name);

}  // namespace kivcli

#endif
