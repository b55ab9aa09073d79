// Choosing among equally frequent pairs: the pair a walk of a freshly counted
// statistics table would meet first. That table receives the live pairs in
// the order of their leftmost occurrences, so its walk order follows from
// the pairs' hashes and that order alone (walk_order.h). This file evaluates
// that order only where it decides the tie.
#include <algorithm>
#include <cmath>

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
}

// `keys` (all present in epoch e) in the walk order at the end of epoch e:
// grouped by bucket, groups by the effective time of their earliest member,
// latest first; within a group, latest first. Keys present before the epoch
// take their times from the walk order one epoch down; keys inserted during
// it come after them, in insertion order.
std::vector<int> IncrementalTrainer::walkOrderAtEpoch(int e, const std::vector<int>& keys,
                                                      const TieContext& ctx) {
    std::vector<int> ordered = keys;
    if (e <= ctx.cut) {
        std::sort(ordered.begin(), ordered.end(),
                  [&](int a, int b) { return records_[a].cutPos < records_[b].cutPos; });
        return ordered;
    }
    const std::uint32_t buckets = epochSchedule()[static_cast<std::size_t>(e)].buckets;
    BucketChains& ch = chainsFor(e);

    std::vector<std::uint32_t> bucketsUsed;
    for (int k : keys) bucketsUsed.push_back(records_[k].hash % buckets);
    std::sort(bucketsUsed.begin(), bucketsUsed.end());
    bucketsUsed.erase(std::unique(bucketsUsed.begin(), bucketsUsed.end()), bucketsUsed.end());

    std::vector<int> members;
    std::vector<int> old;
    const int epochStart = ctx.epochStart[static_cast<std::size_t>(e)];
    for (std::uint32_t b : bucketsUsed) {
        // Walk the chain, unlinking pairs that died since it was built.
        int* link = &ch.head[b];
        while (*link >= 0) {
            const int r = *link;
            if (records_[r].count == 0) {
                *link = ch.next[static_cast<std::size_t>(r)];
                continue;
            }
            link = &ch.next[static_cast<std::size_t>(r)];
            if (!presentInEpoch(r, e, ctx)) continue;
            members.push_back(r);
            if (records_[r].firstOcc < epochStart) old.push_back(r);
        }
    }

    const std::vector<int> oldOrder = walkOrderAtEpoch(e - 1, old, ctx);
    constexpr long long kInsertedDuring = 1LL << 40;
    for (int r : members) records_[r].tieTime = kInsertedDuring + records_[r].firstOcc;
    for (std::size_t k = 0; k < oldOrder.size(); ++k) records_[oldOrder[k]].tieTime = static_cast<long long>(k);

    std::vector<long long> earliest(bucketsUsed.size(), kInsertedDuring * 2);
    auto groupOf = [&](int r) {
        return static_cast<std::size_t>(
            std::lower_bound(bucketsUsed.begin(), bucketsUsed.end(), records_[r].hash % buckets) -
            bucketsUsed.begin());
    };
    for (int r : members) {
        long long& t = earliest[groupOf(r)];
        t = std::min(t, records_[r].tieTime);
    }
    std::sort(ordered.begin(), ordered.end(), [&](int a, int b) {
        const long long ga = earliest[groupOf(a)];
        const long long gb = earliest[groupOf(b)];
        if (ga != gb) return ga > gb;
        return records_[a].tieTime > records_[b].tieTime;
    });
    return ordered;
}

// Tie-break: of the pairs of maximal count, the one a walk of the freshly
// counted statistics table meets first wins. Which one that is depends on
// the hashes and first-occurrence order of all live pairs, not only of the
// tied ones, and not on the pairs' values.
int IncrementalTrainer::breakTie(int count) {
    const int n = firsts_.size();
    std::vector<int> tied;
    for (int r = queueHead_[count]; r >= 0; r = records_[r].queueNext) tied.push_back(r);
    const bool wideTie = tuning_.fullWalkTieShare > 0 &&
                         static_cast<long long>(tied.size()) * tuning_.fullWalkTieShare >= n;
    if (n <= tuning_.fullWalkPairs || wideTie) {
        return breakTieByFullWalk(count);
    }
    const auto& schedule = epochSchedule();
    TieContext ctx;
    ctx.top = epochOfTable(n);
    // Model in full the epochs whose bucket count is small next to the table.
    const double cutBuckets = tuning_.cutScale * std::sqrt(static_cast<double>(n));
    ctx.cut = 0;
    while (ctx.cut + 1 < ctx.top && schedule[static_cast<std::size_t>(ctx.cut) + 1].buckets <= cutBuckets) {
        ++ctx.cut;
    }
    ctx.epochStart.resize(static_cast<std::size_t>(ctx.top) + 1);
    for (int e = 0; e <= ctx.top; ++e) {
        ctx.epochStart[static_cast<std::size_t>(e)] = firsts_.select(schedule[static_cast<std::size_t>(e)].firstInsert);
    }
    modelCutEpoch(ctx);
    return walkOrderAtEpoch(ctx.top, tied, ctx).front();
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
