// The tie-break evaluates the walk order of the statistics table only where
// it decides the tie.
#include "ties/tie_break.h"

#include <algorithm>
#include <cmath>

#include "common/dtypes.h"
#include "ties/tie_order.h"

// Performance notes (the measurements and what was tried: bench/NOTES.md):
// - The targeted walk reads, epoch by epoch from the top, only the buckets
//   of the keys being ordered; low epochs, which hold few keys, are modelled
//   in full (up to 8 * sqrt(pairs) buckets) and the model is kept between
//   ties until a first occurrence inside it changes.
// - Membership of a key in an epoch is one comparison of its leftmost
//   occurrence with the epoch's first insert (select() on the set of first
//   occurrences); ties are sorted by precomputed (group, time) ranks.
// - Very wide ties go to the walk order kept across iterations
//   (tie_order.h), whose cost follows what a merge changed, not the width.
// - Per-record arrays grow an eighth at a time through realloc
//   (record_array.h): doubling, or std::vector's reserve, left more unused.

namespace bytepairtokenizer {

TieBreaker::TieBreaker(TieBreakHost& host, const TieBreakTuning& tuning) : host_(host), tuning_(tuning) {}

TieBreaker::~TieBreaker() = default;

void TieBreaker::reset(std::size_t positions) {
    order_.reset();
    hash_.clear();
    firstOcc_.clear();
    firsts_ = FirstOccurrenceSet(positions);
    chains_.clear();
    cutModelEpoch_ = -1;
    cutModelLastPos_ = -1;
}

void TieBreaker::freeAll() {
    reset(0);
    firsts_ = FirstOccurrenceSet();
    hash_.freeAll();
    firstOcc_.freeAll();
    std::vector<BucketChains>().swap(chains_);
    freeWalkScratch();
    std::vector<int>().swap(tied_);
}

void TieBreaker::freeWalkScratch() {
    std::vector<int>().swap(cutPos_);
    std::vector<std::uint32_t>().swap(tieTime_);
    std::vector<std::uint32_t>().swap(tieGroup_);
    std::vector<unsigned char>().swap(tiedMark_);
    cutModelEpoch_ = -1;  // its positions went with cutPos_
    cutModelLastPos_ = -1;
}

void TieBreaker::pairCreated(int r, int left, int right) {
    hash_.emplace_back() = pairHash(left, right);
    firstOcc_.emplace_back() = -1;
    const auto& schedule = epochSchedule();
    for (std::size_t e = 0; e < chains_.size(); ++e) {
        BucketChains& ch = chains_[e];
        if (ch.head.empty()) continue;
        ch.next.push_back(-1);
        int& head = ch.head[hash_[static_cast<std::size_t>(r)] % schedule[e].buckets];
        ch.next[static_cast<std::size_t>(r)] = head;
        head = r;
    }
}

// Changes to the first-occurrence set at or before the last key of the
// cached low-epoch model change that model's keys or their order.
void TieBreaker::firstOccurrenceMoved(int r, int from, int to) {
    if (from == to) return;
    if (from >= 0) firsts_.erase(from);
    if (to >= 0) firsts_.insert(to);
    firstOcc_[static_cast<std::size_t>(r)] = to;
    if (order_) order_->changed(r);
    if ((from >= 0 && from <= cutModelLastPos_) || (to >= 0 && to <= cutModelLastPos_)) cutModelEpoch_ = -1;
}

// No mirror of the count: an unchanged count costs the kept order one
// needless re-placement at most, a mirror 4 bytes per record.
void TieBreaker::countSettled(int r) {
    if (order_) order_->countChanged(r);
}

TieBreaker::BucketChains& TieBreaker::chainsFor(int e) {
    if (chains_.size() <= static_cast<std::size_t>(e)) chains_.resize(static_cast<std::size_t>(e) + 1);
    BucketChains& ch = chains_[static_cast<std::size_t>(e)];
    if (!ch.head.empty()) return ch;
    const std::uint32_t buckets = epochSchedule()[static_cast<std::size_t>(e)].buckets;
    ch.head.assign(buckets, -1);
    ch.next.assign(hash_.size(), -1);
    for (int r = 0; r < static_cast<int>(hash_.size()); ++r) {
        if (!isLive(r)) continue;
        int& head = ch.head[hash_[static_cast<std::size_t>(r)] % buckets];
        ch.next[static_cast<std::size_t>(r)] = head;
        head = r;
    }
    return ch;
}

bool TieBreaker::presentInEpoch(int r, int e, const TieContext& ctx) const {
    if (!isLive(r)) return false;
    return e == ctx.top || firstOcc_[static_cast<std::size_t>(r)] < ctx.epochStart[static_cast<std::size_t>(e) + 1];
}

// Models the table in full up to the end of the cut epoch, recording each
// key's walk position there.
void TieBreaker::modelCutEpoch(const TieContext& ctx) {
    if (ctx.cut == cutModelEpoch_ && ctx.cut < ctx.top) return;  // still valid
    const auto& schedule = epochSchedule();
    const int keys = ctx.cut == ctx.top ? firsts_.size()
                                        : schedule[static_cast<std::size_t>(ctx.cut) + 1].firstInsert - 1;
    std::vector<int> inserted;
    std::vector<std::uint32_t> hashes;
    inserted.reserve(static_cast<std::size_t>(keys));
    hashes.reserve(static_cast<std::size_t>(keys));
    firsts_.forEachAscending([&](int pos) {
        const int r = host_.pairStartingAt(pos);
        inserted.push_back(r);
        hashes.push_back(hash_[static_cast<std::size_t>(r)]);
        return static_cast<int>(inserted.size()) < keys;
    });
    const std::vector<int> order = tableWalkOrder(hashes);
    cutPos_.resize(hash_.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
        cutPos_[static_cast<std::size_t>(inserted[static_cast<std::size_t>(order[k])])] = static_cast<int>(k);
    }
    cutModelEpoch_ = ctx.cut;
    cutModelLastPos_ = inserted.empty() ? -1 : firstOcc_[static_cast<std::size_t>(inserted.back())];
}

// Calls f(r) for every live record in bucket b of the chains, unlinking
// records that died since the chain was built.
template <typename F>
void TieBreaker::forEachLiveInBucket(BucketChains& ch, std::uint32_t b, F f) {
    int* link = &ch.head[b];
    while (*link >= 0) {
        const int r = *link;
        if (!isLive(r)) {
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
int TieBreaker::winnerInFreshBuckets(const std::vector<int>& tied, const TieContext& ctx) {
    const std::uint32_t buckets = epochSchedule()[static_cast<std::size_t>(ctx.top)].buckets;
    const int epochStart = ctx.epochStart[static_cast<std::size_t>(ctx.top)];
    BucketChains& ch = chainsFor(ctx.top);
    int winner = -1;
    int winnerBucketFirst = -1;
    for (int k : tied) {
        const int kFirst = firstOcc_[static_cast<std::size_t>(k)];
        if (kFirst < epochStart) continue;
        int bucketFirst = kFirst;
        bool fresh = true;
        forEachLiveInBucket(ch, hash_[static_cast<std::size_t>(k)] % buckets, [&](int r) {
            const int rFirst = firstOcc_[static_cast<std::size_t>(r)];
            fresh = fresh && rFirst >= epochStart;
            bucketFirst = std::min(bucketFirst, rFirst);
        });
        if (!fresh) continue;
        if (bucketFirst > winnerBucketFirst ||
            (bucketFirst == winnerBucketFirst && kFirst > firstOcc_[static_cast<std::size_t>(winner)])) {
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
void TieBreaker::walkOrderAtEpoch(int e, std::vector<int>& keys, const TieContext& ctx, bool firstOnly) {
    if (keys.empty()) return;
    if (e <= ctx.cut) {
        std::sort(keys.begin(), keys.end(), [&](int a, int b) {
            return cutPos_[static_cast<std::size_t>(a)] < cutPos_[static_cast<std::size_t>(b)];
        });
        return;
    }
    const std::uint32_t buckets = epochSchedule()[static_cast<std::size_t>(e)].buckets;
    BucketChains& ch = chainsFor(e);
    std::vector<std::uint32_t> bucketsUsed;
    bucketsUsed.reserve(keys.size());
    for (int k : keys) bucketsUsed.push_back(hash_[static_cast<std::size_t>(k)] % buckets);
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
            if (firstOcc_[static_cast<std::size_t>(r)] < epochStart) old.push_back(r);
        });
        groupEnd.push_back(members.size());
    }

    walkOrderAtEpoch(e - 1, old, ctx, false);
    // Old keys number fewer than 2^31 and positions stay below 2^31 - 1, so
    // every time is below UINT32_MAX.
    constexpr std::uint32_t kInsertedDuring = 1U << 31;
    for (int r : members) {
        tieTime_[static_cast<std::size_t>(r)] =
            kInsertedDuring + static_cast<std::uint32_t>(firstOcc_[static_cast<std::size_t>(r)]);
    }
    for (std::size_t k = 0; k < old.size(); ++k) tieTime_[static_cast<std::size_t>(old[k])] = static_cast<std::uint32_t>(k);
    std::size_t begin = 0;
    for (std::size_t end : groupEnd) {
        std::uint32_t earliest = UINT32_MAX;
        for (std::size_t m = begin; m < end; ++m) {
            earliest = std::min(earliest, tieTime_[static_cast<std::size_t>(members[m])]);
        }
        for (std::size_t m = begin; m < end; ++m) tieGroup_[static_cast<std::size_t>(members[m])] = earliest;
        begin = end;
    }

    struct Rank {
        std::uint32_t group;
        std::uint32_t time;
        int record;
        bool operator<(const Rank& o) const {
            return group != o.group ? group > o.group : time > o.time;  // latest first
        }
    };
    std::vector<Rank> ranks;
    ranks.reserve(keys.size());
    for (int k : keys) {
        ranks.push_back(Rank{tieGroup_[static_cast<std::size_t>(k)], tieTime_[static_cast<std::size_t>(k)], k});
    }
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
int TieBreaker::breakTie(int count) {
    const int n = firsts_.size();
    const bool modelled = n <= tuning_.maxModelledPairs && n <= kMaxTableKeys;
    if (order_ && modelled) {
        order_->update();
        if (order_->tracks(count)) return order_->first();
    }
    tied_.clear();
    host_.pairsOfCount(count, tied_);
    if (!modelled) {
        order_.reset();
        return host_.winnerByRecount(tied_);
    }
    if (!order_ && n <= tuning_.fullWalkPairs) return breakTieByFullWalk(tied_);
    // Once ties were wide, every tie is answered from the kept order: a
    // narrow one costs a few comparisons there, more on the targeted path.
    if (order_ || (tuning_.orderedTieWidth > 0 && tied_.size() >= static_cast<std::size_t>(tuning_.orderedTieWidth))) {
        if (!order_) {
            chains_.clear();  // rebuilt when a narrow tie needs them again; linking new pairs costs
            freeWalkScratch();
            order_ = std::make_unique<TieOrder>(host_, hash_, firstOcc_, firsts_);
            order_->update();
        }
        order_->track(count, tied_);
        return order_->first();
    }
    return breakTieTargeted(tied_);
}

int TieBreaker::breakTieTargeted(std::vector<int>& tied) {
    const int n = firsts_.size();
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
    if (wideTie) return breakTieByFullWalk(tied);
    // Model in full the epochs whose bucket count is small next to the table.
    const double cutBuckets = tuning_.cutScale * std::sqrt(static_cast<double>(n));
    ctx.cut = 0;
    while (ctx.cut + 1 < ctx.top && schedule[static_cast<std::size_t>(ctx.cut) + 1].buckets <= cutBuckets) {
        ++ctx.cut;
    }
    tieTime_.resize(hash_.size());
    tieGroup_.resize(hash_.size());
    modelCutEpoch(ctx);
    walkOrderAtEpoch(ctx.top, tied, ctx, true);
    return tied.front();
}

int TieBreaker::breakTieByFullWalk(const std::vector<int>& tied) {
    std::vector<std::uint32_t> hashes;
    std::vector<int> inserted;
    hashes.reserve(static_cast<std::size_t>(firsts_.size()));
    inserted.reserve(static_cast<std::size_t>(firsts_.size()));
    firsts_.forEachAscending([&](int pos) {
        const int r = host_.pairStartingAt(pos);
        inserted.push_back(r);
        hashes.push_back(hash_[static_cast<std::size_t>(r)]);
        return true;
    });
    tiedMark_.resize(hash_.size(), 0);
    for (int r : tied) tiedMark_[static_cast<std::size_t>(r)] = 1;
    int winner = tied.front();  // replaced below: the tied pairs are live
    for (int k : tableWalkOrder(hashes)) {
        const int r = inserted[static_cast<std::size_t>(k)];
        if (tiedMark_[static_cast<std::size_t>(r)] != 0) {
            winner = r;
            break;
        }
    }
    for (int r : tied) tiedMark_[static_cast<std::size_t>(r)] = 0;
    return winner;
}

}  // namespace bytepairtokenizer
