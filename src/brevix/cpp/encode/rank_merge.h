// Merging a sequence of tokens by rank: while any adjacent pair is a merge,
// the pair with the lowest merge id is merged, the leftmost of equal ones.
#pragma once

#include <cstddef>

#include "encode/pair_ranks.h"
#include "encode/token_types.h"

namespace brevix::bpe {

// Up to this many tokens, mergeByRank takes the short path.
inline constexpr std::size_t kShortPieceTokens = 128;

// Merges ids[0..count), the byte tokens of a piece of `count` bytes, in place
// by rank and returns how many ids remain (the first ones of `ids`). Picks
// the short or the long path by count. Throws std::length_error for a piece
// of 2^32 - 1 bytes or more, std::bad_alloc when the long path's working
// memory cannot be had.
std::size_t mergeByRank(const PairRanks& ranks, TokenId* ids, std::size_t count);

// The short path, for any count (quadratic: for short pieces): the ranks of
// adjacent pairs in an array, a linear scan for the lowest. Also takes ids
// other than byte tokens.
std::size_t mergeByRankShort(const PairRanks& ranks, TokenId* ids, std::size_t count);

// The long path, for any count below 2^32 - 1 (about linear in the count):
// the tokens kept in `ids` by byte position, candidate pairs handed out a
// rank at a time from a radix heap.
std::size_t mergeByRankLong(const PairRanks& ranks, TokenId* ids, std::size_t count);

}  // namespace brevix::bpe
