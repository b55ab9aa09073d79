// Keeping only the most frequent pieces of a table of counts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pieces/piece_table.h"

namespace brevix::bpe {

struct PruneResult {
    std::size_t dropped = 0;        // pieces removed
    std::uint64_t leastKept = 0;    // smallest count kept; 0 when nothing is kept
};

// Leaves in `table` the `keep` pieces with the highest counts; between equal
// counts the pieces whose bytes sort first are kept, so the result depends
// only on the counts. A table of at most `keep` pieces is left as it is.
// Throws std::bad_alloc when memory runs out (the table is then unchanged).
PruneResult keepMostFrequent(PieceTable& table, std::size_t keep);

}  // namespace brevix::bpe
