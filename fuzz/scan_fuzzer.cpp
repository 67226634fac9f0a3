// SPDX-License-Identifier: Zlib
// The scan, run over real files, against the sliding-window reference; and
// the two-way search against std::search. The unit tests draw their cases
// from one random recipe; the fuzzer instead steers pattern, replacement,
// block size and body by coverage, which reaches the corners (carried tails,
// periodic patterns, matches on block edges) that a recipe may miss.
//
// Input layout: 8 header bytes, then the pattern, the replacement and the
// body, each taken in turn from what remains.
//   [0]    bits 0-1: alphabet (all 256 bytes, or bytes folded into 2, 3 or
//          1 values, so that occurrences and near misses are dense);
//          bits 2-3: how the scanned length relates to the file's length;
//          bits 4-7: 0 for a body of plain bytes. Otherwise each body byte
//          from 0x80 up stands for a piece of the pattern (see build_body),
//          and below 15 the value is also a period that the pattern repeats:
//          near misses of long, periodic patterns, which the two-way search
//          treats apart and random bytes almost never produce.
//   [1-2]  pattern length, 1..300 (both sides of the 64-byte switch from
//          memmem to our own two-way search)
//   [3-4]  replacement length, 0..300
//   [5-6]  block size, 1..4096, from the low 12 bits; the top 4 bits ask
//          for matching beyond exact bytes, as the front end's options do:
//          bit 12 ignore case, 13 whole words, 14 UTF-16LE code units (an
//          odd pattern gets a zero byte more), 15 a most to replace (the
//          low 3 bits of [7], 0 for none) and, when bit 3 of [7] is set, a
//          second pair whose pattern is a prefix of the first. With any of
//          them, bytes fold into "aA" or "aA\0" rather than 0-2, so that
//          letters of both cases and their neighbours abound, and every
//          second piece of the pattern planted in a structured body has its
//          letters' case flipped.
//   [7]    how far the scanned length is shortened or lengthened
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform.h"
#include "kivtest/matching_reference.h"
#include "kivtest/reference.h"
#include "scan.h"
#include "search.h"

#define CHECK(condition)                                                                      \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            std::fprintf(stderr, "scan_fuzzer: %s failed (line %d)\n", #condition, __LINE__); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

namespace {

using kivsubst::Bytes;
using kivsubst::Scanner;
using kivsubst::ScanOutcome;
using kivsubst::TwoWaySearch;
using kivsubst::platform::Creation;
using kivsubst::platform::File;

// One directory per process, made once and removed at exit, so that runs side
// by side never share files. Memory-backed when /dev/shm is there, so that
// millions of runs do not wear a disk.
class Scratch {
public:
    Scratch() {
        std::string base = "/dev/shm";
        if (::access(base.c_str(), W_OK | X_OK) != 0) {
            const char* tmpdir = std::getenv("TMPDIR");
            base = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
        }
        std::string made = base + "/kivsubst-fuzz-XXXXXX";
        if (::mkdtemp(made.data()) == nullptr) {
            std::perror("scan_fuzzer: mkdtemp");
            std::abort();
        }
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

// An empty vector's data may be null, but the export never hands the scan a
// null pointer (an empty replacement points at a byte of its own), and the
// scan relies on that when it copies zero bytes.
Bytes bytes_of(const std::vector<unsigned char>& v) {
    static const unsigned char nothing = 0;
    return {v.empty() ? &nothing : v.data(), v.size()};
}

// The file is written and read back with stdio, not the platform layer under
// test, so that a fault there cannot hide itself.
void write_file(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    CHECK(file != nullptr);
    CHECK(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
    CHECK(std::fclose(file) == 0);
}

std::string read_file(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    CHECK(file != nullptr);
    std::string text;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, got);
    }
    std::fclose(file);
    return text;
}

// Every start offset up to this bound is searched from; beyond it the cost
// (a search per start) would slow the fuzzer more than it finds.
constexpr std::size_t search_starts = 256;

// The first occurrence at or after each start must be the one std::search
// finds. The body is its own exact-size allocation, so a search that reads a
// byte past `to` trips AddressSanitizer.
void check_search(const std::vector<unsigned char>& pattern,
                  const std::vector<unsigned char>& body) {
    const TwoWaySearch search(bytes_of(pattern));
    const unsigned char* const end = body.data() + body.size();
    const unsigned char* expected = nullptr;
    for (std::size_t start = 0; start <= std::min(body.size(), search_starts); ++start) {
        const unsigned char* from = body.data() + start;
        // The last answer stands while it lies at or after the start.
        if (expected == nullptr || (expected != end && expected < from)) {
            expected = std::search(from, end, pattern.begin(), pattern.end());
        }
        const unsigned char* found = search.find(from, end);
        CHECK((found == nullptr ? end : found) == expected);
    }
    // Every occurrence in turn, going on after each, overlapping ones too.
    const unsigned char* found = search.find(body.data(), end);
    for (std::size_t seen = 0; seen < search_starts; ++seen) {
        expected = std::search(found == nullptr ? end : found + 1, end, pattern.begin(),
                               pattern.end());
        if (found == nullptr) {
            break;
        }
        found = search.find_after(found, end);
        CHECK((found == nullptr ? end : found) == expected);
    }
}

// With any matching beyond exact bytes, every second piece of the pattern
// planted in a structured body has the case of its letters flipped.
std::vector<unsigned char> flipped_case(std::vector<unsigned char> bytes) {
    for (unsigned char& byte : bytes) {
        const unsigned small = static_cast<unsigned>(byte | 0x20U);
        if (small >= 'a' && small <= 'z') {
            byte = static_cast<unsigned char>(byte ^ 0x20U);
        }
    }
    return bytes;
}

// A structured body puts pieces of the pattern where its bytes say: 0x80 +
// c is the pattern less its first c bytes (c < 64), 0xC0 + c the pattern less
// its last c bytes; lower bytes are taken as they are. So "1 1 0x82 1 1" is a
// full match broken at both ends, a few mutations away rather than hundreds.
// The body is capped so that the reference, slow by design, keeps up.
template <typename Fold>
std::vector<unsigned char> build_body(const std::vector<unsigned char>& raw,
                                      const std::vector<unsigned char>& pattern, bool structured,
                                      bool flip_cases, Fold fold) {
    constexpr std::size_t largest_body = 8192;
    const std::vector<unsigned char> flipped = flipped_case(pattern);
    std::size_t pieces = 0;
    std::vector<unsigned char> body;
    for (unsigned char byte : raw) {
        if (!structured || byte < 0x80) {
            body.push_back(fold(byte));
        } else {
            const std::vector<unsigned char>& piece =
                flip_cases && pieces++ % 2 == 1 ? flipped : pattern;
            const std::size_t cut = std::min<std::size_t>(byte & 0x3Fu, piece.size());
            const bool keep_end = byte < 0xC0;
            body.insert(body.end(),
                        piece.begin() + static_cast<std::ptrdiff_t>(keep_end ? cut : 0),
                        piece.end() - static_cast<std::ptrdiff_t>(keep_end ? 0 : cut));
        }
        if (body.size() >= largest_body) {
            body.resize(largest_body);
            break;
        }
    }
    // An allocation of exactly the body's size, for the search's bounds.
    return std::vector<unsigned char>(body.begin(), body.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Scratch scratch;
    if (size < 8) {
        return 0;
    }
    static const unsigned alphabets[] = {256, 2, 3, 1};
    const unsigned alphabet = alphabets[data[0] & 3u];
    const unsigned length_mode = (data[0] >> 2) & 3u;
    const std::size_t pattern_size = 1 + (data[1] | data[2] << 8) % 300u;
    const std::size_t replacement_size = (data[3] | data[4] << 8) % 301u;
    const std::size_t block_size = 1 + (data[5] | data[6] << 8) % 4096u;
    const std::size_t stretch = data[7];
    const unsigned structure = data[0] >> 4u;
    kivsubst::Matching matching;
    matching.ignore_case = (data[6] & 0x10u) != 0;
    matching.whole_words = (data[6] & 0x20u) != 0;
    matching.units = (data[6] & 0x40u) != 0 ? kivsubst::Matching::Units::utf16le
                                            : kivsubst::Matching::Units::bytes;
    const bool more = (data[6] & 0x80u) != 0;
    matching.most = more ? data[7] & 7u : 0;
    const bool beyond_exact = (data[6] & 0xF0u) != 0;

    const std::uint8_t* next = data + 8;
    const std::uint8_t* const end = data + size;
    auto take = [&](std::size_t wanted) {
        std::vector<unsigned char> piece(
            next, next + std::min(wanted, static_cast<std::size_t>(end - next)));
        next += piece.size();
        return piece;
    };
    static const unsigned char letters[] = {'a', 'A', '\0'};
    auto fold = [&](unsigned char byte) {
        const auto value = static_cast<unsigned char>(byte % alphabet);
        return beyond_exact && alphabet <= 3 ? letters[value] : value;
    };
    std::vector<unsigned char> pattern = take(pattern_size);
    std::vector<unsigned char> replacement = take(replacement_size);
    const std::vector<unsigned char> raw_body = take(static_cast<std::size_t>(end - next));
    if (pattern.empty()) {
        return 0;
    }
    const std::size_t period =
        structure > 0 && structure < 15 ? std::min<std::size_t>(structure, pattern.size()) : 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        pattern[i] = period > 0 && i >= period ? pattern[i - period] : fold(pattern[i]);
    }
    for (unsigned char& byte : replacement) {
        byte = fold(byte);
    }
    if (matching.utf16() && pattern.size() % 2 != 0) {
        pattern.push_back(0);
    }
    std::vector<std::pair<std::string, std::string>> pairs = {
        {std::string(pattern.begin(), pattern.end()),
         std::string(replacement.begin(), replacement.end())}};
    if (more && (data[7] & 8u) != 0) {
        const std::size_t unit = matching.utf16() ? 2 : 1;
        const std::size_t units = pattern.size() / unit;
        const std::size_t prefix = unit * (1 + (data[7] >> 4u) % units);
        pairs.emplace_back(pairs[0].first.substr(0, prefix),
                           std::string(replacement.rbegin(), replacement.rend()));
    }
    const std::vector<unsigned char> body =
        build_body(raw_body, pattern, structure > 0, beyond_exact, fold);
    check_search(pattern, body);

    // The scanned length: the whole file, a prefix of it (the scan must stop
    // there), or more than the file holds (it must stop at the real end).
    std::int64_t length = static_cast<std::int64_t>(body.size());
    if (length_mode == 2) {
        length -= static_cast<std::int64_t>(std::min(stretch, body.size()));
    } else if (length_mode == 3) {
        length += 1 + static_cast<std::int64_t>(stretch);
    }
    const std::size_t scanned = std::min(body.size(), static_cast<std::size_t>(length));
    const std::string scanned_body(body.begin(),
                                   body.begin() + static_cast<std::ptrdiff_t>(scanned));
    const kivtest::ReferenceResult expected =
        beyond_exact
            ? kivtest::reference_substitution(
                  scanned_body, pairs,
                  kivtest::ReferenceMatching{matching.ignore_case, matching.whole_words,
                                             matching.utf16(),
                                             static_cast<std::size_t>(matching.most)})
            : kivtest::reference_substitution(scanned_body, pairs[0].first, pairs[0].second);

    write_file(scratch.input, body);
    std::remove(scratch.output.c_str());
    File input = File::open_for_reading(scratch.input.c_str());
    Creation created = Creation::failed;
    File output = File::create_new(scratch.output, created);
    CHECK(input.is_open() && created == Creation::created);

    std::vector<kivsubst::Pair> views;
    for (const auto& [from, to] : pairs) {
        views.push_back({{reinterpret_cast<const unsigned char*>(from.data()), from.size()},
                         {reinterpret_cast<const unsigned char*>(to.data()), to.size()}});
    }
    Scanner scanner(views, matching, block_size);
    CHECK(scanner.ready());
    const ScanOutcome outcome = scanner.run(input, length, output);
    CHECK(output.close());
    const std::string written = read_file(scratch.output);

    CHECK(outcome.kind == ScanOutcome::Kind::complete);
    CHECK(outcome.replacements == expected.replacements);
    CHECK(outcome.bytes_written == static_cast<std::int64_t>(written.size()));
    CHECK(written == expected.output);
    return 0;
}
