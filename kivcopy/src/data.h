/* SPDX-License-Identifier: Zlib */
// Moving a copy's data from the open source to the open target.
#ifndef KIVCOPY_DATA_H
#define KIVCOPY_DATA_H

#include <cstddef>
#include <cstdint>

#include "copy.h"
#include "platform.h"

namespace kivcopy {

// The block buffer's size: the most that one read or write moves when a
// copy's data pass through the process.
constexpr std::size_t block_size = platform::transfer_size;

// A run of data this long or longer has its room reserved before it is
// moved (File::reserve). Below it the reservation's own call costs more
// than it saves: 1-8 KiB files were copied a tenth slower with it, 256 KiB
// files a tenth faster (ext4).
constexpr std::int64_t reserved_run = std::int64_t{256} * 1024;

// How moving the data went.
struct MovedData {
    CopyStatus status = CopyStatus::copied;  // copied, or why the data did not all arrive
    bool written_out = false;      // the last gathered bytes reached the target too
    bool sharing_refused = false;  // blocks could not be shared where that was required
};

// Copies the source's data into the target, from both files' start,
// sharing blocks as `sharing` says. The target ends with the source's
// bytes, holes and size. Calls on several threads at once each move their
// data through a block buffer of their own.
MovedData move_data(platform::Source& source, platform::File& target, Sharing sharing);

}  // namespace kivcopy

#endif
