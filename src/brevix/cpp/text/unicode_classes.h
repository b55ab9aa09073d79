// Unicode properties of code points, as the `regex` module (2026.5.9,
// Unicode 17.0.0) sees them in str patterns: general categories, the classes
// \s, \w and \d, and case-insensitive matching. The tables come from
// scripts/gen-unicode-tables.py (unicode_data.inc); every lookup is a table
// read, cheap enough for per-character use in scanners.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brevix::text {

// General categories; Cn also stands for unassigned code points and for
// values above U+10FFFF.
enum class Category : std::uint8_t {
    Cn, Lu, Ll, Lt, Lm, Lo, Mn, Mc, Me, Nd, Nl, No, Pc, Pd, Ps, Pe, Pi, Pf, Po,
    Sm, Sc, Sk, So, Zs, Zl, Zp, Cc, Cf, Cs, Co
};

inline constexpr char32_t kMaxCodePoint = 0x10FFFF;
// The most code points one code point matches under (?i), itself included.
inline constexpr std::size_t kMaxCaseVariants = 4;

// The property byte of a code point: the category in the low bits, then one
// bit per class.
inline constexpr std::uint8_t kCategoryMask = 0x1F;
inline constexpr std::uint8_t kSpaceBit = 0x20;
inline constexpr std::uint8_t kWordBit = 0x40;
inline constexpr std::uint8_t kDigitBit = 0x80;

namespace detail {
// Two-stage tables (blocks of 256 code points) defined by unicode_data.inc.
// Block 0 of kPropertyBlockData belongs to U+0000..U+00FF, so that range reads
// it directly.
inline constexpr unsigned kBlockShift = 8;
extern const std::uint16_t kPropertyIndexData[];
extern const std::uint8_t kPropertyBlockData[];
extern const std::uint16_t kFoldIndexData[];
extern const std::int32_t kFoldBlockData[];
}  // namespace detail

// The Unicode version of the tables, "17.0.0".
const char* unicodeVersion();

// The property byte of `cp` (0 above U+10FFFF: Cn, no class).
inline std::uint8_t propertiesOf(char32_t cp) {
    if (cp < 0x100) return detail::kPropertyBlockData[cp];
    if (cp > kMaxCodePoint) return 0;
    const std::uint32_t block = detail::kPropertyIndexData[cp >> detail::kBlockShift];
    return detail::kPropertyBlockData[(block << detail::kBlockShift) | (cp & 0xFF)];
}

// The general category of `cp`, what \p{..} of that category matches.
inline Category categoryOf(char32_t cp) {
    return static_cast<Category>(propertiesOf(cp) & kCategoryMask);
}

// \p{L}: Lu, Ll, Lt, Lm or Lo.
inline bool isLetter(Category c) { return c >= Category::Lu && c <= Category::Lo; }
inline bool isLetter(char32_t cp) { return isLetter(categoryOf(cp)); }
// \p{N}: Nd, Nl or No.
inline bool isNumber(Category c) { return c >= Category::Nd && c <= Category::No; }
inline bool isNumber(char32_t cp) { return isNumber(categoryOf(cp)); }
// \p{M}: Mn, Mc or Me.
inline bool isMark(Category c) { return c >= Category::Mn && c <= Category::Me; }
inline bool isMark(char32_t cp) { return isMark(categoryOf(cp)); }
// What \s matches (Unicode White_Space; not U+001C..U+001F).
inline bool isSpace(char32_t cp) { return (propertiesOf(cp) & kSpaceBit) != 0; }
// What \w matches.
inline bool isWord(char32_t cp) { return (propertiesOf(cp) & kWordBit) != 0; }
// What \d matches (the Nd code points).
inline bool isDigit(char32_t cp) { return (propertiesOf(cp) & kDigitBit) != 0; }

// The simple case fold of `cp`: two code points match each other under (?i)
// exactly when their folds are equal, except for the pairs that
// matchesIgnoringCase adds (regex's relation is not transitive for the
// Turkish i's). Values outside U+0000..U+10FFFF fold to themselves.
inline char32_t foldCase(char32_t cp) {
    if (cp > kMaxCodePoint) return cp;
    const std::uint32_t block = detail::kFoldIndexData[cp >> detail::kBlockShift];
    const std::int32_t delta =
        detail::kFoldBlockData[(block << detail::kBlockShift) | (cp & 0xFF)];
    return static_cast<char32_t>(static_cast<std::int32_t>(cp) + delta);
}

// True when a literal `a` under (?i) matches `b` (a symmetric relation):
// equal folds, or one of the pairs I / U+0131 and i / U+0130.
bool matchesIgnoringCase(char32_t a, char32_t b);

// Writes to `out` every code point a literal `cp` matches under (?i), `cp`
// first, the rest ascending; returns how many (1 to kMaxCaseVariants).
std::size_t caseVariants(char32_t cp, char32_t (&out)[kMaxCaseVariants]);

}  // namespace brevix::text
