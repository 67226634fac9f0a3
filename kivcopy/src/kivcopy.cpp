// SPDX-License-Identifier: Zlib
// The library's one export. The copy status is turned into the caller's
// result here and nowhere else.
#include "kivcopy.h"

#include "copy.h"

namespace {

// The caller's result for a status: 5000 gives 0, 5005 gives 10, and any
// other status s gives -s.
int32_t result_of(kivcopy::CopyStatus status) {
    switch (status) {
        case kivcopy::CopyStatus::copied:
            return KIVCOPY_OK;
        case kivcopy::CopyStatus::source_not_opened:
            return KIVCOPY_SOURCE_NOT_OPENED;
        default:
            return -static_cast<int32_t>(status);
    }
}

}  // namespace

extern "C" KIVCOPY_API int32_t KIVCOPY_CALL KivCopyFile(const char* source, const char* target,
                                                        int32_t overwrite) {
    using kivcopy::ExistingTarget;
    ExistingTarget existing = overwrite != 0 ? ExistingTarget::replace : ExistingTarget::keep;
    return result_of(kivcopy::copy_file(source, target, existing));
}
