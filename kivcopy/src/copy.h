/* SPDX-License-Identifier: Zlib */
// The copy worker. It reports on the library's internal status scale, which
// starts at 5000 for success; result_of turns a status into the caller's
// result, for the export and the front end alike.
#ifndef KIVCOPY_COPY_H
#define KIVCOPY_COPY_H

#include <cstdint>

#include "platform.h"

namespace kivcopy {

enum class CopyStatus : int {
    copied = 5000,              // copied and stamped
    source_not_opened = 5005,   // the source cannot be opened for reading
    target_not_written = 5010,  // the target cannot be opened, written or closed
    source_not_read = 5011,     // the source's status or a block cannot be read
    target_in_use = 5032,       // KivInstallFile: the target is in use, and may not
                                // be replaced at the next restart
    target_exists = 5048,       // the target exists and may not be replaced
    times_not_set = 5074,       // the target's times cannot be set
};

// What replacing an existing target is allowed.
enum class ExistingTarget { keep, replace };

// Whether the copy shares the source's blocks (a reflink, where the file
// system keeps one block for both files until either is written): where it
// can (the export's way), always (a copy that cannot fails), or never (the
// copy gets blocks of its own, and the data moves without the kernel's
// copy, which may share them too).
enum class Sharing { when_possible, required, never };

// The caller's result for a status: 5000 gives 0, 5005 gives 10, and any
// other status s gives -s.
std::int32_t result_of(CopyStatus status);

CopyStatus copy_file(const platform::PathChar* source, const platform::PathChar* target,
                     ExistingTarget existing);

}  // namespace kivcopy

#endif
