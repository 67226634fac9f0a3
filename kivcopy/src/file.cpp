// SPDX-License-Identifier: Zlib
// Reading, writing and closing an open file: the same on every system,
// through the project's retried transfers.
#include <utility>

#include "kivcommon/io.h"
#include "platform.h"

namespace kivcopy::platform {

std::ptrdiff_t File::read_some(void* buffer, std::size_t size) {
    return kivcommon::read_some(handle_, buffer, size);
}

bool File::write_all(const void* bytes, std::size_t size) {
    return kivcommon::write_all(handle_, bytes, size);
}

bool File::close() {
    return !std::exchange(open_, false) || kivcommon::close_handle(handle_);
}

}  // namespace kivcopy::platform
