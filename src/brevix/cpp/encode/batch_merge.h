// Merging many parts of a text by rank at once: for long texts cut into
// parts that merge independently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "encode/pair_ranks.h"
#include "encode/token_types.h"

namespace brevix::bpe {

// Holds a run of tokens, some of them grouped into parts whose adjacent
// pairs may merge, and merges every part by rank (lowest merge id first,
// leftmost among equals) in one pass over the ranks: the pairs wait in a
// bucket per rank, and the buckets are emptied in increasing order. A merge
// only creates pairs of a higher rank, so a bucket never refills once taken.
// Tokens outside parts, and tokens of different parts, never merge.
class BatchMerger {
public:
    // Parts and tokens may hold up to this many tokens in all (a token and
    // two merges each queue at most three pairs, numbered in 32 bits).
    static constexpr std::size_t kMaxTokens = (UINT32_MAX - 2) / 3;

    explicit BatchMerger(const PairRanks& ranks);

    std::size_t size() const { return count_; }

    // Adds a part of `count` tokens whose adjacent pairs merge by rank.
    // Throws std::length_error past kMaxTokens tokens in all.
    void addPart(const TokenId* ids, std::size_t count);

    // Adds tokens that stay as they are.
    void addTokens(const TokenId* ids, std::size_t count);

    // Merges every part, appends the tokens in order to `out`, and empties
    // the batch. Throws std::bad_alloc (the batch is then empty).
    void mergeInto(std::vector<TokenId>& out);

private:
    struct Entry {
        std::uint32_t position;  // of the pair's left token
        std::uint32_t next;      // the bucket's next entry, or kNone
    };
    static constexpr std::uint32_t kNone = UINT32_MAX;

    std::uint32_t appendSlots(std::size_t count);
    void push(std::uint32_t rank, std::uint32_t left);
    void pushPairAt(std::uint32_t left);
    void joinNext(std::uint32_t at, TokenId merged);
    void mergeRank(std::uint32_t rank);
    void mergeRunsOfOne(std::uint32_t rank, std::uint32_t entry);
    void clear(bool bucketsEmpty);

    const PairRanks& ranks_;
    // By position: the token (kGone once merged into the one before), the
    // next live token's position, and the live token before (kNone at the
    // start of a part, and for tokens outside parts).
    std::vector<TokenId> token_;
    std::vector<std::uint32_t> next_;
    std::vector<std::uint32_t> prev_;
    std::vector<std::uint32_t> head_;       // by rank: the bucket's first entry, or kNone
    std::vector<std::uint64_t> nonEmpty_;   // by rank: a bit per bucket holding entries
    std::vector<Entry> entries_;
    std::uint32_t count_ = 0;
};

// Merges ids[0..count) by rank as one part, in place, and returns how many
// ids remain: the definition's result through the BatchMerger (for tests).
std::size_t mergeByRankBatched(const PairRanks& ranks, TokenId* ids, std::size_t count);

}  // namespace brevix::bpe
