// Merging many parts of a text by rank at once: for long texts cut into
// parts that merge independently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "encode/pair_ranks.h"
#include "encode/token_types.h"

namespace brevix::bpe {

// Holds parts of a text whose adjacent pairs merge, each part on its own,
// and merges them all by rank (lowest merge id first, leftmost among equals)
// in one pass over the ranks: the pairs wait in a bucket per rank, and the
// buckets are emptied in increasing order. A merge only creates pairs of a
// higher rank, so a bucket never refills once taken. Each part's tokens then
// go into the output at the place given with the part, so that the tokens
// between parts are written straight to the output, not through the batch.
class BatchMerger {
public:
    // Parts may hold up to this many tokens in all (a token and two merges
    // each queue at most three pairs, numbered in 32 bits).
    static constexpr std::size_t kMaxTokens = (UINT32_MAX - 2) / 3;

    explicit BatchMerger(const PairRanks& ranks);

    // The tokens the parts hold before merging.
    std::size_t size() const { return count_; }

    // Adds a part of `count` tokens whose merged tokens belong at index
    // `place` of the output mergeInto is given (an index of that output as
    // it is before anything is inserted; parts in the order of their
    // places). Throws std::length_error past kMaxTokens tokens in all.
    void addPart(const TokenId* ids, std::size_t count, std::size_t place);

    // Merges every part, inserts each part's tokens into `out` at its
    // place, and empties the batch. Throws std::invalid_argument for a
    // place past the end of `out`, std::bad_alloc (the batch is then empty
    // and `out` as it was).
    void mergeInto(std::vector<TokenId>& out);

private:
    struct Entry {
        std::uint32_t position;  // of the pair's left token
        std::uint32_t next;      // the bucket's next entry, or kNone
    };
    static constexpr std::uint32_t kNone = UINT32_MAX;

    struct Pass;

    std::uint32_t appendSlots(std::size_t count);
    void reserveEntries(std::size_t count);
    // Queues a pair; the entries have room for it.
    void push(std::uint32_t rank, std::uint32_t left);
    void mergeAll();
    void insertParts(std::vector<TokenId>& out) const;
    void clear(bool bucketsEmpty);

    const PairRanks& ranks_;
    // By position: the token (kGone once merged into the one before), the
    // next live token's position, and the live token before (kNone at the
    // start of a part and at the end).
    std::vector<TokenId> token_;
    std::vector<std::uint32_t> next_;
    std::vector<std::uint32_t> prev_;
    std::vector<std::uint32_t> head_;       // by rank: the bucket's first entry, or kNone
    std::vector<std::uint64_t> nonEmpty_;   // by rank: a bit per bucket holding entries
    std::vector<Entry> entries_;
    std::uint32_t queued_ = 0;  // entries in use
    std::vector<std::size_t> places_;  // by part
    std::uint32_t count_ = 0;
};

// Merges ids[0..count) by rank as one part, in place, and returns how many
// ids remain: the definition's result through the BatchMerger (for tests).
std::size_t mergeByRankBatched(const PairRanks& ranks, TokenId* ids, std::size_t count);

}  // namespace brevix::bpe
