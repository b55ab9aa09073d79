// Small rules shared by the straightforward algorithms and the engines, kept
// in one place so that every copy of a rule is the same rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace bytepairtokenizer {

// Base token of a byte: the byte read as a signed 8-bit value.
inline int baseToken(char c) { return static_cast<int>(static_cast<signed char>(c)); }

// Byte of a base token: the low 8 bits of the id.
inline char tokenByte(int id) { return static_cast<char>(static_cast<std::uint32_t>(id) & 0xFFu); }

// (original - now) * 100 / original, truncated toward zero, in 64 bits so no
// corpus length can overflow it. Training prints it after every merge.
inline long long reductionPercent(int originalSize, int newSize) {
    return (static_cast<long long>(originalSize) - newSize) * 100 / originalSize;
}

// The failure of decoding an id whose expansion leads back to itself.
[[noreturn]] inline void throwCyclicId(int id) {
    throw std::invalid_argument("cannot decode token id " + std::to_string(id) +
                                ": its expansion leads back to itself");
}

// The fast engines build lookup tables from the whole merge table first; for
// an input much shorter than the table the straightforward algorithm is
// cheaper. `inputSize` counts ids (or bytes), `tableSize` merges.
inline bool inputMuchShorterThanTable(std::size_t inputSize, std::size_t tableSize) {
    return inputSize * 4 < tableSize;
}

// The index the tables keep (table_index.h) merges without building
// anything: it is the cheaper way up to this size, which adds the flat part
// of the fast lookup (64K entries) to the table's share.
inline bool mergeThroughIndex(std::size_t inputSize, std::size_t tableSize) {
    return inputSize * 4 < tableSize + 65536;
}

// Fewer ids than twice the table's merges plus 1,024 are decoded through the
// index: the expander's set-up (about 10 us plus 25 ns a merge) would cost
// more than the index's slower expansion (about 13 ns an id).
inline bool decodeThroughIndex(std::size_t ids, std::size_t tableSize) {
    return ids < 2 * tableSize + 1024;
}

// Corpus cells linked in position order, where a merge lets a cell absorb
// the next one. The link of a live cell is the next live cell (-1 at the
// end); an absorbed cell's link names the cell that absorbed it, encoded
// below -1 so the two kinds cannot be confused.
inline bool linkIsLive(int link) { return link >= -1; }
inline int absorbedLink(int absorber) { return -2 - absorber; }
inline int absorberOf(int link) { return -2 - link; }

// The live cell before live cell i, or -1 when there is none. Follows the
// absorbed links from i - 1 up to the live cell that took them in, and points
// every cell on the way straight at it, so repeated queries stay cheap.
// `linkAt(k)` returns a reference to the link of cell k.
template <typename LinkAt>
int liveCellBefore(int i, LinkAt&& linkAt) {
    if (i == 0) return -1;
    int p = i - 1;
    if (linkIsLive(linkAt(p))) return p;
    int root = absorberOf(linkAt(p));
    while (!linkIsLive(linkAt(root))) root = absorberOf(linkAt(root));
    while (p != root) {
        const int up = absorberOf(linkAt(p));
        linkAt(p) = absorbedLink(root);
        p = up;
    }
    return root;
}

}  // namespace bytepairtokenizer
