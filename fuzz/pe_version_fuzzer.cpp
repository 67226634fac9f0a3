// SPDX-License-Identifier: Zlib
// The PE version reader over any bytes: KivFileVersion reads whatever file
// an installer names, so the reader must never read outside the file, nor
// read more than a few times the file's own size however its counts and
// offsets are set, and must give the same answer each time. A version it
// finds must be one that the bytes hold: a VS_FIXEDFILEINFO signature
// followed by that version.
//
// Input layout: the file's bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pe_version.h"

#define CHECK(condition)                                                                            \
    do {                                                                                            \
        if (!(condition)) {                                                                         \
            std::fprintf(stderr, "pe_version_fuzzer: %s failed (line %d)\n", #condition, __LINE__); \
            std::abort();                                                                           \
        }                                                                                           \
    } while (0)

namespace {

namespace pe = kivcopy::pe;

// The input as a file, counting what the reader asks of it.
class Buffer final : public pe::Bytes {
public:
    Buffer(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint64_t size() const override { return size_; }

    bool read(std::uint64_t offset, void* buffer, std::size_t count) override {
        CHECK(offset <= size_ && count <= size_ - offset);
        CHECK(count > 0);
        std::memcpy(buffer, data_ + offset, count);
        read_bytes += count;
        return true;
    }

    std::uint64_t read_bytes = 0;

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

std::uint32_t u32_at(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Whether the bytes hold the fixed part's signature with `version` after it.
bool holds(const std::uint8_t* data, std::size_t size, const pe::FileVersion& version) {
    for (std::size_t at = 0; size >= 16 && at <= size - 16; ++at) {
        if (u32_at(data + at) == 0xFEEF04BDu && u32_at(data + at + 8) == version.high &&
            u32_at(data + at + 12) == version.low) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Buffer bytes(data, size);
    pe::FileVersion version;
    const pe::VersionRead outcome = pe::read_file_version(bytes, version);
    CHECK(outcome != pe::VersionRead::unreadable);
    // The headers, then at most the section table twice and the root
    // directory's entries once, each no larger than the file.
    CHECK(bytes.read_bytes <= 4 * static_cast<std::uint64_t>(size) + 512);

    Buffer again(data, size);
    pe::FileVersion second;
    CHECK(pe::read_file_version(again, second) == outcome);
    if (outcome == pe::VersionRead::found) {
        CHECK(second.high == version.high && second.low == version.low);
        CHECK(holds(data, size, version));
    } else {
        CHECK(second.high == 0 && second.low == 0);
    }
    return 0;
}
