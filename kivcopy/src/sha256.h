/* SPDX-License-Identifier: Zlib */
// SHA-256 (FIPS 180-4), by which an install tells identical files apart and
// recognises a file it installed before. Fed in pieces of any size.
#ifndef KIVCOPY_SHA256_H
#define KIVCOPY_SHA256_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kivcopy {

using Digest = std::array<std::uint8_t, 32>;

class Sha256 {
public:
    // How the blocks are compressed: the processor's SHA instructions where
    // it has them (x86's SHA extensions, some ten times faster), or the
    // portable rounds everywhere.
    enum class Rounds { fastest, portable };

    explicit Sha256(Rounds rounds = Rounds::fastest);
    void add(const void* bytes, std::size_t size);
    // The digest of everything added; the object is spent after it.
    Digest finish();

private:
    void compress(const std::uint8_t* blocks, std::size_t count);

    bool accelerated_ = false;
    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> pending_{};
    std::size_t pending_size_ = 0;
    std::uint64_t total_ = 0;
};

// The digest as 64 lowercase hex digits, and back (false for anything else).
std::string to_hex(const Digest& digest);
bool from_hex(const std::string& text, Digest& digest);

}  // namespace kivcopy

#endif
