// The scanner of o200k_base's pattern, seven alternatives:
//   [^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+(?i:'s|...)?
//   [^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*(?i:'s|...)?
//   \p{N}{1,3}
//    ?[^\s\p{L}\p{N}]+[\r\n/]*
//   \s*[\r\n]+
//   \s+(?!\S)
//   \s+
// Upper = [\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}], lower = [\p{Ll}\p{Lm}\p{Lo}\p{M}]:
// Lm, Lo and marks are both. Marks are neither L nor N, so a mark may also be
// the optional prefix, and the regex tries the prefix first and then the mark
// as a word character; the word functions below follow that order.
#include "text/scanners.h"
#include "text/scanners_common.h"
#include "text/splitter.h"

namespace brevix::text {

namespace {

using scan::Text;

constexpr std::size_t kNoMatch = 0;

// An optional contraction after a word ending at `end`.
inline std::size_t withContraction(const Text& t, std::size_t end) {
    const std::size_t c = scan::contractionEnd(t, end);
    return c != 0 ? c : end;
}

// The first alternative from `i` without its prefix: upper* lower+ with the
// upper run given back until a lower character follows, or kNoMatch.
std::size_t lowerWordEnd(const Text& t, std::size_t i) {
    std::size_t lastLowerEnd = kNoMatch;  // the end of the last lower character in the upper run
    std::size_t j = i;
    for (;;) {
        // A-Z are upper and not lower: nothing to note.
        j = t.skipAscii(j, scan::kUpper);
        if (j == t.size()) break;
        const scan::Char c = t.at(j);
        if ((c.flags & scan::kUpper) == 0) {
            // A lower character that is not upper (\p{Ll}) continues the run.
            if (c.flags & scan::kLower) return withContraction(t, t.skip(j, scan::kLower));
            break;
        }
        j += c.length;
        if (c.flags & scan::kLower) lastLowerEnd = j;
    }
    // The upper run ends here; the last lower character in it ends the word
    // (no lower character follows it inside the run).
    return lastLowerEnd != kNoMatch ? withContraction(t, lastLowerEnd) : kNoMatch;
}

// The second alternative from `i` without its prefix: upper+ lower*, or kNoMatch.
std::size_t upperWordEnd(const Text& t, std::size_t i) {
    const std::size_t j = t.skip(i, scan::kUpper);
    if (j == i) return kNoMatch;
    return withContraction(t, t.skip(j, scan::kLower));
}

// The first two alternatives at `i` (character `c`), in the regex's order:
// each tries the prefix taken, then not taken.
std::size_t wordEnd(const Text& t, std::size_t i, const scan::Char& c) {
    const bool prefix = (c.flags & (scan::kL | scan::kN | scan::kCrLf)) == 0;
    const bool wordChar = (c.flags & (scan::kUpper | scan::kLower)) != 0;
    const std::size_t after = i + c.length;
    const bool withPrefix = prefix && after < t.size();
    std::size_t end = kNoMatch;
    if (withPrefix) end = lowerWordEnd(t, after);
    if (end == kNoMatch && wordChar) end = lowerWordEnd(t, i);
    if (end == kNoMatch && withPrefix) end = upperWordEnd(t, after);
    if (end == kNoMatch && wordChar) end = upperWordEnd(t, i);
    return end;
}

// \s*[\r\n]+|\s+(?!\S)|\s+ from whitespace at `i`: up to the last \r or \n
// of the run; else the run to the end of the text; else all but its last
// character; else that one character.
std::size_t o200kSpaceEnd(const Text& t, std::size_t i) {
    const std::size_t j = t.skip(i, scan::kS);
    // \r and \n are single bytes that no other character of the run contains.
    for (std::size_t k = j; k > i; --k) {
        const unsigned char b = t.byte(k - 1);
        if (b == '\r' || b == '\n') return k;
    }
    if (j == t.size()) return j;
    const std::size_t last = t.lastCharStart(j);
    return last > i ? last : j;
}

// ' ?[^\s\p{L}\p{N}]+[\r\n/]*' from the first O character at `i`.
inline std::size_t o200kSymbolsEnd(const Text& t, std::size_t i) {
    return t.skip(t.skip(i, scan::kO), scan::kCrLf | scan::kSlash);
}

// True when `flags` are those of a \p{Ll} character (lower, not upper).
inline bool isOnlyLower(std::uint8_t flags) {
    return (flags & (scan::kLower | scan::kUpper)) == scan::kLower;
}

std::size_t o200kPieceEnd(const Text& t, std::size_t i) {
    const scan::Char c = t.at(i);
    // The common shapes of the word search, taken directly: a \p{Ll} start
    // (no prefix, empty upper run), and an ASCII prefix (a space, mostly)
    // before a-z (empty upper run after the prefix).
    if (isOnlyLower(c.flags)) return withContraction(t, t.skip(i + c.length, scan::kLower));
    const std::uint8_t prefixFlags = scan::kO | scan::kS;
    if (c.cp < 0x80 && (c.flags & prefixFlags) && !(c.flags & scan::kCrLf) && i + 1 < t.size() &&
        isOnlyLower(scan::detail::kBytes.flags[t.byte(i + 1)])) {
        return withContraction(t, t.skip(i + 2, scan::kLower));
    }
    const std::size_t word = wordEnd(t, i, c);
    if (word != kNoMatch) return word;
    if (c.flags & scan::kN) return t.skipAtMost(i, scan::kN, 3);
    if (c.cp == ' ' && i + 1 < t.size() && (t.at(i + 1).flags & scan::kO)) {
        return o200kSymbolsEnd(t, i + 1);
    }
    if (c.flags & scan::kO) return o200kSymbolsEnd(t, i);
    return o200kSpaceEnd(t, i);
}

class O200kScanner final : public Splitter {
public:
    std::size_t split(std::string_view text, std::size_t from, std::vector<std::size_t>& ends,
                      std::size_t limit) const override {
        return scan::splitWith(o200kPieceEnd, text, from, ends, limit);
    }
};

}  // namespace

std::unique_ptr<Splitter> makeO200kScanner() { return std::make_unique<O200kScanner>(); }

}  // namespace brevix::text
