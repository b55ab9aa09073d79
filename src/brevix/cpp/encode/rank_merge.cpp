// Performance notes (the measurements and what was tried: bench/NOTES.md):
// - Keyed path, for the parts most real text cuts into: rank and position
//   in one int make the lowest rank and the leftmost among equals one
//   minimum; block minima make a merge cost the blocks plus one block, and
//   links replace moves.
// - Short path, where ranks are too high to key: tiktoken's array of pair
//   ranks, four independent minimums, then the first position holding it.
// - Long path: merges only create pairs of higher rank, so a monotone
//   radix heap hands out one rank's positions at a time, in order; tokens
//   live in the ids array by byte position (4 bytes a byte), stale entries
//   are dropped by one compare, and a merge skips pushing a pair the
//   batch's next merge takes. What stays above linear is the working set
//   leaving the cache between 256 KB and 1 MB.
#include "encode/rank_merge.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <vector>

namespace brevix::bpe {

namespace {

constexpr std::uint32_t kEnd = UINT32_MAX;  // no next or previous node, no list entry
constexpr TokenId kGone = -1;               // at a position inside a token
// How many positions of a batch ahead the long path asks for the node.
constexpr std::size_t kPrefetchAhead = 8;

// Candidate pairs (rank, position of the left token) handed out a rank at a
// time, lowest rank first, positions in increasing order. A monotone radix
// heap keyed by rank: every rank pushed must be above the last rank handed
// out, which holds because a merge only creates pairs with ids above its own.
class RankBatches {
public:
    bool empty() const { return size_ == 0; }

    // Before the first batch is taken: pushes into one vector, sized once,
    // which the first refill spreads out (a run of one rank, as in 'a' * n,
    // then becomes the first batch without a copy).
    void reserveFirst(std::size_t count) { buckets_[kFirst].reserve(count); }
    void pushFirst(std::uint32_t rank, std::uint32_t position) {
        buckets_[kFirst].push_back(Entry{rank, position});
        ++size_;
    }

    void push(std::uint32_t rank, std::uint32_t position) {
        buckets_[bucketOf(rank)].push_back(Entry{rank, position});
        ++size_;
    }

    // Makes the positions of the lowest rank the batch, in increasing
    // order, and returns the rank. Pushes while the batch is processed have
    // higher ranks and leave it alone.
    std::uint32_t takeBatch() {
        if (buckets_[0].empty()) refill();
        std::vector<Entry>& batch = buckets_[0];
        if (!std::is_sorted(batch.begin(), batch.end(), byPosition)) {
            std::sort(batch.begin(), batch.end(), byPosition);
        }
        return last_;
    }
    std::size_t batchSize() const { return buckets_[0].size(); }
    std::uint32_t batchPosition(std::size_t i) const { return buckets_[0][i].position; }
    void dropBatch() {
        size_ -= buckets_[0].size();
        buckets_[0].clear();
    }

private:
    struct Entry {
        std::uint32_t rank;
        std::uint32_t position;
    };
    static bool byPosition(const Entry& a, const Entry& b) { return a.position < b.position; }

    // 0 for the rank last_, else 1 + the highest bit where a rank differs
    // from last_.
    int bucketOf(std::uint32_t rank) const { return rank == last_ ? 0 : 32 - __builtin_clz(rank ^ last_); }

    // Makes the lowest rank last_ and spreads its bucket out around it; a
    // bucket of that one rank only (as the runs of 'a' * n give) becomes
    // bucket 0 whole, without a copy.
    void refill() {
        int i = 1;
        while (buckets_[i].empty()) ++i;
        std::vector<Entry>& bucket = buckets_[i];
        std::uint32_t lowest = bucket[0].rank;
        bool oneRank = true;
        for (const Entry& e : bucket) {
            oneRank = oneRank && e.rank == lowest;
            lowest = e.rank < lowest ? e.rank : lowest;
        }
        last_ = lowest;
        if (oneRank) {
            buckets_[0].swap(bucket);
            return;
        }
        for (const Entry& e : bucket) buckets_[bucketOf(e.rank)].push_back(e);
        bucket.clear();
    }

    // Holds no rank below 2^31 in the heap's order, so free for pushFirst.
    static constexpr int kFirst = 32;

    std::vector<Entry> buckets_[33];
    std::uint32_t last_ = 0;
    std::size_t size_ = 0;
};

// The tokens of the long path, kept in the ids themselves: a token starting
// at byte position p has its id at ids[p]; the position of its last byte
// holds, when that is not p, minus its distance back to p, so that the token
// before any start is found in one read; every other position holds a
// negative value that matches no pair. The token after p starts at p plus
// its length.
class TokenList {
public:
    TokenList(const PairRanks& ranks, TokenId* ids, std::size_t count)
        : ranks_(ranks), ids_(ids), count_(static_cast<std::uint32_t>(count)) {}

    TokenId id(std::uint32_t at) const { return ids_[at]; }
    void prefetch(std::uint32_t at) const { __builtin_prefetch(ids_ + at); }

    // The start of the token after the one starting at `at`, or kEnd.
    std::uint32_t next(std::uint32_t at) const {
        const std::uint32_t after = at + ranks_.length(ids_[at]);
        return after < count_ ? after : kEnd;
    }

    // The start of the token before the one starting at `at`, or kEnd.
    std::uint32_t prev(std::uint32_t at) const {
        if (at == 0) return kEnd;
        const TokenId last = ids_[at - 1];
        return last >= 0 ? at - 1 : at - 1 + static_cast<std::uint32_t>(last);
    }

    // Merges the token starting at `right` into the one starting at `at`,
    // which becomes `merged`.
    void merge(std::uint32_t at, std::uint32_t right, TokenId merged) {
        const std::uint32_t last = at + ranks_.length(merged) - 1;
        ids_[at] = merged;
        ids_[right] = kGone;
        ids_[last] = -static_cast<TokenId>(last - at);
    }

    // Moves the ids of the tokens to the front, in order; returns their count.
    std::size_t compact() {
        std::size_t out = 0;
        for (std::uint32_t at = 0; at < count_; at += ranks_.length(ids_[at])) ids_[out++] = ids_[at];
        return out;
    }

private:
    const PairRanks& ranks_;
    TokenId* ids_;
    std::uint32_t count_;
};

// Pushes the pair starting at `left`, if there is one and it is a merge.
void pushPair(const PairRanks& ranks, RankBatches& batches, const TokenList& list, std::uint32_t left) {
    if (left == kEnd) return;
    const std::uint32_t right = list.next(left);
    if (right == kEnd) return;
    const std::uint32_t rank = ranks.rank(list.id(left), list.id(right));
    if (rank != PairRanks::kNoRank) batches.push(rank, left);
}

// The lowest of values[0..count), count > 0: four independent minimums, so
// that the loop runs without a dependency from one step to the next.
std::uint32_t lowest(const std::uint32_t* values, std::size_t count) {
    std::uint32_t m[4] = {values[0], values[0], values[0], values[0]};
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        for (int k = 0; k < 4; ++k) m[k] = values[i + k] < m[k] ? values[i + k] : m[k];
    }
    for (; i < count; ++i) m[0] = values[i] < m[0] ? values[i] : m[0];
    return std::min(std::min(m[0], m[1]), std::min(m[2], m[3]));
}

// Whether the pair starting at `at` is still the pair merge `rank` joins.
bool mergesNow(const PairRanks& ranks, const TokenList& list, std::uint32_t rank, std::uint32_t at) {
    const TokenId left = list.id(at);
    if (left < 0) return false;  // merged into the token before
    const std::uint32_t right = list.next(at);
    return right != kEnd && ranks.joins(rank, left, list.id(right));
}

// Whether a later entry of the batch (after entry `i`, past the positions
// inside the token just merged) merges the token starting at `after`: that
// merge pushes the pair with the token before it itself, so pushing it now
// would only leave a stale entry.
bool nextInBatchMerges(const PairRanks& ranks, const RankBatches& batches, const TokenList& list,
                       std::uint32_t rank, std::size_t i, std::uint32_t after) {
    if (after == kEnd) return false;
    std::size_t j = i + 1;
    while (j < batches.batchSize() && batches.batchPosition(j) < after) ++j;
    return j < batches.batchSize() && batches.batchPosition(j) == after && mergesNow(ranks, list, rank, after);
}

constexpr std::int32_t kNoKey = INT32_MAX;
constexpr std::size_t kKeyBlock = 8;
constexpr unsigned kPositionBits = 10;
constexpr std::size_t kPositionMask = (std::size_t{1} << kPositionBits) - 1;
static_assert(kKeyedPieceTokens <= (std::size_t{1} << kPositionBits) && kKeyedPieceTokens % kKeyBlock == 0 &&
              kKeyedPieceTokens <= UINT16_MAX);
// The highest key, of rank kKeyedRankLimit - 1 at position
// kKeyedPieceTokens - 2, stays below kNoKey.
static_assert((kKeyedRankLimit << kPositionBits) - 1 <= std::size_t{INT32_MAX});

// The lowest of a block of kKeyBlock keys: four independent minimums.
std::int32_t lowestOfBlock(const std::int32_t* keys) {
    std::int32_t m0 = keys[0], m1 = keys[1], m2 = keys[2], m3 = keys[3];
    for (std::size_t i = 4; i < kKeyBlock; i += 4) {
        m0 = keys[i] < m0 ? keys[i] : m0;
        m1 = keys[i + 1] < m1 ? keys[i + 1] : m1;
        m2 = keys[i + 2] < m2 ? keys[i + 2] : m2;
        m3 = keys[i + 3] < m3 ? keys[i + 3] : m3;
    }
    return std::min(std::min(m0, m1), std::min(m2, m3));
}

// mergeByRankKeyed without its checks. The working arrays are locals, not
// members of an object, so that the compiler knows stores through `ids`
// leave them alone (as members reached through `this` they were reloaded
// after every store, 15% slower).
std::size_t mergeKeyed(const PairRanks& ranks, TokenId* ids, std::size_t count) {
    std::int32_t key[kKeyedPieceTokens];  // of the pair starting at each token, or kNoKey
    std::int32_t blockLowest[kKeyedPieceTokens / kKeyBlock];
    std::uint16_t next[kKeyedPieceTokens];
    std::uint16_t prev[kKeyedPieceTokens];
    // Whether a pair is a merge is as good as random, so the key is chosen
    // with a mask, not a branch (mispredicted, the branch cost 15%).
    auto keyOf = [&](std::size_t left, std::size_t right) {
        const std::uint32_t rank = ranks.rank(ids[left], ids[right]);
        const std::uint32_t none = 0u - static_cast<std::uint32_t>(rank == PairRanks::kNoRank);
        const auto key = static_cast<std::uint32_t>(rank << kPositionBits | left);
        return static_cast<std::int32_t>((key & ~none) | (static_cast<std::uint32_t>(kNoKey) & none));
    };
    const std::size_t pairs = count - 1;
    const std::size_t blocks = (pairs + kKeyBlock - 1) / kKeyBlock;
    for (std::size_t i = 0; i < pairs; ++i) {
        key[i] = keyOf(i, i + 1);
        next[i] = static_cast<std::uint16_t>(i + 1);
        prev[i + 1] = static_cast<std::uint16_t>(i);
    }
    for (std::size_t i = pairs; i < blocks * kKeyBlock; ++i) key[i] = kNoKey;
    next[pairs] = static_cast<std::uint16_t>(count);
    for (std::size_t b = 0; b < blocks; ++b) blockLowest[b] = lowestOfBlock(key + b * kKeyBlock);
    // Sets key i; its block's lowest follows.
    auto setKey = [&](std::size_t i, std::int32_t value) {
        const std::int32_t old = key[i];
        key[i] = value;
        std::int32_t& low = blockLowest[i / kKeyBlock];
        if (value < low) {
            low = value;
        } else if (old == low) {
            low = lowestOfBlock(key + i / kKeyBlock * kKeyBlock);
        }
    };
    for (std::size_t live = count; live > 1; --live) {
        std::int32_t lowest = blockLowest[0];
        for (std::size_t b = 1; b < blocks; ++b) lowest = blockLowest[b] < lowest ? blockLowest[b] : lowest;
        if (lowest == kNoKey) break;
        const std::size_t at = static_cast<std::size_t>(lowest) & kPositionMask;
        const std::size_t right = next[at];
        ids[at] = static_cast<TokenId>(lowest >> kPositionBits);
        const std::size_t after = next[right];
        next[at] = static_cast<std::uint16_t>(after);
        // The lowest key was at's own, so its block is rescanned anyway:
        // once, after every key in it has changed.
        const std::size_t atBlock = at / kKeyBlock;
        auto change = [&](std::size_t i, std::int32_t value) {
            if (i / kKeyBlock == atBlock) {
                key[i] = value;
            } else {
                setKey(i, value);
            }
        };
        if (right < pairs) change(right, kNoKey);
        if (after < count) {
            prev[after] = static_cast<std::uint16_t>(at);
            key[at] = keyOf(at, after);
        } else {
            key[at] = kNoKey;
        }
        if (at > 0) change(prev[at], keyOf(prev[at], at));
        blockLowest[atBlock] = lowestOfBlock(key + atBlock * kKeyBlock);
    }
    std::size_t out = 0;
    for (std::size_t i = 0; i < count; i = next[i]) ids[out++] = ids[i];
    return out;
}

}  // namespace

std::size_t mergeByRankKeyed(const PairRanks& ranks, TokenId* ids, std::size_t count) {
    if (count > kKeyedPieceTokens || ranks.idCount() > kKeyedRankLimit) {
        throw std::invalid_argument("the keyed path takes up to 1024 tokens and ranks below 2^21");
    }
    if (count < 2) return count;
    return mergeKeyed(ranks, ids, count);
}

std::size_t mergeByRankShort(const PairRanks& ranks, TokenId* ids, std::size_t count) {
    if (count < 2) return count;
    std::vector<std::uint32_t> heapRanks;
    std::uint32_t local[kShortPieceTokens];
    std::uint32_t* pairRank = local;
    if (count > kShortPieceTokens) {
        heapRanks.resize(count);
        pairRank = heapRanks.data();
    }
    for (std::size_t i = 0; i + 1 < count; ++i) pairRank[i] = ranks.rank(ids[i], ids[i + 1]);
    while (count > 1) {
        const std::uint32_t rank = lowest(pairRank, count - 1);
        if (rank == PairRanks::kNoRank) break;
        const std::size_t best = static_cast<std::size_t>(std::find(pairRank, pairRank + count - 1, rank) - pairRank);
        ids[best] = static_cast<TokenId>(rank);
        std::memmove(ids + best + 1, ids + best + 2, (count - best - 2) * sizeof(TokenId));
        --count;
        if (best + 1 < count) {
            std::memmove(pairRank + best + 1, pairRank + best + 2,
                         (count - best - 2) * sizeof(std::uint32_t));
            pairRank[best] = ranks.rank(ids[best], ids[best + 1]);
        }
        if (best > 0) pairRank[best - 1] = ranks.rank(ids[best - 1], ids[best]);
    }
    return count;
}

std::size_t mergeByRankLong(const PairRanks& ranks, TokenId* ids, std::size_t count) {
    if (count >= kEnd) throw std::length_error("a piece of 2^32 - 1 bytes or more cannot be merged");
    if (count < 2) return count;
    TokenList list(ranks, ids, count);
    RankBatches batches;
    batches.reserveFirst(count - 1);
    for (std::uint32_t i = 0; i + 1 < count; ++i) {
        const std::uint32_t rank = ranks.rank(ids[i], ids[i + 1]);
        if (rank != PairRanks::kNoRank) batches.pushFirst(rank, i);
    }
    while (!batches.empty()) {
        const std::uint32_t rank = batches.takeBatch();
        const std::size_t size = batches.batchSize();
        for (std::size_t i = 0; i < size; ++i) {
            if (i + kPrefetchAhead < size) list.prefetch(batches.batchPosition(i + kPrefetchAhead));
            const std::uint32_t at = batches.batchPosition(i);
            if (!mergesNow(ranks, list, rank, at)) continue;  // stale: a neighbour merged first
            const std::uint32_t right = list.next(at);
            list.merge(at, right, static_cast<TokenId>(rank));
            pushPair(ranks, batches, list, list.prev(at));
            if (!nextInBatchMerges(ranks, batches, list, rank, i, list.next(at))) {
                pushPair(ranks, batches, list, at);
            }
        }
        batches.dropBatch();
    }
    return list.compact();
}

std::size_t mergeByRank(const PairRanks& ranks, TokenId* ids, std::size_t count) {
    if (count < 2) return count;
    if (count <= kKeyedPieceTokens && ranks.idCount() <= kKeyedRankLimit) return mergeKeyed(ranks, ids, count);
    if (count <= kShortPieceTokens) return mergeByRankShort(ranks, ids, count);
    return mergeByRankLong(ranks, ids, count);
}

}  // namespace brevix::bpe
