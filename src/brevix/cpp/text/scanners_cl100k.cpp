// The scanner of cl100k_base's pattern
//   '(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}++|\p{N}{1,3}+|
//    ?[^\s\p{L}\p{N}]++[\r\n]*+|\s++$|\s*[\r\n]|\s+(?!\S)|\s
// Every character is exactly one of L, N, S (\s) or O (the rest); the
// optional prefix before letters is any O or S character but \r and \n.
#include "text/scanners.h"
#include "text/scanners_common.h"
#include "text/splitter.h"

namespace brevix::text {

namespace {

using scan::Text;

// \s++$|\s*[\r\n]|\s+(?!\S)|\s from whitespace at `i`: the run to the end of
// the text; else up to its last \r or \n; else all but its last character;
// else that one character.
std::size_t cl100kSpaceEnd(const Text& t, std::size_t i) {
    const std::size_t j = t.skip(i, scan::kS);
    if (j == t.size()) return j;
    // \r and \n are single bytes that no other character of the run contains.
    for (std::size_t k = j; k > i; --k) {
        const unsigned char b = t.byte(k - 1);
        if (b == '\r' || b == '\n') return k;
    }
    const std::size_t last = t.lastCharStart(j);
    return last > i ? last : j;
}

// ' ?[^\s\p{L}\p{N}]++[\r\n]*+' from the first O character at `i`.
inline std::size_t cl100kSymbolsEnd(const Text& t, std::size_t i) {
    return t.skip(t.skip(i, scan::kO), scan::kCrLf);
}

std::size_t cl100kPieceEnd(const Text& t, std::size_t i) {
    const scan::Char c = t.at(i);
    if (c.cp == '\'') {
        const std::size_t end = scan::contractionEnd(t, i);
        if (end != 0) return end;
    }
    if (c.flags & scan::kL) return t.skip(i + c.length, scan::kL);
    const std::size_t after = i + c.length;
    const bool prefix = (c.flags & (scan::kN | scan::kCrLf)) == 0;
    if (prefix && after < t.size()) {
        const scan::Char next = t.at(after);
        if (next.flags & scan::kL) return t.skip(after + next.length, scan::kL);
        if (c.cp == ' ' && (next.flags & scan::kO)) return cl100kSymbolsEnd(t, after);
    }
    if (c.flags & scan::kN) return t.skipAtMost(i, scan::kN, 3);
    if (c.flags & scan::kO) return cl100kSymbolsEnd(t, i);
    return cl100kSpaceEnd(t, i);
}

class Cl100kScanner final : public Splitter {
public:
    std::size_t split(std::string_view text, std::size_t from, std::vector<std::size_t>& ends,
                      std::size_t limit) const override {
        return scan::splitWith(cl100kPieceEnd, text, from, ends, limit);
    }
};

}  // namespace

std::unique_ptr<Splitter> makeCl100kScanner() { return std::make_unique<Cl100kScanner>(); }

}  // namespace brevix::text
