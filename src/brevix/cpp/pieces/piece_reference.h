// The straightforward trainer from piece counts: the definition the merge
// loop of piece_trainer is tested against. Every step counts every pair of
// every piece again. For tests only: its time grows with merges times the
// pieces' total length.
#pragma once

#include <cstddef>
#include <vector>

#include "encode/token_types.h"
#include "pieces/piece_table.h"
#include "pieces/training_start.h"

namespace brevix::bpe {

// The same merges as trainPieces(pieces, start, {merges}) (see
// piece_trainer.h for the rules), with the same failures.
std::vector<Merge> trainPiecesReference(const PieceTable& pieces, const TrainingStart& start,
                                        std::size_t merges);

}  // namespace brevix::bpe
