// SPDX-License-Identifier: Zlib
// The library's one export: arguments checked, and no exception let out.
#include "kivsubst.h"

#include <new>

#include "bytes.h"
#include "report.h"
#include "substitute.h"

namespace {

bool arguments_are_valid(const char* path, const void* pattern, int32_t pattern_length,
                         const void* replacement, int32_t replacement_length) {
    return path != nullptr && pattern != nullptr && pattern_length >= 1 &&
           replacement_length >= 0 && (replacement != nullptr || replacement_length == 0);
}

kivsubst::Bytes bytes_of(const void* data, int32_t length) {
    static const unsigned char nothing = 0;
    if (data == nullptr) {
        return {&nothing, 0};
    }
    return {static_cast<const unsigned char*>(data), static_cast<std::size_t>(length)};
}

}  // namespace

extern "C" KIVSUBST_API int32_t KIVSUBST_CALL replaceString(const char* path, const void* pattern,
                                                            int32_t patternLength,
                                                            const void* replacement,
                                                            int32_t replacementLength) {
    if (!arguments_are_valid(path, pattern, patternLength, replacement, replacementLength)) {
        return kivsubst::report::invalid_argument();
    }
    try {
        return kivsubst::substitute(path, bytes_of(pattern, patternLength),
                                    bytes_of(replacement, replacementLength));
    } catch (...) {
        // Only memory can run out inside a call (names are built in strings);
        // the temporary file, if any, has been removed on the way out.
        return kivsubst::report::no_memory();
    }
}
