// SPDX-License-Identifier: Zlib
// The library's exports.
#include "kivsubst.h"

#include <new>
#include <optional>
#include <type_traits>

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

// A path in the system's own form: on Windows a narrow path is text in the
// ANSI code page, and text that is not valid there names no path.
std::optional<kivsubst::Path> system_form(const char* path) {
    return kivsubst::platform::path_from_narrow(path);
}

#if defined(_WIN32)
std::optional<kivsubst::Path> system_form(const wchar_t* path) {
    return kivsubst::Path(path);
}
#endif

// Every export: the arguments checked, the path taken into the system's
// own form, then the substitution, and no exception let out. A path that
// names no path at all names no file (3), rather than a file guessed at.
template <typename PathChar>
int32_t replace(const PathChar* path, const void* pattern, int32_t pattern_length,
                const void* replacement, int32_t replacement_length) {
    if (path == nullptr ||
        !bytes_are_valid(pattern, pattern_length, replacement, replacement_length)) {
        return kivsubst::report::invalid_argument();
    }
    try {
        const std::optional<kivsubst::Path> converted = system_form(path);
        if constexpr (std::is_same_v<PathChar, char>) {
            if (!converted) {
                return kivsubst::report::cannot_open(path);  // only narrow text can name none
            }
        }
        return kivsubst::substitute(*converted, bytes_of(pattern, pattern_length),
                                    bytes_of(replacement, replacement_length));
    } catch (...) {
        // Only memory can run out inside a call (names are built in strings);
        // the temporary file, if any, has been removed on the way out.
        return kivsubst::report::no_memory();
    }
}

}  // namespace

extern "C" KIVSUBST_API int32_t KIVSUBST_CALL replaceString(const char* path, const void* pattern,
                                                            int32_t patternLength,
                                                            const void* replacement,
                                                            int32_t replacementLength) {
    return replace(path, pattern, patternLength, replacement, replacementLength);
}

#if defined(_WIN32)
extern "C" KIVSUBST_API int32_t KIVSUBST_CALL replaceStringW(const wchar_t* path,
                                                             const void* pattern,
                                                             int32_t patternLength,
                                                             const void* replacement,
                                                             int32_t replacementLength) {
    return replace(path, pattern, patternLength, replacement, replacementLength);
}
#endif
