/* SPDX-License-Identifier: Zlib */
// KivFileVersion's worker: the version reader (pe_version.h) over a file
// opened as a copy's source is, read through its handle a few bytes at a
// time, never whole.
#ifndef KIVCOPY_FILE_VERSION_H
#define KIVCOPY_FILE_VERSION_H

#include <cstdint>

#include "pe_version.h"
#include "platform.h"

namespace kivcopy {

// The version of the file at `path`, or why there is none; `version` is
// set only when it is found. A file that cannot be opened, or whose bytes
// cannot be read, is unreadable.
pe::VersionRead file_version(const platform::PathChar* path, pe::FileVersion& version);
// The same for a file open for reading, of `size` bytes.
pe::VersionRead file_version(kivfs::File& file, std::int64_t size, pe::FileVersion& version);

// The caller's result for a version read: 0, 1 (none), 2 (malformed), or
// 10 (not opened or not read).
std::int32_t version_result_of(pe::VersionRead outcome);

}  // namespace kivcopy

#endif
