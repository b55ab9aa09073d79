// What the hand-written scanners share: the character classes of the
// well-known patterns as one flag byte per code point, reading characters
// with an ASCII fast path, runs of a class, the contraction suffixes, and the
// resumable split loop around a scanner's piece function.
//
// Performance notes (bench/split_throughput.py, thread CPU time, 2-core Xeon):
// English man pages split at about 450 (GPT-2), 410 (cl100k) and 350 (o200k)
// MB/s, Python sources at 385 / 320 / 260. Pieces average 4 to 5 bytes, so
// the time goes into the unpredictable branch at each piece boundary rather
// than into the runs. What helped: one 256-entry byte table whose non-ASCII
// entries are 0, so a run loop tests one table entry per byte and leaves for
// the decoder only at a multi-byte character; in o200k, taking its two common
// word shapes (a \p{Ll} start, an ASCII prefix before a-z) before the general
// four-way word search (about +15%), and writing that search as straight-line
// code instead of a loop over two function pointers (about +8%).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "text/unicode_classes.h"
#include "text/utf8.h"

namespace brevix::text::scan {

// Class flags. O is "none of \s, \p{L}, \p{N}", so every code point has
// exactly one of L, N, S, O; marks (\p{M}) are O.
inline constexpr std::uint8_t kL = 0x01;      // \p{L}
inline constexpr std::uint8_t kN = 0x02;      // \p{N}
inline constexpr std::uint8_t kS = 0x04;      // \s
inline constexpr std::uint8_t kO = 0x08;      // [^\s\p{L}\p{N}]
inline constexpr std::uint8_t kCrLf = 0x10;   // [\r\n]
inline constexpr std::uint8_t kUpper = 0x20;  // [\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]
inline constexpr std::uint8_t kLower = 0x40;  // [\p{Ll}\p{Lm}\p{Lo}\p{M}]
inline constexpr std::uint8_t kSlash = 0x80;  // '/'

namespace detail {

constexpr std::uint8_t asciiFlags(unsigned char b) {
    if (b >= 'A' && b <= 'Z') return kL | kUpper;
    if (b >= 'a' && b <= 'z') return kL | kLower;
    if (b >= '0' && b <= '9') return kN;
    if (b == '\r' || b == '\n') return kS | kCrLf;
    if ((b >= '\t' && b <= '\r') || b == ' ') return kS;
    return b == '/' ? kO | kSlash : kO;
}

// Flags by byte: ASCII characters' flags, and 0 for the bytes of multi-byte
// sequences and invalid bytes, so that a run loop stops at them and reads the
// character there on its slow path.
struct ByteTable {
    std::uint8_t flags[256];
    constexpr ByteTable() : flags() {
        for (unsigned b = 0; b < 128; ++b) flags[b] = asciiFlags(static_cast<unsigned char>(b));
    }
};
inline constexpr ByteTable kBytes{};

// Flags by general category (index: Category), before the \s bit.
inline constexpr std::uint8_t kByCategory[32] = {
    kO,                  // Cn
    kL | kUpper,         // Lu
    kL | kLower,         // Ll
    kL | kUpper,         // Lt
    kL | kUpper | kLower,  // Lm
    kL | kUpper | kLower,  // Lo
    kO | kUpper | kLower,  // Mn
    kO | kUpper | kLower,  // Mc
    kO | kUpper | kLower,  // Me
    kN, kN, kN,          // Nd Nl No
    kO, kO, kO, kO, kO, kO, kO,  // Pc Pd Ps Pe Pi Pf Po
    kO, kO, kO, kO,      // Sm Sc Sk So
    kO, kO, kO,          // Zs Zl Zp
    kO, kO, kO, kO,      // Cc Cf Cs Co
    kO, kO,              // unused
};

}  // namespace detail

// The class flags of a code point.
inline std::uint8_t flagsOf(char32_t cp) {
    if (cp < 0x80) return detail::kBytes.flags[cp];
    const std::uint8_t props = propertiesOf(cp);
    const std::uint8_t flags = detail::kByCategory[props & kCategoryMask];
    // \s is disjoint from \p{L} and \p{N}: a space is S, not O.
    return (props & kSpaceBit) != 0 ? static_cast<std::uint8_t>((flags & ~kO) | kS) : flags;
}

// One character of the text as the scanners see it.
struct Char {
    char32_t cp;
    std::uint32_t length;
    std::uint8_t flags;
};

// The text being split, read character by character.
class Text {
public:
    explicit Text(std::string_view text)
        : s_(reinterpret_cast<const unsigned char*>(text.data())), n_(text.size()) {}

    std::size_t size() const { return n_; }
    unsigned char byte(std::size_t i) const { return s_[i]; }

    // The character at byte `i` (< size()); invalid bytes read as U+FFFD.
    Char at(std::size_t i) const {
        const unsigned char b = s_[i];
        if (b < 0x80) return {b, 1, detail::kBytes.flags[b]};
        const Utf8Unit u = decodeUtf8(s_ + i, n_ - i);
        return {u.cp, u.length, flagsOf(u.cp)};
    }

    // The end of the run of characters, from byte `i`, that have one of the
    // `mask` flags.
    std::size_t skip(std::size_t i, std::uint8_t mask) const {
        for (;;) {
            i = skipAscii(i, mask);
            if (i == n_ || s_[i] < 0x80) return i;
            const Char c = at(i);
            if ((c.flags & mask) == 0) return i;
            i += c.length;
        }
    }

    // Like skip, but stops at the first character that is not ASCII.
    std::size_t skipAscii(std::size_t i, std::uint8_t mask) const {
        while (i < n_ && (detail::kBytes.flags[s_[i]] & mask) != 0) ++i;
        return i;
    }

    // Like skip, but stops after at most `count` characters.
    std::size_t skipAtMost(std::size_t i, std::uint8_t mask, unsigned count) const {
        for (; count > 0 && i < n_; --count) {
            const Char c = at(i);
            if ((c.flags & mask) == 0) break;
            i += c.length;
        }
        return i;
    }

    // The start of the last character of a run of valid characters ending at
    // byte `end` (> 0).
    std::size_t lastCharStart(std::size_t end) const {
        std::size_t k = end - 1;
        while ((s_[k] & 0xC0) == 0x80) --k;
        return k;
    }

private:
    const unsigned char* s_;
    std::size_t n_;
};

// contractionEnd after the apostrophe at `i` (< text size - 1).
std::size_t contractionEndAfterApostrophe(const Text& text, std::size_t i);

// The end of a contraction suffix ('s 't 're 've 'm 'll 'd, letters in either
// case as (?i) matches them) starting at byte `i`, or 0 when none starts there.
inline std::size_t contractionEnd(const Text& text, std::size_t i) {
    if (i + 1 >= text.size() || text.byte(i) != '\'') return 0;
    return contractionEndAfterApostrophe(text, i);
}

// The split loop of a scanner: `PieceEnd` is a callable giving the end of the
// piece that starts at byte `i` (< text size), always past `i`.
template <class PieceEnd>
std::size_t splitWith(PieceEnd pieceEnd, std::string_view text, std::size_t from,
                      std::vector<std::size_t>& ends, std::size_t limit) {
    const Text t(text);
    std::size_t pos = from;
    while (pos < t.size() && ends.size() < limit) {
        pos = pieceEnd(t, pos);
        ends.push_back(pos);
    }
    return pos;
}

}  // namespace brevix::text::scan
