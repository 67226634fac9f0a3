// The library's one export. The copy status is turned into the caller's
// result here and nowhere else.
#include "kivcopy.h"

#include "copy.h"

extern "C" KIVCOPY_API int32_t KIVCOPY_CALL KivCopyFile(const char* source, const char* target,
                                                        int32_t overwrite) {
    using kivcopy::ExistingTarget;
    ExistingTarget existing = overwrite != 0 ? ExistingTarget::replace : ExistingTarget::keep;
    return kivcopy::result_of(kivcopy::copy_file(source, target, existing));
}
