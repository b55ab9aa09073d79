// Where training from piece counts starts: the id of every byte and the
// merges learned before, which new merges continue.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "encode/token_types.h"

namespace brevix::bpe {

// Byte b has id b.
ByteIds identityByteIds();

struct TrainingStart {
    ByteIds byteIds = identityByteIds();
    // In rank order: ids increasing.
    std::vector<Merge> merges;
    // The id of the first new merge; when unset, one past the largest id of
    // the bytes and the merges. Setting it leaves room for ids the caller
    // gives to other tokens (special tokens).
    std::optional<TokenId> firstNewId;
};

// Throws std::invalid_argument naming the first fault: a byte id that is
// negative or repeated; a merge id that is not above the merge before it or
// is a byte's id; a merge part that is neither a byte's id nor the id of an
// earlier merge; a pair merged twice; a firstNewId not above every id.
void checkTrainingStart(const TrainingStart& start);

// The id of the first new merge (see TrainingStart::firstNewId).
TokenId firstNewId(const TrainingStart& start);

// How many merges can follow `start` with ids below 2^31.
std::size_t mergesRoomAfter(const TrainingStart& start);

}  // namespace brevix::bpe
