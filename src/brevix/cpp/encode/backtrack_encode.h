// Rank-order encoding without merging: the tokens are chosen by longest
// match from the start, and a choice that cannot be part of the result is
// taken back.
//
// A token sequence is the rank-order encoding of its bytes exactly when
// every token encodes to itself alone and every two adjacent tokens encode
// to themselves as a pair: merging in rank order never joins two tokens'
// bytes unless it does so in some pair of them alone. So the result is the
// one sequence of such tokens where every adjacent pair passes
// `encodesAsPair`, and a search that takes the longest token first and
// steps back when no token can follow finds it (only a collision in the
// index, hiding a token, can make it find none).
// A position from which no token could follow is remembered, so each
// position's tokens are tried at most once: time linear in the text, times
// the longest token's length at worst.
#pragma once

#include <string_view>
#include <vector>

#include "encode/pair_ranks.h"
#include "encode/token_types.h"
#include "encode/vocabulary.h"

namespace brevix::bpe {

// Whether rank-order encoding of the bytes of `left` followed by those of
// `right` gives exactly left, right. Both must encode to themselves alone.
bool encodesAsPair(const PairRanks& ranks, TokenId left, TokenId right);

// Appends the rank-order encoding of `piece` (not empty) to `out` and
// returns true; returns false with `out` as it was if the search finds no
// sequence (see above). Builds the vocabulary's wholePrefixes() on first
// use; throws what that and std::vector throw (`out` then keeps its earlier
// ids and may hold more).
bool encodeByBacktracking(const Vocabulary& vocab, std::string_view piece, std::vector<TokenId>& out);

}  // namespace brevix::bpe
