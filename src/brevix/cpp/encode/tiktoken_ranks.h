// tiktoken's form of a vocabulary: tokens listed by rank, no pairs. tiktoken
// encodes by merging the adjacent pair whose concatenated bytes have the
// lowest rank; these functions recover merge pairs from such a list and
// check that a merge table survives the trip.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "encode/token_types.h"
#include "encode/vocabulary.h"

namespace brevix::bpe {

struct RankedMerges {
    ByteIds byteIds;            // the rank of each single byte
    std::vector<Merge> merges;  // one per token of two bytes or more, in rank order
};

// The byte ids and merges of the tokens `tokensByRank` lists (index = rank):
// each token of two or more bytes is encoded with tiktoken's rule using only
// the ranks below its own, and the two parts that must result become its
// merge pair. Throws std::invalid_argument naming the token (escaped) and its
// rank when: a token is empty or repeats an earlier one; a single byte has no
// token; the rule leaves other than two parts; a part's rank is not below the
// token's (a single byte ranked above a token made of it); the list has
// 2^31 - 1 tokens or more.
RankedMerges mergesFromRanks(const std::vector<std::string>& tokensByRank);

// The first merge (lowest id) whose bytes tiktoken's rule, with the ranks
// (ids) of the normal tokens below it, does not split into exactly its own
// pair; none when every merge passes, which is when saving the vocabulary in
// tiktoken's form and loading it back gives the same merges.
std::optional<TokenId> firstTiktokenIncompatible(const Vocabulary& vocab);

}  // namespace brevix::bpe
