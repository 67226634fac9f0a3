/* SPDX-License-Identifier: Zlib */
// The write-back: the temporary file's bytes copied over the file.
#ifndef KIVSUBST_WRITEBACK_H
#define KIVSUBST_WRITEBACK_H

#include <cstddef>
#include <cstdint>

#include "platform.h"

namespace kivsubst {

// Copies the `length` bytes of `temporary` over `file`, opened for writing,
// through `buffer`, puts back the `privileges` that the writes stripped and,
// if `sync`, makes it all durable (else the caller does, for many files at
// once). The file is overwritten in place, never replaced by a rename, so
// that it keeps its identity, owner, mode and links, and so that the
// temporary file may lie on another file system. Returns false on any
// failure.
bool write_back(platform::File& temporary, std::int64_t length, platform::File& file,
                const platform::Privileges& privileges, unsigned char* buffer,
                std::size_t buffer_size, bool sync);

}  // namespace kivsubst

#endif
