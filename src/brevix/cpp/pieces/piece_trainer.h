// Learning merges from the counts of distinct pieces, as GPT-style
// byte-pair training does: every piece is a sequence of tokens (at first its
// bytes), pairs never cross pieces, and a pair's count is the sum, over the
// pieces, of the piece's count times the adjacent positions holding the pair.
//
// Each step merges the pair of highest count; among equal counts, the
// smallest (left id, right id). Merging rewrites every occurrence in a piece,
// left to right, without overlaps ("aaa" becomes X a). New merges take ids
// one after the other from the start's first new id.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "encode/token_types.h"
#include "pieces/piece_table.h"
#include "pieces/training_start.h"

namespace brevix::bpe {

struct TrainSettings {
    // Merges to learn after the start's; fewer when no pair is left or the
    // ids run out (2^31).
    std::size_t merges = 0;
    // When set, called after each new merge with that merge and the number
    // learned so far (so a caller keeps what was learned even if a later
    // merge runs out of memory); returning false stops training there,
    // keeping those merges.
    std::function<bool(const Merge& merge, std::size_t mergesDone)> onMerge;
};

struct TrainResult {
    std::vector<Merge> merges;  // the new merges, in id order
    bool stopped = false;       // onMerge returned false
    std::size_t pieces = 0;     // distinct pieces trained on (two bytes or more, count > 0)
    std::size_t trainerBytes = 0;  // the trainer's heap memory at its largest
};

// Learns merges on `pieces` after `start`: the pieces are first rewritten
// with the start's merges in rank order (as if training had learned them
// here), so training k merges and then continuing to n gives the merges of
// training n at once. Throws std::invalid_argument for a bad start (see
// checkTrainingStart), std::overflow_error when the counts times the piece
// lengths add up past 2^64 - 1, std::bad_alloc when memory runs out.
TrainResult trainPieces(const PieceTable& pieces, const TrainingStart& start,
                        const TrainSettings& settings);

// The same, freeing the pieces' table (left empty) once the trainer holds
// them as tokens, so that the two are not in memory together while merging.
TrainResult trainPieces(PieceTable&& pieces, const TrainingStart& start,
                        const TrainSettings& settings);

}  // namespace brevix::bpe
