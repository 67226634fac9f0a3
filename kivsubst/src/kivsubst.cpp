// SPDX-License-Identifier: Zlib
// The library's exports: arguments checked, the path taken into the
// system's own form, and no exception let out.
#include "kivsubst.h"

#include <new>
#include <optional>

#include "bytes.h"
#include "platform.h"
#include "report.h"
#include "substitute.h"

namespace {

bool bytes_are_valid(const void* pattern, int32_t pattern_length, const void* replacement,
                     int32_t replacement_length) {
    return pattern != nullptr && pattern_length >= 1 && replacement_length >= 0 &&
           (replacement != nullptr || replacement_length == 0);
}

kivsubst::Bytes bytes_of(const void* data, int32_t length) {
    static const unsigned char nothing = 0;
    if (data == nullptr) {
        return {&nothing, 0};
    }
    return {static_cast<const unsigned char*>(data), static_cast<std::size_t>(length)};
}

// Runs the substitution on a path in the system's own form.
int32_t substitute(const kivsubst::Path& path, const void* pattern, int32_t pattern_length,
                   const void* replacement, int32_t replacement_length) {
    try {
        return kivsubst::substitute(path, bytes_of(pattern, pattern_length),
                                    bytes_of(replacement, replacement_length));
    } catch (...) {
        // Only memory can run out inside a call (names are built in strings);
        // the temporary file, if any, has been removed on the way out.
        return kivsubst::report::no_memory();
    }
}

}  // namespace

// On Windows the narrow path is text in the ANSI code page; text that is
// not valid there names no file (3), rather than a file guessed at.
extern "C" KIVSUBST_API int32_t KIVSUBST_CALL replaceString(const char* path, const void* pattern,
                                                            int32_t patternLength,
                                                            const void* replacement,
                                                            int32_t replacementLength) {
    if (path == nullptr ||
        !bytes_are_valid(pattern, patternLength, replacement, replacementLength)) {
        return kivsubst::report::invalid_argument();
    }
    std::optional<kivsubst::Path> converted;
    try {
        converted = kivsubst::platform::path_from_narrow(path);
    } catch (...) {
        return kivsubst::report::no_memory();
    }
    if (!converted) {
        return kivsubst::report::cannot_open(path);
    }
    return substitute(*converted, pattern, patternLength, replacement, replacementLength);
}

#if defined(_WIN32)
extern "C" KIVSUBST_API int32_t KIVSUBST_CALL replaceStringW(const wchar_t* path,
                                                             const void* pattern,
                                                             int32_t patternLength,
                                                             const void* replacement,
                                                             int32_t replacementLength) {
    if (path == nullptr ||
        !bytes_are_valid(pattern, patternLength, replacement, replacementLength)) {
        return kivsubst::report::invalid_argument();
    }
    try {
        return substitute(kivsubst::Path(path), pattern, patternLength, replacement,
                          replacementLength);
    } catch (...) {
        return kivsubst::report::no_memory();
    }
}
#endif
