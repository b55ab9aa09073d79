#include "tie_order.h"

#include <algorithm>

#include "tie_break_host.h"
#include "walk_order.h"

// Performance notes
// - Every comparison walks down the levels only while both keys compared are
//   older than the level's epoch, reading one stored earliest member per
//   bucket: no walk of a bucket chain, no sort.
// - A bucket's earliest member is recomputed only for buckets holding a key
//   whose time or membership changed; the level above sees every key of a
//   bucket whose earliest member changed, and the changed keys themselves.
//   Measured on 1 MB of real text with 30,000 merges: about 15-30 keys with a
//   moved leftmost occurrence and 2-6 keys crossing an epoch start per
//   update, 40-90 keys re-placed at the top level, 100-200 over all levels.
// - Keys whose leftmost occurrence moved are placed only at the levels where
//   they were or are present: most are young and live only in the top one or
//   two levels. That and a division-free bucket index (multiply-shift) took
//   the 1 MB / 30,000 merges fit from about 1.7 s to 1.2-1.3 s of CPU.
// - Starting the kept order at the first tie of 16 pairs or more, and then
//   answering every tie from it (a narrow tie costs a few comparisons), beat
//   starting at 64 (the targeted walk of the narrow ties before it cost 7% at
//   10 MB) and starting at the first tie of any width (early merges change
//   30-75 keys each while ties are a few pairs wide: 1.4x slower at 1 MB).
// - Tried, no gain: keeping the per-epoch bucket chains of the targeted walk
//   linked while the kept order is in use (3% of the time went to linking
//   new pairs into them; they are now dropped and rebuilt if ever needed).
// - Memory: per live pair, the bucket heads and earliest members of all
//   levels (8 bytes per bucket, about 2 to 4 buckets per pair) and 1.5 to 2
//   member nodes of 8 bytes; per record ever created, 26 bytes of mirrors and
//   scratch; per tracked tied pair, one node of the ordered set (40 bytes).
//   About 70-90 bytes per live pair in all, on top of the trainer's records
//   (measured at 100 MB / 10,000 merges: about 90 bytes per record at the
//   peak, 2 of the 13.4 bytes per corpus token). The per-record arrays grow
//   an eighth at a time through realloc and the member nodes are reserved
//   at a rebuild: doubling left up to half of each unused.
// - Tried, no clear gain: 16-bit stamps for the changed/affected marks,
//   cleared when they run out (10 MB / 30,000: 28.9 -> 28.8 bytes per token,
//   100 MB / 10,000 unchanged); the peak is not where they are held.

namespace bytepairtokenizer {

TieOrder::TieOrder(TieBreakHost& host, const RecordArray<std::uint32_t>& hash, const RecordArray<int>& firstOcc,
                   const FirstOccurrenceSet& firsts)
    : host_(host), hash_(hash), firstOcc_(firstOcc), firsts_(firsts), set_(WalkBefore{this}) {}

void TieOrder::growScratch() {
    const std::size_t n = hash_.size();
    if (keys_.size() >= n) return;
    for (std::size_t r = keys_.size(); r < n; ++r) keys_.emplace_back() = Key{hash_[r], -1};
    seenFirst_.growFilled(n, -1);
    isPending_.growFilled(n, 0);
    changedMark_.growFilled(n, 0);
    affectedMark_.growFilled(n, 0);
    where_.growFilled(n, set_.end());
    inSet_.growFilled(n, 0);
}

void TieOrder::changed(int r) {
    growScratch();
    if (isPending_[static_cast<std::size_t>(r)] != 0) return;
    isPending_[static_cast<std::size_t>(r)] = 1;
    pending_.push_back(r);
}

bool TieOrder::walksBefore(int e, int a, int b) const {
    for (;;) {
        const Level& level = levels_[static_cast<std::size_t>(e)];
        const std::uint32_t ba = level.bucketOf(keys_[static_cast<std::size_t>(a)].hash);
        const std::uint32_t bb = level.bucketOf(keys_[static_cast<std::size_t>(b)].hash);
        // Inside one bucket the later key walks first; across buckets the
        // bucket whose earliest member is later.
        const int x = ba == bb ? a : level.earliest[ba];
        const int y = ba == bb ? b : level.earliest[bb];
        const int fx = first(x);
        const int fy = first(y);
        const int epochStart = bound_[static_cast<std::size_t>(e)];
        const bool xOld = fx < epochStart;
        const bool yOld = fy < epochStart;
        if (xOld != yOld) return yOld;
        if (!xOld || e == 0) return fx > fy;
        // Both were present before epoch e: x is later if y walked first.
        a = y;
        b = x;
        --e;
    }
}

int TieOrder::earliestMember(int e, std::uint32_t b) const {
    int best = kNone;
    const int epochStart = bound_[static_cast<std::size_t>(e)];
    for (int k = levels_[static_cast<std::size_t>(e)].head[b]; k != kNone; k = nodes_[static_cast<std::size_t>(k)].next) {
        const int r = nodes_[static_cast<std::size_t>(k)].record;
        if (best == kNone) {
            best = r;
            continue;
        }
        // r is earlier than best when best is later than r.
        const int fb = first(best);
        const int fr = first(r);
        const bool bOld = fb < epochStart;
        const bool rOld = fr < epochStart;
        bool rEarlier;
        if (bOld != rOld) {
            rEarlier = rOld;
        } else if (!bOld || e == 0) {
            rEarlier = fr < fb;
        } else {
            rEarlier = walksBefore(e - 1, r, best);
        }
        if (rEarlier) best = r;
    }
    return best;
}

void TieOrder::linkMember(int e, int r) {
    int node;
    if (freeNode_ != kNone) {
        node = freeNode_;
        freeNode_ = nodes_[static_cast<std::size_t>(node)].next;
    } else {
        node = static_cast<int>(nodes_.size());
        nodes_.push_back(MemberNode{0, kNone});
    }
    int& head = levels_[static_cast<std::size_t>(e)].head[bucketOf(r, e)];
    nodes_[static_cast<std::size_t>(node)] = MemberNode{r, head};
    head = node;
}

void TieOrder::unlinkMember(int e, int r) {
    int* link = &levels_[static_cast<std::size_t>(e)].head[bucketOf(r, e)];
    while (*link != kNone && nodes_[static_cast<std::size_t>(*link)].record != r) {
        link = &nodes_[static_cast<std::size_t>(*link)].next;
    }
    if (*link == kNone) return;  // not a member (cannot happen when the levels are consistent)
    const int node = *link;
    *link = nodes_[static_cast<std::size_t>(node)].next;
    nodes_[static_cast<std::size_t>(node)].next = freeNode_;
    freeNode_ = node;
}

void TieOrder::computeBounds(std::vector<int>& out) const {
    const auto& schedule = epochSchedule();
    const int n = firsts_.size();
    out.assign(static_cast<std::size_t>(top_) + 2, kEndOfCorpus);
    for (std::size_t e = 0; e < out.size() && e < schedule.size(); ++e) {
        if (schedule[e].firstInsert <= n) out[e] = firsts_.select(schedule[e].firstInsert);
    }
}

void TieOrder::rebuild() {
    const auto& schedule = epochSchedule();
    top_ = epochOfTable(std::max(1, firsts_.size()));
    computeBounds(bound_);
    levels_.assign(static_cast<std::size_t>(top_) + 1, Level{});
    for (int e = 0; e <= top_; ++e) {
        Level& level = levels_[static_cast<std::size_t>(e)];
        level.buckets = schedule[static_cast<std::size_t>(e)].buckets;
        level.bucketOf = FastMod(level.buckets);
        level.head.assign(level.buckets, kNone);
        level.earliest.assign(level.buckets, kNone);
    }
    nodes_.clear();
    freeNode_ = kNone;
    // One member node per key and level it is present at.
    std::size_t members = 0;
    for (int e = 0; e <= top_; ++e) {
        const int end = bound_[static_cast<std::size_t>(e) + 1];
        members += static_cast<std::size_t>(end == kEndOfCorpus ? firsts_.size() : firsts_.rank(end));
    }
    reserveEighth(nodes_, members);
    growScratch();
    for (std::size_t r = 0; r < keys_.size(); ++r) {
        keys_[r].first = firstOcc_[r];
        seenFirst_[r] = firstOcc_[r];
    }
    firsts_.forEachAscending([&](int pos) {
        const int r = host_.pairStartingAt(pos);
        for (int e = top_; e >= 0 && presentAt(pos, e); --e) linkMember(e, r);
        return true;
    });
    for (int e = 0; e <= top_; ++e) {
        Level& level = levels_[static_cast<std::size_t>(e)];
        for (std::uint32_t b = 0; b < level.buckets; ++b) {
            if (level.head[b] != kNone) level.earliest[b] = earliestMember(e, b);
        }
    }
    for (int r : pending_) isPending_[static_cast<std::size_t>(r)] = 0;
    pending_.clear();
    for (int r : set_) inSet_[static_cast<std::size_t>(r)] = 0;
    set_.clear();
    setValid_ = false;
    trackedInBucket_.assign(levels_.back().buckets, 0);
    staleEarliest_.assign(levels_.back().buckets, 0);
}

void TieOrder::recordsBetween(int lo, int hi, std::vector<int>& out) const {
    const int from = firsts_.rank(lo) + 1;
    const int to = hi == kEndOfCorpus ? firsts_.size() : firsts_.rank(hi);
    for (int k = from; k <= to; ++k) {
        const int r = host_.pairStartingAt(firsts_.select(k));
        if (seenFirst_[static_cast<std::size_t>(r)] == firstOcc_[static_cast<std::size_t>(r)]) out.push_back(r);
    }
}

// Brings level e up to date and turns `affected` from the keys whose place
// at level e - 1 may have changed into those whose place at level e may have.
void TieOrder::placeLevel(int e, const std::vector<int>& moved, const std::vector<int>& oldBounds,
                          const std::vector<std::vector<int>>& crossed, std::vector<int>& affected) {
    const std::size_t up = static_cast<std::size_t>(e) + 1;
    // Membership: a key is present while its leftmost occurrence is before
    // the next epoch's first insert.
    std::vector<int>& movedHere = scratchMoved_;
    movedHere.clear();
    for (int r : moved) {
        const int before = seenFirst_[static_cast<std::size_t>(r)];
        const bool was = before >= 0 && before < oldBounds[up];
        const bool is = presentAt(first(r), e);
        if (was && !is) unlinkMember(e, r);
        if (!was && is) linkMember(e, r);
        if (was || is) movedHere.push_back(r);
    }
    const bool boundGrew = bound_[up] > oldBounds[up];
    for (int r : crossed[up]) {
        if (boundGrew) {
            linkMember(e, r);
        } else {
            unlinkMember(e, r);
        }
    }

    // The keys whose time or membership changed at this level: structural
    // changes (membership, or a time read from the leftmost occurrence) and
    // keys whose place one level down changed (their time here is that place).
    const unsigned inheritedStamp = ++stamp_;
    const unsigned structuralStamp = ++stamp_;
    std::vector<int>& changedKeys = scratchChanged_;
    changedKeys.clear();
    auto addChanged = [&](int r, unsigned stamp) {
        unsigned& mark = changedMark_[static_cast<std::size_t>(r)];
        if (mark == structuralStamp || mark == stamp) return;
        if (mark != inheritedStamp) changedKeys.push_back(r);
        mark = stamp;
    };
    for (int r : movedHere) addChanged(r, structuralStamp);
    for (int r : crossed[static_cast<std::size_t>(e)]) addChanged(r, structuralStamp);
    for (int r : crossed[up]) addChanged(r, structuralStamp);
    for (int r : affected) addChanged(r, inheritedStamp);
    auto isChanged = [&](int r) {
        const unsigned mark = changedMark_[static_cast<std::size_t>(r)];
        return mark == inheritedStamp || mark == structuralStamp;
    };

    Level& level = levels_[static_cast<std::size_t>(e)];
    std::vector<int>& buckets = scratchBuckets_;
    buckets.clear();
    for (int r : changedKeys) buckets.push_back(static_cast<int>(bucketOf(r, e)));
    std::sort(buckets.begin(), buckets.end());
    buckets.erase(std::unique(buckets.begin(), buckets.end()), buckets.end());

    const unsigned affectedStamp = ++stamp_;
    affected.clear();
    auto addAffected = [&](int r) {
        if (affectedMark_[static_cast<std::size_t>(r)] == affectedStamp) return;
        affectedMark_[static_cast<std::size_t>(r)] = affectedStamp;
        affected.push_back(r);
    };
    const bool topLevel = e == top_;
    for (int b : buckets) {
        if (topLevel && trackedInBucket_[static_cast<std::size_t>(b)] == 0) {
            staleEarliest_[static_cast<std::size_t>(b)] = 1;  // brought up to date when a tracked record enters
            continue;
        }
        const int oldEarliest = level.earliest[static_cast<std::size_t>(b)];
        const int newEarliest = earliestMember(e, static_cast<std::uint32_t>(b));
        level.earliest[static_cast<std::size_t>(b)] = newEarliest;
        const bool groupMoved = newEarliest != oldEarliest || (oldEarliest != kNone && isChanged(oldEarliest));
        int members = 0;
        for (int k = level.head[static_cast<std::size_t>(b)]; k != kNone; k = nodes_[static_cast<std::size_t>(k)].next) {
            ++members;
        }
        for (int k = level.head[static_cast<std::size_t>(b)]; k != kNone; k = nodes_[static_cast<std::size_t>(k)].next) {
            const int r = nodes_[static_cast<std::size_t>(k)].record;
            // A group that stays in place keeps its members' places, except
            // those whose own time changed: such a key stays before the
            // earliest member (still the earliest), so with one other member
            // its place cannot change; with more it may pass them.
            const unsigned mark = changedMark_[static_cast<std::size_t>(r)];
            if (topLevel && inSet_[static_cast<std::size_t>(r)] == 0) continue;  // re-placed only if tracked
            if (groupMoved || mark == structuralStamp || (mark == inheritedStamp && members > 2)) addAffected(r);
        }
    }
}

void TieOrder::update() {
    if (top_ < 0 || epochOfTable(std::max(1, firsts_.size())) != top_) {
        rebuild();
        return;
    }
    if (pending_.empty()) return;
    growScratch();
    std::vector<int> moved;
    for (int r : pending_) {
        const std::size_t k = static_cast<std::size_t>(r);
        if (seenFirst_[k] == firstOcc_[k]) continue;
        moved.push_back(r);
        keys_[k].first = firstOcc_[k];
    }
    const std::vector<int> oldBounds = bound_;
    computeBounds(bound_);
    std::vector<std::vector<int>> crossed(bound_.size());
    for (std::size_t j = 0; j < bound_.size(); ++j) {
        if (bound_[j] == oldBounds[j]) continue;
        recordsBetween(std::min(bound_[j], oldBounds[j]), std::max(bound_[j], oldBounds[j]), crossed[j]);
    }
    std::vector<int> affected;
    for (int e = 0; e <= top_; ++e) placeLevel(e, moved, oldBounds, crossed, affected);
    for (int r : moved) seenFirst_[static_cast<std::size_t>(r)] = first(r);
    reseatTracked(affected);
    for (int r : pending_) isPending_[static_cast<std::size_t>(r)] = 0;
    pending_.clear();
}

void TieOrder::enterSet(int r) {
    const std::uint32_t b = bucketOf(r, top_);
    if (staleEarliest_[b] != 0) {
        levels_[static_cast<std::size_t>(top_)].earliest[b] = earliestMember(top_, b);
        staleEarliest_[b] = 0;
    }
    ++trackedInBucket_[b];
    where_[static_cast<std::size_t>(r)] = set_.insert(r).first;
    inSet_[static_cast<std::size_t>(r)] = 1;
}

void TieOrder::leaveSet(int r) {
    set_.erase(where_[static_cast<std::size_t>(r)]);
    inSet_[static_cast<std::size_t>(r)] = 0;
    --trackedInBucket_[bucketOf(r, top_)];
}

void TieOrder::reseatTracked(const std::vector<int>& affected) {
    if (!setValid_ || setLevel_ != top_) {
        setValid_ = false;
        return;
    }
    auto leave = [&](int r) {
        if (inSet_[static_cast<std::size_t>(r)] != 0) leaveSet(r);
    };
    auto enter = [&](int r) {
        if (inSet_[static_cast<std::size_t>(r)] != 0 || first(r) < 0 ||
            host_.countOf(r) != trackedCount_) {
            return;
        }
        enterSet(r);
    };
    for (int r : affected) leave(r);
    for (int r : pending_) leave(r);
    for (int r : affected) enter(r);
    for (int r : pending_) enter(r);
}

void TieOrder::track(int count, const std::vector<int>& tied) {
    growScratch();
    for (int r : set_) {
        inSet_[static_cast<std::size_t>(r)] = 0;
        --trackedInBucket_[bucketOf(r, top_)];
    }
    set_.clear();
    trackedCount_ = count;
    setLevel_ = top_;
    setValid_ = true;
    for (int r : tied) enterSet(r);
}

}  // namespace bytepairtokenizer
