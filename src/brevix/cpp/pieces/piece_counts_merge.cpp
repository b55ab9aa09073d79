#include "pieces/piece_counts_merge.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace brevix::bpe {

void mergePieceCounts(PieceTable& into, const PieceTable& from) {
    // Checked first, so that a refused merge changes nothing.
    from.forEach([&into](std::string_view piece, std::uint64_t count) {
        if (into.countOf(piece) > UINT64_MAX - count) {
            throw std::overflow_error("a piece count would pass 2^64 - 1 (" +
                                      std::to_string(piece.size()) + "-byte piece)");
        }
    });
    into.addAll(from);
}

}  // namespace brevix::bpe
