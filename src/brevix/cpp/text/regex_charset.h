// One-character tests of the regular-expression engine: character classes
// (`[...]`, `\d`, `\p{..}` and the rest), literals and `.`, each with a
// bitmap for ASCII so that the common case is one bit test, and the set of
// first bytes a matching character's UTF-8 can start with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "text/unicode_classes.h"

namespace brevix::text::regex {

// A set of byte values, for the first byte of what may match somewhere.
class ByteSet {
public:
    // All 256 values when `full`, none otherwise.
    explicit ByteSet(bool full = false);
    void add(unsigned char b) { bits_[b >> 6] |= std::uint64_t{1} << (b & 63); }
    // Adds every value from `lo` to `hi`, both included.
    void addRange(unsigned char lo, unsigned char hi);
    void addAll(const ByteSet& other);
    bool contains(unsigned char b) const { return (bits_[b >> 6] >> (b & 63)) & 1; }
    bool full() const;

private:
    std::array<std::uint64_t, 4> bits_;
};

// A bit per general category (bit i is Category i).
using CategoryMask = std::uint32_t;

inline constexpr CategoryMask categoryBit(Category c) {
    return CategoryMask{1} << static_cast<unsigned>(c);
}

// The categories a property name stands for: a general category or a major
// class by short or long name (`Lu`, `Uppercase_Letter`, `L`, `Letter`,
// `L&`), optionally after `gc=` or `General_Category=`, or `Any`. Case,
// spaces, `_` and `-` are ignored, as the regex module ignores them. Returns
// 0 for a name it does not know.
CategoryMask categoriesNamed(std::string_view name);

// One member of a character class.
struct ClassItem {
    enum class Kind : std::uint8_t { Range, Categories, Space, Word, Digit };
    Kind kind = Kind::Range;
    bool negated = false;  // \P{..}, \S, \W, \D
    char32_t lo = 0, hi = 0;
    CategoryMask categories = 0;

    bool containsIgnoringNegation(char32_t c) const;
    // Whether the item takes a character whose case variants (itself first)
    // are `variants`: a plain item when any of them is in it, a negated one
    // when none is.
    bool contains(const char32_t* variants, std::size_t count) const;
};

// A character class: the union of its items, then negated if `[^...]`.
// Under (?i), as in the regex module: a lone property or shorthand (`\p{Lu}`,
// `[\p{Lu}]`, `[^\P{Lu}]`) tests the character itself, with each of Lu, Ll
// and Lt standing for all three; any other class tests the character's case
// variants against each item.
class CharSet {
public:
    void add(const ClassItem& item) { items_.push_back(item); }
    void addRange(char32_t lo, char32_t hi);
    void setNegated(bool negated) { negated_ = negated; }
    void setIgnoreCase(bool ignoreCase) { ignoreCase_ = ignoreCase; }
    // Settles how case is ignored, once the items are all in.
    void finish();

    bool contains(char32_t c) const;
    // False when only code points below 0x80 can be in the class.
    bool mayContainNonAscii() const;

private:
    std::vector<ClassItem> items_;
    bool negated_ = false;
    bool ignoreCase_ = false;
    bool loneProperty_ = false;
};

// The test one pattern position makes of one character: a literal (possibly
// ignoring case), `.` (with or without newlines), or a class.
class CharMatcher {
public:
    static CharMatcher literal(char32_t c, bool ignoreCase);
    static CharMatcher anyChar(bool newlineToo);
    static CharMatcher set(CharSet set);

    bool matches(char32_t c) const {
        if (c < 0x80) return (ascii_[c >> 6] >> (c & 63)) & 1;
        return matchesWide(c);
    }
    // The bytes a character this matches can start with; an invalid byte is
    // read as U+FFFD, so matching U+FFFD brings in every byte from 0x80.
    ByteSet firstBytes() const;

private:
    enum class Kind : std::uint8_t { Literal, AnyButNewline, Any, Set };

    CharMatcher() = default;
    bool matchesWide(char32_t c) const;
    void fillAscii();

    Kind kind_ = Kind::Literal;
    std::uint8_t variantCount_ = 0;
    std::array<char32_t, kMaxCaseVariants> variants_{};
    std::array<std::uint64_t, 2> ascii_{};
    CharSet set_;
};

}  // namespace brevix::text::regex
