// Choosing among equally frequent pairs: the pair a walk of a freshly counted
// statistics table would meet first. That table receives the live pairs in
// the order of their leftmost occurrences, so its walk order follows from
// the pairs' hashes and that order alone (walk_order.h). This file evaluates
// that order only where it decides the tie.
#include <algorithm>
#include <cmath>

#include "straightforward.h"
#include "trainer.h"
#include "walk_order.h"

// Performance notes
// - Modelling the whole table on every tie costs two list operations per live
//   pair and epoch: fine for small tables, the bottleneck at a megabyte of
//   text and beyond (ties are about half of all iterations on real text).
// - The targeted walk reads, epoch by epoch from the top, only the buckets of
//   the keys being ordered; the keys old in that epoch are ordered one epoch
//   down. Low epochs, whose buckets hold many keys of the whole table, are
//   modelled in full instead: they hold few keys.
// - Membership of a key in an epoch is a comparison of its leftmost
//   occurrence with the position of that epoch's first insert, found by
//   select() on the first-occurrence set; no ranks are stored.
// - A shortcut for tied pairs in buckets of only top-epoch pairs rarely fires
//   on real text (frequent pairs occur early, so they are old in every
//   epoch) but is free; it helps with the wide ties of low counts.
// - Sorting by precomputed (group, time) ranks instead of a comparator that
//   looked up each key's bucket made ties about 3x cheaper. Modelling epochs
//   up to 8 * sqrt(pairs) buckets in full beat 2x and 4x that bound.
// - The low-epoch model is kept between ties until a first occurrence inside
//   it changes; on real text most ties reuse it.
// - Still slow: very wide ties late in long runs on small corpora (1 MB,
//   10,000 merges: about 5 s, nearly all in tie-breaks); the chain walks of
//   the epochs just above the cut dominate there. Tried for it: a packed
//   array of first occurrences for those walks, and modelling more epochs in
//   full (16 or 32 * sqrt(pairs)); neither gained beyond run-to-run noise.

namespace bytepairtokenizer {

IncrementalTrainer::BucketChains& IncrementalTrainer::chainsFor(int e) {
    if (chains_.size() <= static_cast<std::size_t>(e)) chains_.resize(static_cast<std::size_t>(e) + 1);
    BucketChains& ch = chains_[static_cast<std::size_t>(e)];
    if (!ch.head.empty()) return ch;
    const std::uint32_t buckets = epochSchedule()[static_cast<std::size_t>(e)].buckets;
    ch.head.assign(buckets, -1);
    ch.next.assign(records_.size(), -1);
    for (int r = 0; r < static_cast<int>(records_.size()); ++r) {
        if (records_[r].count == 0) continue;
        int& head = ch.head[records_[r].hash % buckets];
        ch.next[static_cast<std::size_t>(r)] = head;
        head = r;
    }
    return ch;
}

void IncrementalTrainer::linkIntoChains(int r) {
    const auto& schedule = epochSchedule();
    for (std::size_t e = 0; e < chains_.size(); ++e) {
        BucketChains& ch = chains_[e];
        if (ch.head.empty()) continue;
        ch.next.resize(records_.size(), -1);
        int& head = ch.head[records_[r].hash % schedule[e].buckets];
        ch.next[static_cast<std::size_t>(r)] = head;
        head = r;
    }
}

bool IncrementalTrainer::presentInEpoch(int r, int e, const TieContext& ctx) const {
    const PairRecord& rec = records_[r];
    if (rec.count == 0) return false;
    return e == ctx.top || rec.firstOcc < ctx.epochStart[static_cast<std::size_t>(e) + 1];
}

// Models the table in full up to the end of the cut epoch, recording each
// key's walk position there.
void IncrementalTrainer::modelCutEpoch(const TieContext& ctx) {
    if (ctx.cut == cutModelEpoch_ && ctx.cut < ctx.top) return;  // still valid
    const auto& schedule = epochSchedule();
    const int keys = ctx.cut == ctx.top ? firsts_.size()
                                        : schedule[static_cast<std::size_t>(ctx.cut) + 1].firstInsert - 1;
    std::vector<int> inserted;
    std::vector<std::uint32_t> hashes;
    inserted.reserve(static_cast<std::size_t>(keys));
    hashes.reserve(static_cast<std::size_t>(keys));
    firsts_.forEachAscending([&](int pos) {
        const int r = nodes_[pos].pairId;
        inserted.push_back(r);
        hashes.push_back(records_[r].hash);
        return static_cast<int>(inserted.size()) < keys;
    });
    const std::vector<int> order = tableWalkOrder(hashes);
    for (std::size_t k = 0; k < order.size(); ++k) {
        records_[inserted[static_cast<std::size_t>(order[k])]].cutPos = static_cast<int>(k);
    }
    cutModelEpoch_ = ctx.cut;
    cutModelLastPos_ = inserted.empty() ? -1 : records_[inserted.back()].firstOcc;
}

// Calls f(r) for every live record in bucket b of the chains, unlinking
// records that died since the chain was built.
template <typename F>
void IncrementalTrainer::forEachLiveInBucket(BucketChains& ch, std::uint32_t b, F f) {
    int* link = &ch.head[b];
    while (*link >= 0) {
        const int r = *link;
        if (records_[r].count == 0) {
            *link = ch.next[static_cast<std::size_t>(r)];
            continue;
        }
        link = &ch.next[static_cast<std::size_t>(r)];
        f(r);
    }
}

// The common case of a tie, decided without looking below the top epoch: a
// bucket holding only pairs inserted in the top epoch walks before every
// bucket that holds an older pair. Among such buckets the one whose earliest
// pair was inserted last comes first, and inside it the latest tied pair.
// Returns -1 when every tied pair shares its bucket with an older pair.
int IncrementalTrainer::winnerInFreshBuckets(const std::vector<int>& tied, const TieContext& ctx) {
    const std::uint32_t buckets = epochSchedule()[static_cast<std::size_t>(ctx.top)].buckets;
    const int epochStart = ctx.epochStart[static_cast<std::size_t>(ctx.top)];
    BucketChains& ch = chainsFor(ctx.top);
    int winner = -1;
    int winnerBucketFirst = -1;
    for (int k : tied) {
        if (records_[k].firstOcc < epochStart) continue;
        int bucketFirst = records_[k].firstOcc;
        bool fresh = true;
        forEachLiveInBucket(ch, records_[k].hash % buckets, [&](int r) {
            fresh = fresh && records_[r].firstOcc >= epochStart;
            bucketFirst = std::min(bucketFirst, records_[r].firstOcc);
        });
        if (!fresh) continue;
        if (bucketFirst > winnerBucketFirst ||
            (bucketFirst == winnerBucketFirst && records_[k].firstOcc > records_[winner].firstOcc)) {
            winner = k;
            winnerBucketFirst = bucketFirst;
        }
    }
    return winner;
}

// `keys` (all present in epoch e) in the walk order at the end of epoch e:
// grouped by bucket, groups by the effective time of their earliest member,
// latest first; within a group, latest first. Keys present before the epoch
// take their times from the walk order one epoch down; keys inserted during
// it come after them, in insertion order.
void IncrementalTrainer::walkOrderAtEpoch(int e, std::vector<int>& keys, const TieContext& ctx,
                                          bool firstOnly) {
    if (keys.empty()) return;
    if (e <= ctx.cut) {
        std::sort(keys.begin(), keys.end(),
                  [&](int a, int b) { return records_[a].cutPos < records_[b].cutPos; });
        return;
    }
    const std::uint32_t buckets = epochSchedule()[static_cast<std::size_t>(e)].buckets;
    BucketChains& ch = chainsFor(e);
    std::vector<std::uint32_t> bucketsUsed;
    bucketsUsed.reserve(keys.size());
    for (int k : keys) bucketsUsed.push_back(records_[k].hash % buckets);
    std::sort(bucketsUsed.begin(), bucketsUsed.end());
    bucketsUsed.erase(std::unique(bucketsUsed.begin(), bucketsUsed.end()), bucketsUsed.end());

    // Members of those buckets present in this epoch, bucket by bucket;
    // groupEnd marks where each bucket's run ends.
    std::vector<int> members;
    std::vector<std::size_t> groupEnd;
    std::vector<int> old;
    const int epochStart = ctx.epochStart[static_cast<std::size_t>(e)];
    for (std::uint32_t b : bucketsUsed) {
        forEachLiveInBucket(ch, b, [&](int r) {
            if (!presentInEpoch(r, e, ctx)) return;
            members.push_back(r);
            if (records_[r].firstOcc < epochStart) old.push_back(r);
        });
        groupEnd.push_back(members.size());
    }

    walkOrderAtEpoch(e - 1, old, ctx, false);
    constexpr long long kInsertedDuring = 1LL << 40;
    for (int r : members) records_[r].tieTime = kInsertedDuring + records_[r].firstOcc;
    for (std::size_t k = 0; k < old.size(); ++k) records_[old[k]].tieTime = static_cast<long long>(k);
    std::size_t begin = 0;
    for (std::size_t end : groupEnd) {
        long long earliest = kInsertedDuring * 2;
        for (std::size_t m = begin; m < end; ++m) earliest = std::min(earliest, records_[members[m]].tieTime);
        for (std::size_t m = begin; m < end; ++m) records_[members[m]].tieGroup = earliest;
        begin = end;
    }

    struct Rank {
        long long group;
        long long time;
        int record;
        bool operator<(const Rank& o) const {
            return group != o.group ? group > o.group : time > o.time;  // latest first
        }
    };
    std::vector<Rank> ranks;
    ranks.reserve(keys.size());
    for (int k : keys) ranks.push_back(Rank{records_[k].tieGroup, records_[k].tieTime, k});
    if (firstOnly) {
        std::swap(ranks.front(), *std::min_element(ranks.begin(), ranks.end()));
        keys.front() = ranks.front().record;
        return;
    }
    std::sort(ranks.begin(), ranks.end());
    for (std::size_t k = 0; k < ranks.size(); ++k) keys[k] = ranks[k].record;
}

// Tie-break: of the pairs of maximal count, the one a walk of the freshly
// counted statistics table meets first wins. Which one that is depends on
// the hashes and first-occurrence order of all live pairs, not only of the
// tied ones, and not on the pairs' values.
int IncrementalTrainer::breakTie(int count) {
    const int n = firsts_.size();
    if (n <= tuning_.fullWalkPairs) return breakTieByFullWalk(count);
    std::vector<int> tied;
    for (int r = queueHead_[count]; r >= 0; r = records_[r].queueNext) tied.push_back(r);
    if (n > kMaxTableKeys) return breakTieByCounting(tied);

    const auto& schedule = epochSchedule();
    TieContext ctx;
    ctx.top = epochOfTable(n);
    ctx.epochStart.resize(static_cast<std::size_t>(ctx.top) + 1);
    for (int e = 0; e <= ctx.top; ++e) {
        ctx.epochStart[static_cast<std::size_t>(e)] = firsts_.select(schedule[static_cast<std::size_t>(e)].firstInsert);
    }
    const int fresh = winnerInFreshBuckets(tied, ctx);
    if (fresh >= 0) return fresh;

    const bool wideTie = tuning_.fullWalkTieShare > 0 &&
                         static_cast<long long>(tied.size()) * tuning_.fullWalkTieShare >= n;
    if (wideTie) return breakTieByFullWalk(count);
    // Model in full the epochs whose bucket count is small next to the table.
    const double cutBuckets = tuning_.cutScale * std::sqrt(static_cast<double>(n));
    ctx.cut = 0;
    while (ctx.cut + 1 < ctx.top && schedule[static_cast<std::size_t>(ctx.cut) + 1].buckets <= cutBuckets) {
        ++ctx.cut;
    }
    modelCutEpoch(ctx);
    walkOrderAtEpoch(ctx.top, tied, ctx, true);
    return tied.front();
}

// Past the rehash schedule the walk order is not modelled: count the
// corpus with the statistics table itself.
int IncrementalTrainer::breakTieByCounting(const std::vector<int>& tied) {
    writeBack();
    const MostFreqPair best = getMaxFreqPair(bytePairStats(corpus_));
    for (int r : tied) {
        if (records_[r].left == best.pair[0] && records_[r].right == best.pair[1]) return r;
    }
    return tied.front();  // unreachable: the table's winner is among the tied pairs
}

int IncrementalTrainer::breakTieByFullWalk(int count) {
    std::vector<std::uint32_t> hashes;
    std::vector<int> inserted;
    hashes.reserve(static_cast<std::size_t>(firsts_.size()));
    inserted.reserve(static_cast<std::size_t>(firsts_.size()));
    firsts_.forEachAscending([&](int pos) {
        const int r = nodes_[pos].pairId;
        inserted.push_back(r);
        hashes.push_back(records_[r].hash);
        return true;
    });
    for (int k : tableWalkOrder(hashes)) {
        if (records_[inserted[static_cast<std::size_t>(k)]].count == count) return inserted[static_cast<std::size_t>(k)];
    }
    return queueHead_[count];  // unreachable: the tied pairs are live
}

}  // namespace bytepairtokenizer
