// SPDX-License-Identifier: Zlib
// replaceText's encoder and aligned scan against a differential oracle: the
// text is made of code points, replaced among code points, and written with
// its mark by the tests' own codec; the library writes the pair in the
// file's encoding (by its mark, or named) and scans the file's bytes with
// the alignment that encoding asks for, at small block sizes. Both must
// give the same bytes and count. The code points are drawn from a few that
// make near misses: CJK units whose bytes spell ASCII letters at odd
// offsets, a letter beside them, a surrogate pair, U+FEFF, line ends.
//
// Input layout: [0] the form (which encoding, mark or none, named or by
// mark); [1] the block size, 1..256; [2] the pattern's length in code
// points, 1..4; [3] the replacement's, 0..4; then one code point a byte:
// the pattern's, the replacement's, then the file's text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "kivtest/text_reference.h"
#include "platform.h"
#include "text.h"
#include "text_scan.h"

#define CHECK(condition)                                                                      \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            std::fprintf(stderr, "text_fuzzer: %s failed (line %d)\n", #condition, __LINE__); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

namespace {

using kivsubst::text::Encoding;

const char32_t alphabet[] = {U'A', U'B', U'\u4100', U'\u4200', U'\u4142', U'\u0141', U'\u00e9',
                             U'\U0001F600', U'\uFEFF', U'\r', U'\n', U'\u0041'};

struct Form {
    Encoding named;   // what the call is given
    Encoding actual;  // what the file is
    std::string mark;
};

const Form forms[] = {
    {Encoding::from_mark, Encoding::utf8, ""},
    {Encoding::from_mark, Encoding::utf8, "\xEF\xBB\xBF"},
    {Encoding::from_mark, Encoding::utf16le, "\xFF\xFE"},
    {Encoding::from_mark, Encoding::utf16be, "\xFE\xFF"},
    {Encoding::utf8, Encoding::utf8, ""},
    {Encoding::utf16le, Encoding::utf16le, ""},
    {Encoding::utf16be, Encoding::utf16be, ""},
    {Encoding::utf16le, Encoding::utf16le, "\xFF\xFE"},
};

std::string reference_bytes(const std::u32string& text, Encoding encoding) {
    return encoding == Encoding::utf8 ? kivtest::utf8_of(text)
                                      : kivtest::utf16_bytes(text, encoding == Encoding::utf16be);
}

std::u32string code_points(const std::uint8_t* data, std::size_t size) {
    std::u32string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += alphabet[data[i] % (sizeof alphabet / sizeof alphabet[0])];
    }
    return text;
}

// The scratch files of this process, removed at exit.
struct Scratch {
    Scratch() {
        char made[] = "/tmp/kivsubst-text-fuzz-XXXXXX";
        CHECK(::mkdtemp(made) != nullptr);
        directory = made;
        input = directory + "/input";
        output = directory + "/output";
    }
    ~Scratch() {
        std::remove(input.c_str());
        std::remove(output.c_str());
        ::rmdir(directory.c_str());
    }
    std::string directory, input, output;
};

std::string read_all(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    CHECK(file != nullptr);
    std::string bytes;
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
        bytes.append(chunk, got);
    }
    std::fclose(file);
    return bytes;
}

// The encoder alone: strict UTF-8 in, each encoding out, as the codec says.
void check_encoder(const std::u32string& text) {
    const std::optional<std::u16string> units = kivsubst::text::from_utf8(kivtest::utf8_of(text).c_str());
    CHECK(units && *units == kivtest::utf16_of(text));
    for (Encoding encoding : {Encoding::utf8, Encoding::utf16le, Encoding::utf16be}) {
        CHECK(kivsubst::text::encode(*units, encoding) == reference_bytes(text, encoding));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Scratch scratch;
    if (size < 4) {
        return 0;
    }
    const Form& form = forms[data[0] % (sizeof forms / sizeof forms[0])];
    const std::size_t block_size = 1 + data[1];
    const std::size_t pattern_length = 1 + data[2] % 4;
    const std::size_t replacement_length = data[3] % 5;
    data += 4;
    size -= 4;
    if (size < pattern_length + replacement_length) {
        return 0;
    }
    const std::u32string pattern = code_points(data, pattern_length);
    const std::u32string replacement = code_points(data + pattern_length, replacement_length);
    const std::u32string text = code_points(data + pattern_length + replacement_length,
                                            size - pattern_length - replacement_length);
    check_encoder(pattern + replacement);
    // Text without a mark that starts with U+FEFF is, as bytes, a file with
    // a mark, which the call keeps out of the search: the mark's own case.
    if (form.mark.empty() && !text.empty() && text[0] == U'\uFEFF') {
        return 0;
    }

    const std::string before = form.mark + reference_bytes(text, form.actual);
    const std::u32string replaced = kivtest::replaced(text, pattern, replacement);
    const std::string expected = form.mark + reference_bytes(replaced, form.actual);
    std::uint64_t expected_count = 0;
    for (std::size_t at = text.find(pattern); at != std::u32string::npos;
         at = text.find(pattern, at + pattern.size())) {
        ++expected_count;
    }

    std::FILE* file = std::fopen(scratch.input.c_str(), "wb");
    CHECK(file != nullptr && std::fwrite(before.data(), 1, before.size(), file) == before.size());
    CHECK(std::fclose(file) == 0);
    std::remove(scratch.output.c_str());
    kivsubst::platform::File input = kivsubst::platform::File::open_for_reading(scratch.input);
    kivsubst::platform::Creation created = kivsubst::platform::Creation::failed;
    kivsubst::platform::File output =
        kivsubst::platform::File::create_new(scratch.output, created);
    CHECK(input.is_open() && created == kivsubst::platform::Creation::created);

    kivsubst::TextScanners scanners({{kivtest::utf16_of(pattern), kivtest::utf16_of(replacement)}},
                                    form.named, {}, block_size);
    kivsubst::TextScanners::Refusal refusal{};
    kivsubst::Scanner* scanner = scanners.for_input(input, refusal);
    CHECK(scanner != nullptr && scanners.encoding() == form.actual);
    const kivsubst::ScanOutcome outcome =
        scanner->run(input, static_cast<std::int64_t>(before.size()), output);
    CHECK(output.close());
    CHECK(outcome.kind == kivsubst::ScanOutcome::Kind::complete && outcome.valid_text);
    CHECK(outcome.replacements == expected_count);
    CHECK(read_all(scratch.output) == expected);
    return 0;
}
