// A standard byte-pair vocabulary: 256 byte tokens, merges whose id is their
// rank, and special tokens, with the bytes of every token and the lookups
// encoding and decoding need.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "encode/bytes_index.h"
#include "encode/pair_rank_map.h"
#include "encode/pair_ranks.h"
#include "encode/special_tokens.h"
#include "encode/token_arena.h"
#include "encode/token_prefixes.h"
#include "encode/token_types.h"

namespace brevix::bpe {

// Immutable after construction (the index of wholePrefixes() is built on
// first use, once); usable from many threads at once. Neither copied nor
// moved: owners share it.
class Vocabulary {
public:
    enum class Kind : std::uint8_t { Byte, Merge, Special, Unused };

    // The vocabulary of ids 0..n-1: bytes and merges take 0..255 + merges
    // (merges in any order), special tokens any other ids, and ids no token
    // takes are Unused (special tokens may leave gaps, as cl100k's do).
    // Throws std::invalid_argument naming the first bad entry when a byte's
    // or merge's id is outside 0..255 + merges, an id is negative or used
    // twice (entries taken bytes first, then merges in the order given, then
    // specials), and then, merges taken in id order, when: a merge's part is
    // not below the merge's id, or is a special token; a pair is merged
    // twice; two normal tokens have the same bytes; all tokens together pass
    // 4 GiB (refused before that much is allocated). A special token may
    // have the bytes of a normal token.
    Vocabulary(const ByteIds& byteIds, std::vector<Merge> merges, SpecialTokens specials = {});

    // The highest id plus one, special tokens included.
    std::size_t size() const { return kind_.size(); }
    const ByteIds& byteIds() const { return byteIds_; }
    // The merges in id order.
    const std::vector<Merge>& merges() const { return merges_; }
    const SpecialTokens& specials() const { return specials_; }
    const PairRanks& pairRanks() const { return pairRanks_; }
    const TokenArena& arena() const { return arena_; }

    // For an id below size().
    Kind kind(TokenId id) const { return kind_[static_cast<std::size_t>(id)]; }
    std::string_view bytes(TokenId id) const { return arena_.view(id); }

    // The id of the token with exactly these bytes: a normal token if there
    // is one, else a special token; none otherwise.
    std::optional<TokenId> tokenId(std::string_view bytes) const;

    // The id of the normal token with these bytes when rank-order encoding
    // of the bytes gives back that one token; none otherwise (also for a
    // token whose bytes encode to several tokens).
    std::optional<TokenId> wholeTokenId(std::string_view bytes) const {
        if (bytes.size() > maxTokenLength_) return std::nullopt;
        bool whole = false;
        const TokenId id = index_.find(arena_, bytes, whole);
        if (id < 0 || !whole) return std::nullopt;
        return id;
    }

    // Whether rank-order encoding of the bytes of normal token `id` gives it
    // back as one token (always true for byte tokens).
    bool isWhole(TokenId id) const;

    // Whether some token holds byte `a` followed by byte `b`. Where none
    // does, no merge ever joins the bytes on either side, so a text can be
    // encoded in parts cut there.
    bool mayJoin(unsigned char a, unsigned char b) const {
        const std::size_t bit = static_cast<std::size_t>(a) << 8 | b;
        return (joinable_[bit >> 6] >> (bit & 63)) & 1u;
    }

    // The length of the longest normal token.
    std::size_t maxTokenLength() const { return maxTokenLength_; }

    // The normal tokens that encode to themselves (isWhole), by prefix:
    // built on the first call, which throws what building throws (a later
    // call tries again).
    const TokenPrefixes& wholePrefixes() const;

private:
    void checkIds(const std::vector<Merge>& merges);
    std::vector<std::uint64_t> tokenLengths() const;
    void buildTokens();
    void checkMerge(const Merge& m, PairRankMap& seen) const;
    void indexNormalTokens();
    void markWholeTokens();
    void markJoinableBytes();

    ByteIds byteIds_;
    std::vector<Merge> merges_;
    SpecialTokens specials_;
    std::vector<Kind> kind_;         // by id
    std::vector<std::uint32_t> entry_;  // by id: byte value, merge index (in merges_) or special index
    TokenArena arena_;
    BytesIndex index_;  // normal tokens, flagged when whole
    PairRanks pairRanks_;
    std::size_t maxTokenLength_ = 0;
    std::uint64_t joinable_[65536 / 64] = {};  // bit a << 8 | b: see mayJoin()
    // wholePrefixes(): built under the lock (not std::call_once, which with
    // this libstdc++ leaves its flag taken when the build throws, and the next
    // call waits forever), published through the pointer.
    mutable std::mutex prefixesLock_;
    mutable std::unique_ptr<const TokenPrefixes> prefixes_;
    mutable std::atomic<const TokenPrefixes*> builtPrefixes_{nullptr};
};

}  // namespace brevix::bpe
