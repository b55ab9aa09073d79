// Rank-order encoding as defined, for tests: no lookup tables, no shortcuts.
#pragma once

#include <string_view>
#include <vector>

#include "encode/token_types.h"

namespace brevix::bpe {

// The ids of `piece`: its byte tokens, then, while any adjacent pair is one of
// `merges`, the pair with the lowest merge id is merged (the leftmost of
// equal ones). Quadratic or worse; a pair listed twice counts with its lower
// id. Does not validate the table.
std::vector<TokenId> encodeByRankReference(const ByteIds& byteIds, const std::vector<Merge>& merges,
                                           std::string_view piece);

}  // namespace brevix::bpe
