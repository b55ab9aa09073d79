// Merging a sequence of tokens by rank: while any adjacent pair is a merge,
// the pair with the lowest merge id is merged, the leftmost of equal ones.
#pragma once

#include <cstddef>

#include "encode/pair_ranks.h"
#include "encode/token_types.h"

namespace brevix::bpe {

// Up to this many tokens, mergeByRank takes the keyed path when the ranks
// allow it (kKeyedRankLimit), else the short path up to kShortPieceTokens.
inline constexpr std::size_t kKeyedPieceTokens = 1024;
inline constexpr std::size_t kShortPieceTokens = 128;
// The keyed path packs a rank and a position into one int: it takes ranks
// whose ids are all below this.
inline constexpr std::size_t kKeyedRankLimit = std::size_t{1} << 21;

// Merges ids[0..count), the byte tokens of a piece of `count` bytes, in place
// by rank and returns how many ids remain (the first ones of `ids`). Picks
// the keyed, short or long path by count and the ranks' ids. Throws std::length_error for a piece
// of 2^32 - 1 bytes or more, std::bad_alloc when the long path's working
// memory cannot be had.
std::size_t mergeByRank(const PairRanks& ranks, TokenId* ids, std::size_t count);

// The keyed path, for count <= kKeyedPieceTokens and ranks.idCount() <=
// kKeyedRankLimit (std::invalid_argument otherwise): each
// adjacent pair is one int, its rank above its position, so the lowest int
// is the lowest rank and, among equal ranks, the leftmost; the lowest of
// each block of eight is kept, so a merge scans the blocks' lowest ints and
// rescans one block. Tokens are linked, not moved.
std::size_t mergeByRankKeyed(const PairRanks& ranks, TokenId* ids, std::size_t count);

// The short path, for any count (quadratic: for short pieces): the ranks of
// adjacent pairs in an array, a linear scan for the lowest. Also takes ids
// other than byte tokens.
std::size_t mergeByRankShort(const PairRanks& ranks, TokenId* ids, std::size_t count);

// The long path, for any count below 2^32 - 1 (about linear in the count):
// the tokens kept in `ids` by byte position, candidate pairs handed out a
// rank at a time from a radix heap.
std::size_t mergeByRankLong(const PairRanks& ranks, TokenId* ids, std::size_t count);

}  // namespace brevix::bpe
