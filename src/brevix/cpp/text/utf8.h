// Decoding UTF-8 one code point at a time, strictly: exactly the sequences
// Python's bytes.decode('utf-8') accepts (no overlong forms, no surrogates,
// nothing above U+10FFFF). Every byte that does not start a valid sequence
// decodes on its own as U+FFFD, so decoding never fails and every byte
// belongs to exactly one decoded unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace brevix::text {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// One decoded unit: the code point and the number of bytes it took (1 to 4).
struct Utf8Unit {
    char32_t cp;
    std::uint32_t length;
};

namespace detail {

inline bool isContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// The unit at a lead byte of a multi-byte sequence (0xC2..0xF4), given
// `avail` >= 1 bytes at `p`.
inline Utf8Unit decodeMultiByte(const unsigned char* p, std::size_t avail) {
    const unsigned char b0 = p[0];
    const Utf8Unit invalid{kReplacementCharacter, 1};
    if (b0 < 0xE0) {
        if (avail < 2 || !isContinuation(p[1])) return invalid;
        return {(char32_t(b0 & 0x1F) << 6) | (p[1] & 0x3F), 2};
    }
    if (b0 < 0xF0) {
        // Second byte ranges exclude overlong forms (E0) and surrogates (ED).
        const unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80;
        const unsigned char hi = b0 == 0xED ? 0x9F : 0xBF;
        if (avail < 3 || p[1] < lo || p[1] > hi || !isContinuation(p[2])) return invalid;
        return {(char32_t(b0 & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F), 3};
    }
    // Second byte ranges exclude overlong forms (F0) and values past U+10FFFF (F4).
    const unsigned char lo = b0 == 0xF0 ? 0x90 : 0x80;
    const unsigned char hi = b0 == 0xF4 ? 0x8F : 0xBF;
    if (avail < 4 || p[1] < lo || p[1] > hi || !isContinuation(p[2]) || !isContinuation(p[3])) {
        return invalid;
    }
    return {(char32_t(b0 & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) |
                (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F),
            4};
}

}  // namespace detail

// The unit starting at `p`, where `avail` >= 1 bytes are readable.
inline Utf8Unit decodeUtf8(const unsigned char* p, std::size_t avail) {
    const unsigned char b0 = p[0];
    if (b0 < 0x80) return {b0, 1};
    if (b0 < 0xC2 || b0 > 0xF4) return {kReplacementCharacter, 1};
    return detail::decodeMultiByte(p, avail);
}

// The unit starting at byte `pos` of `text` (pos < text.size()).
inline Utf8Unit decodeUtf8(std::string_view text, std::size_t pos) {
    return decodeUtf8(reinterpret_cast<const unsigned char*>(text.data()) + pos,
                      text.size() - pos);
}

}  // namespace brevix::text
