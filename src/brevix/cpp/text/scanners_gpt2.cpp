// The scanner of GPT-2's pattern
//   's|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+
// Every character is exactly one of L, N, S (\s) or O (the rest), so a piece
// is a contraction, an optional space and a run of one of L, N, O, or
// whitespace.
#include "text/scanners.h"
#include "text/scanners_common.h"
#include "text/splitter.h"

namespace brevix::text {

namespace {

using scan::Text;

// The contractions, matched case-sensitively.
std::size_t gpt2ContractionEnd(const Text& t, std::size_t i) {
    const std::size_t n = t.size();
    if (i + 1 >= n) return 0;
    const unsigned char a = t.byte(i + 1);
    if (a == 's' || a == 't' || a == 'm' || a == 'd') return i + 2;
    if (i + 2 >= n) return 0;
    const unsigned char b = t.byte(i + 2);
    const bool three = (a == 'r' && b == 'e') || (a == 'v' && b == 'e') || (a == 'l' && b == 'l');
    return three ? i + 3 : 0;
}

// \s+(?!\S)|\s+ from `i`, whose character is whitespace not followed by a
// run the optional space takes: all of the run at the end of the text,
// otherwise all but its last character, or that one character alone.
std::size_t gpt2SpaceEnd(const Text& t, std::size_t i) {
    const std::size_t j = t.skip(i, scan::kS);
    if (j == t.size()) return j;
    const std::size_t last = t.lastCharStart(j);
    return last > i ? last : j;
}

// The class run (L, N or O) of the character with flags `flags`.
inline std::uint8_t runClass(std::uint8_t flags) {
    return flags & (scan::kL | scan::kN | scan::kO);
}

std::size_t gpt2PieceEnd(const Text& t, std::size_t i) {
    const scan::Char c = t.at(i);
    if (c.cp == '\'') {
        const std::size_t end = gpt2ContractionEnd(t, i);
        if (end != 0) return end;
    }
    const std::uint8_t cls = runClass(c.flags);
    if (cls != 0) return t.skip(i + c.length, cls);
    if (c.cp == ' ' && i + 1 < t.size()) {
        const scan::Char next = t.at(i + 1);
        const std::uint8_t nextCls = runClass(next.flags);
        if (nextCls != 0) return t.skip(i + 1 + next.length, nextCls);
    }
    return gpt2SpaceEnd(t, i);
}

class Gpt2Scanner final : public Splitter {
public:
    std::size_t split(std::string_view text, std::size_t from, std::vector<std::size_t>& ends,
                      std::size_t limit) const override {
        return scan::splitWith(gpt2PieceEnd, text, from, ends, limit);
    }
};

}  // namespace

std::unique_ptr<Splitter> makeGpt2Scanner() { return std::make_unique<Gpt2Scanner>(); }

}  // namespace brevix::text
