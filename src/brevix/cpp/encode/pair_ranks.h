// The merges of a vocabulary as lookups for encoding: the rank (merge id) of
// an adjacent pair, the pair each merge id joins, and the length in bytes of
// every token.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "encode/pair_rank_map.h"
#include "encode/token_types.h"

namespace brevix::bpe {

// Performance notes: pairs of ids below 512 (in every vocabulary the byte
// tokens and the first merges, where most lookups land) are answered from a
// flat 512 x 512 table of 1 MB; the rest from a PairRankMap. A table of 256 x
// 256 sent the merged tokens of the first 256 merges to the map, 10% slower
// on an unsplit model; 1024 x 1024 (4 MB) leaves the core's cache.
class PairRanks {
public:
    // Ranks are compared unsigned, so that "no merge" is above every rank.
    static constexpr std::uint32_t kNoRank = UINT32_MAX;

    PairRanks() = default;

    // `merges` must be valid for the vocabulary whose tokens have the
    // lengths `lengths` (by id): ids below lengths.size(), each pair once
    // (the Vocabulary checks this).
    PairRanks(const std::vector<Merge>& merges, std::vector<std::uint32_t> lengths);

    // The id of the merge joining (left, right), or kNoRank. Any int32 is a
    // valid argument.
    std::uint32_t rank(TokenId left, TokenId right) const {
        const auto l = static_cast<std::uint32_t>(left);
        const auto r = static_cast<std::uint32_t>(right);
        if ((l | r) < kDirect) return direct_[l * kDirect + r];
        return map_.find(l, r);
    }

    // True when merge `rank` (a rank rank() returned) joins exactly (left, right).
    bool joins(std::uint32_t rank, TokenId left, TokenId right) const {
        return parts_[rank] == pack(left, right);
    }

    // Whether `id` (an id below idCount()) is a merge's token.
    bool isMerge(TokenId id) const { return parts_[static_cast<std::size_t>(id)] != ~std::uint64_t{0}; }
    // The left and right part of merge `rank` (a rank rank() returned).
    TokenId leftOf(std::uint32_t rank) const { return static_cast<TokenId>(parts_[rank] >> 32); }
    TokenId rightOf(std::uint32_t rank) const {
        return static_cast<TokenId>(static_cast<std::uint32_t>(parts_[rank]));
    }

    // The length in bytes of token `id` (an id below idCount()).
    std::uint32_t length(TokenId id) const { return length_[static_cast<std::size_t>(id)]; }

    std::size_t mergeCount() const { return map_.size() + directCount_; }
    // Ids (and so ranks) are below this.
    std::size_t idCount() const { return parts_.size(); }

private:
    static constexpr std::uint32_t kDirect = 512;

    static std::uint64_t pack(TokenId left, TokenId right) {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(left)) << 32) |
               static_cast<std::uint32_t>(right);
    }

    std::vector<std::uint32_t> direct_ = std::vector<std::uint32_t>(kDirect * kDirect, kNoRank);
    PairRankMap map_;
    std::vector<std::uint64_t> parts_;  // by id: the packed pair of a merge, else all ones
    std::vector<std::uint32_t> length_;  // by id
    std::size_t directCount_ = 0;
};

}  // namespace brevix::bpe
