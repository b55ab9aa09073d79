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
// mergeByRank. Pieces of 64 KiB or more go through encodeBySearch with
// vocabularies of up to 65,535 ids and 4 MiB of token bytes, else through
// encodeLongPiece with up to 2^16 ids.
// Throws what those throw (`out` then keeps its earlier ids and may hold
// more after them).
void encodePiece(const Vocabulary& vocab, std::string_view piece, std::vector<TokenId>& out);

// encodePiece's way for long pieces, for any piece: parts are cut and looked
// up the same way, short parts merge alone, and the longer parts merge
// together in batches (BatchMerger), the longest alone on mergeByRank's path.
void encodeLongPiece(const Vocabulary& vocab, std::string_view piece, std::vector<TokenId>& out);

// encodePiece's way for long pieces in small vocabularies, for any piece:
// encodeByBacktracking, and merging from bytes where it finds no sequence.
void encodeBySearch(const Vocabulary& vocab, std::string_view piece, std::vector<TokenId>& out);

// Appends the byte tokens of `piece` merged by rank, without lookups or cuts.
void encodePieceFromBytes(const Vocabulary& vocab, std::string_view piece, std::vector<TokenId>& out);

}  // namespace brevix::bpe
