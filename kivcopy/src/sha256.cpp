// SPDX-License-Identifier: Zlib
// SHA-256 as FIPS 180-4 gives it: 64-byte blocks, each compressed into the
// eight-word state in 64 rounds; the message padded with 0x80, zeros and
// its length in bits.
#include "sha256.h"

#include <algorithm>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define KIVCOPY_SHA_EXTENSIONS 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace kivcopy {
namespace {

constexpr std::array<std::uint32_t, 64> round_constants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2};

constexpr std::array<std::uint32_t, 8> initial_state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372,
                                                        0xa54ff53a, 0x510e527f, 0x9b05688c,
                                                        0x1f83d9ab, 0x5be0cd19};

constexpr std::uint32_t rotate_right(std::uint32_t value, int bits) {
    return (value >> bits) | (value << (32 - bits));
}

std::uint32_t big_endian_word(const std::uint8_t* bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

// The 64 rounds on one block, one word at a time.
void compress_portable(std::array<std::uint32_t, 8>& state, const std::uint8_t* block) {
    std::array<std::uint32_t, 64> schedule;
    for (std::size_t i = 0; i < 16; ++i) {
        schedule[i] = big_endian_word(block + 4 * i);
    }
    for (std::size_t i = 16; i < 64; ++i) {
        const std::uint32_t s0 = rotate_right(schedule[i - 15], 7) ^
                                 rotate_right(schedule[i - 15], 18) ^ (schedule[i - 15] >> 3);
        const std::uint32_t s1 = rotate_right(schedule[i - 2], 17) ^
                                 rotate_right(schedule[i - 2], 19) ^ (schedule[i - 2] >> 10);
        schedule[i] = schedule[i - 16] + s0 + schedule[i - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (std::size_t i = 0; i < 64; ++i) {
        const std::uint32_t s1 = rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25);
        const std::uint32_t choice = (e & f) ^ (~e & g);
        const std::uint32_t t1 = h + s1 + choice + round_constants[i] + schedule[i];
        const std::uint32_t s0 = rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22);
        const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        const std::uint32_t t2 = s0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

#if KIVCOPY_SHA_EXTENSIONS
// Whether the processor has the SHA extensions (CPUID leaf 7, EBX bit 29)
// and the SSSE3 and SSE4.1 instructions around them (leaf 1, ECX bits 9
// and 19).
bool has_sha_extensions() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & (1u << 9)) == 0 ||
        (ecx & (1u << 19)) == 0) {
        return false;
    }
    return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ebx & (1u << 29)) != 0;
}

// The rounds with the SHA extensions: the state held as ABEF and CDGH, two
// rounds an instruction, the message schedule four words at a time.
__attribute__((target("sha,sse4.1,ssse3"))) void compress_with_extensions(
    std::array<std::uint32_t, 8>& state, const std::uint8_t* blocks, std::size_t count) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
    for (; count > 0; --count, blocks += 64) {
        const __m128i abef_before = abef;
        const __m128i cdgh_before = cdgh;
        __m128i words[4];
        for (int i = 0; i < 4; ++i) {
            words[i] = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * i)), byte_swap);
        }
        for (int group = 0; group < 16; ++group) {
            const __m128i constants = _mm_loadu_si128(
                reinterpret_cast<const __m128i*>(round_constants.data() + 4 * group));
            const __m128i input = _mm_add_epi32(words[group & 3], constants);
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, input);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(input, 0x0E));
            if (group < 12) {
                // The words of group + 4, from those of group to group + 3.
                __m128i next = _mm_sha256msg1_epu32(words[group & 3], words[(group + 1) & 3]);
                next = _mm_add_epi32(
                    next, _mm_alignr_epi8(words[(group + 3) & 3], words[(group + 2) & 3], 4));
                words[group & 3] = _mm_sha256msg2_epu32(next, words[(group + 3) & 3]);
            }
        }
        abef = _mm_add_epi32(abef, abef_before);
        cdgh = _mm_add_epi32(cdgh, cdgh_before);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), hgfe);
}
#endif

}  // namespace

Sha256::Sha256(Rounds rounds) : state_(initial_state) {
#if KIVCOPY_SHA_EXTENSIONS
    static const bool available = has_sha_extensions();
    accelerated_ = rounds == Rounds::fastest && available;
#else
    static_cast<void>(rounds);
#endif
}

void Sha256::compress(const std::uint8_t* blocks, std::size_t count) {
#if KIVCOPY_SHA_EXTENSIONS
    if (accelerated_) {
        compress_with_extensions(state_, blocks, count);
        return;
    }
#endif
    for (; count > 0; --count, blocks += 64) {
        compress_portable(state_, blocks);
    }
}

void Sha256::add(const void* bytes, std::size_t size) {
    const auto* next = static_cast<const std::uint8_t*>(bytes);
    total_ += size;
    if (pending_size_ > 0) {
        const std::size_t taken = std::min(size, pending_.size() - pending_size_);
        std::memcpy(pending_.data() + pending_size_, next, taken);
        pending_size_ += taken;
        next += taken;
        size -= taken;
        if (pending_size_ < pending_.size()) {
            return;
        }
        compress(pending_.data(), 1);
        pending_size_ = 0;
    }
    const std::size_t whole = size / 64;
    if (whole > 0) {
        compress(next, whole);
        next += 64 * whole;
        size -= 64 * whole;
    }
    std::memcpy(pending_.data(), next, size);
    pending_size_ = size;
}

Digest Sha256::finish() {
    const std::uint64_t bits = total_ * 8;
    const std::uint8_t marker = 0x80;
    add(&marker, 1);
    const std::uint8_t zeros[64] = {};
    add(zeros, (pending_size_ <= 56 ? 56 : 120) - pending_size_);
    std::uint8_t length[8];
    for (std::size_t i = 0; i < 8; ++i) {
        length[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    }
    add(length, sizeof length);
    Digest digest;
    for (std::size_t i = 0; i < state_.size(); ++i) {
        for (std::size_t j = 0; j < 4; ++j) {
            digest[4 * i + j] = static_cast<std::uint8_t>(state_[i] >> (24 - 8 * j));
        }
    }
    return digest;
}

std::string to_hex(const Digest& digest) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

bool from_hex(const std::string& text, Digest& digest) {
    if (text.size() != 2 * digest.size()) {
        return false;
    }
    const auto nibble = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const int high = nibble(text[2 * i]);
        const int low = nibble(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        digest[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

}  // namespace kivcopy
