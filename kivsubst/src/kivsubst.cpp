// SPDX-License-Identifier: Zlib
// The library's exports.
#include "kivsubst.h"

#include <new>
#include <optional>
#include <string>
#include <type_traits>

#include "bytes.h"
#include "platform.h"
#include "report.h"
#include "substitute.h"
#include "text.h"

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

// The caller's text as UTF-16: UTF-8 from the narrow export, UTF-16 from
// the wide one; none when it is not valid text.
std::optional<std::u16string> text_of(const char* text) {
    return kivsubst::text::from_utf8(text);
}

#if defined(_WIN32)
std::optional<std::u16string> text_of(const wchar_t* text) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wide strings");
    std::u16string units(text, text + std::char_traits<wchar_t>::length(text));
    return kivsubst::text::from_utf16(units.c_str());
}
#endif

// The arguments of a text export: the pointers set, a pattern of at least
// one character, and an encoding this system can write.
template <typename Char>
bool text_arguments_are_valid(const Char* path, const Char* pattern, const Char* replacement,
                              int32_t encoding) {
    return path != nullptr && pattern != nullptr && replacement != nullptr &&
           pattern[0] != 0 && kivsubst::text::is_encoding(encoding) &&
           (encoding != static_cast<int32_t>(kivsubst::text::Encoding::ansi) ||
            kivsubst::platform::has_ansi_code_page);
}

// Both text exports: as replace(), with the text taken strictly first, so
// that text that is not valid (9) never reaches the file.
template <typename Char>
int32_t replace_text(const Char* path, const Char* pattern, const Char* replacement,
                     int32_t encoding) {
    if (!text_arguments_are_valid(path, pattern, replacement, encoding)) {
        return kivsubst::report::invalid_argument();
    }
    try {
        const std::optional<kivsubst::Path> converted = system_form(path);
        if constexpr (std::is_same_v<Char, char>) {
            if (!converted) {
                return kivsubst::report::cannot_open(path);
            }
        }
        std::optional<std::u16string> old_text = text_of(pattern);
        std::optional<std::u16string> new_text = text_of(replacement);
        if (!old_text || !new_text) {
            return kivsubst::report::bad_encoding(*converted);
        }
        return kivsubst::substitute_text(*converted, {std::move(*old_text), std::move(*new_text)},
                                         static_cast<kivsubst::text::Encoding>(encoding));
    } catch (...) {
        return kivsubst::report::no_memory();
    }
}

}  // namespace

extern "C" KIVSUBST_API int32_t KIVSUBST_CALL replaceText(const char* path, const char* pattern,
                                                          const char* replacement,
                                                          int32_t encoding) {
    return replace_text(path, pattern, replacement, encoding);
}

#if defined(_WIN32)
extern "C" KIVSUBST_API int32_t KIVSUBST_CALL replaceTextW(const wchar_t* path,
                                                           const wchar_t* pattern,
                                                           const wchar_t* replacement,
                                                           int32_t encoding) {
    return replace_text(path, pattern, replacement, encoding);
}
#endif

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
