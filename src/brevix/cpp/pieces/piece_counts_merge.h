// Adding one table of piece counts to another, all or nothing.
#pragma once

#include "pieces/piece_table.h"

namespace brevix::bpe {

// Adds every count of `from` to `into`. Throws std::overflow_error, leaving
// `into` unchanged, when any piece's count would pass 2^64 - 1, and
// std::bad_alloc when memory runs out (`into` then holds part of `from`).
void mergePieceCounts(PieceTable& into, const PieceTable& from);

}  // namespace brevix::bpe
