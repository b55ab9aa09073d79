// Encoding one piece of text by rank with a Vocabulary.
#pragma once

#include <string_view>
#include <vector>

#include "encode/token_types.h"
#include "encode/vocabulary.h"

namespace brevix::bpe {

// Appends the ids of `piece`, encoded by rank, to `out`: a piece that is a
// whole token (Vocabulary::wholeTokenId) in one lookup; any other is cut
// between bytes that no token holds side by side (Vocabulary::mayJoin), and
// each part is looked up the same way or merged from its byte tokens through
// mergeByRank. Throws what mergeByRank throws (`out` then keeps its earlier
// ids and may hold more after them).
void encodePiece(const Vocabulary& vocab, std::string_view piece, std::vector<TokenId>& out);

// Appends the byte tokens of `piece` merged by rank, without lookups or cuts.
void encodePieceFromBytes(const Vocabulary& vocab, std::string_view piece, std::vector<TokenId>& out);

}  // namespace brevix::bpe
