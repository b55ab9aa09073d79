// Hashing and comparing the bytes of pieces, tuned for the short pieces
// (a few bytes) that splitting text yields: words are read as overlapping
// loads of the piece's own bytes, never past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace brevix::bpe {

namespace detail {

inline std::uint64_t load64(const char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline std::uint64_t load32(const char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// The high and low halves of the 128-bit product, folded: a strong mix of
// two 64-bit words in one multiplication.
inline std::uint64_t fold(std::uint64_t a, std::uint64_t b) {
#ifdef __SIZEOF_INT128__
    __extension__ using Wide = unsigned __int128;
    const Wide product = static_cast<Wide>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
#else
    // 32-bit targets: the same product from four 32-bit halves.
    const std::uint64_t aLo = a & 0xffffffffu, aHi = a >> 32, bLo = b & 0xffffffffu, bHi = b >> 32;
    const std::uint64_t lo = aLo * bLo, mid1 = aHi * bLo, mid2 = aLo * bHi, hi = aHi * bHi;
    const std::uint64_t cross = (lo >> 32) + (mid1 & 0xffffffffu) + (mid2 & 0xffffffffu);
    const std::uint64_t low = (cross << 32) | (lo & 0xffffffffu);
    const std::uint64_t high = hi + (mid1 >> 32) + (mid2 >> 32) + (cross >> 32);
    return low ^ high;
#endif
}

}  // namespace detail

// The n bytes at p folded into one word that, together with n, tells pieces
// of up to 8 bytes apart exactly; for a longer piece, its first 8 bytes.
inline std::uint64_t pieceHead(const char* p, std::size_t n) {
    if (n >= 8) return detail::load64(p);
    if (n >= 4) return detail::load32(p) | detail::load32(p + n - 4) << 32;
    if (n == 0) return 0;
    const auto u = [p](std::size_t i) {
        return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i]));
    };
    return u(0) | u(n / 2) << 8 | u(n - 1) << 16;
}

// The hash of a piece's bytes (the same in every run; byte order is the
// machine's). A piece of up to 16 bytes costs one multiplication.
inline std::uint64_t hashPiece(std::string_view piece) {
    constexpr std::uint64_t k0 = 0x9E3779B97F4A7C15ull, k1 = 0xD6E8FEB86659FD93ull;
    const char* p = piece.data();
    const std::size_t n = piece.size();
    const std::uint64_t length = static_cast<std::uint64_t>(n) << 56;
    if (n <= 8) return detail::fold(pieceHead(p, n) ^ k0, k1 ^ length);
    if (n <= 16) {
        return detail::fold(detail::load64(p) ^ k0, detail::load64(p + n - 8) ^ k1 ^ length);
    }
    std::uint64_t h = k1 ^ n;
    const char* end = p + n;
    for (; end - p > 16; p += 16) {
        h = detail::fold(detail::load64(p) ^ k0, detail::load64(p + 8) ^ h);
    }
    // The last 16 bytes, overlapping the loop's.
    return detail::fold(detail::load64(end - 16) ^ h ^ k0, detail::load64(end - 8) ^ k1 ^ length);
}

// Whether the n > 0 bytes at a and b are equal; short runs compare as one or
// two words instead of through a call to memcmp.
inline bool sameBytes(const char* a, const char* b, std::size_t n) {
    using detail::load32;
    using detail::load64;
    if (n > 16) return std::memcmp(a, b, n) == 0;
    if (n >= 8) return load64(a) == load64(b) && load64(a + n - 8) == load64(b + n - 8);
    if (n >= 4) return load32(a) == load32(b) && load32(a + n - 4) == load32(b + n - 4);
    return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
}

}  // namespace brevix::bpe
