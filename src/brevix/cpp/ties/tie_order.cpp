#include "ties/tie_order.h"

#include <algorithm>

#include "ties/tie_break_host.h"
#include "ties/walk_order.h"

// Performance notes (the measurements and what was tried: bench/NOTES.md):
// - A comparison walks down the levels only while both keys are older than
//   the level's epoch, reading one stored earliest member per bucket.
// - Buckets go stale instead of being kept eagerly, and are brought up to
//   date only when a tracked pair depends on them (eager upkeep was 45% of
//   a long fit); departures stay until their bucket is next brought up.
// - Keys whose leftmost occurrence moved are placed only at the levels
//   where they were or are present; the bucket index is a multiply-shift.
// - The kept order starts at the first tie of 16 pairs or more and then
//   answers every tie.
// - Memory: about 70-90 bytes per live pair, on top of the trainer's
//   records; per-record arrays grow an eighth at a time.

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
    where_.growFilled(n, set_.end());
    inSet_.growFilled(n, 0);
}

void TieOrder::changed(int r) {
    growScratch();
    enqueue(r);
}

void TieOrder::enqueue(int r) {
    if (isPending_[static_cast<std::size_t>(r)] != 0) return;
    isPending_[static_cast<std::size_t>(r)] = 1;
    pending_.push_back(r);
}

// A count matters only to the ordered set: to a record in it, or one whose
// count is now the tracked one. Most records a merge touches are neither,
// and are left out of the update (the host has the record at hand here).
void TieOrder::countChanged(int r) {
    growScratch();
    if (!setValid_) return;
    if (inSet_[static_cast<std::size_t>(r)] == 0 && host_.countOf(r) != trackedCount_) return;
    enqueue(r);
}

bool TieOrder::walksBefore(int e, int a, int b) const {
    for (;;) {
        const Level& level = levels_[static_cast<std::size_t>(e)];
        const std::uint32_t ba = level.bucketOf(keys_[static_cast<std::size_t>(a)].hash);
        const std::uint32_t bb = level.bucketOf(keys_[static_cast<std::size_t>(b)].hash);
        // Inside one bucket the later key walks first; across buckets the
        // bucket whose earliest member is later.
        const int x = ba == bb ? a : level.bucket[ba].earliest;
        const int y = ba == bb ? b : level.bucket[bb].earliest;
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
    for (int k = levels_[static_cast<std::size_t>(e)].bucket[b].head; k != kNone; k = nodes_[static_cast<std::size_t>(k)].next) {
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
    int& head = levels_[static_cast<std::size_t>(e)].bucket[bucketOf(r, e)].head;
    nodes_[static_cast<std::size_t>(node)] = MemberNode{r, head};
    head = node;
}

// Drops from bucket b of level e the nodes of keys no longer present there
// and repeated nodes of a key that left and came back: a key leaving a level
// keeps its node until the bucket, stale from then on, is next brought up
// to date.
void TieOrder::dropDeparted(int e, std::uint32_t b) {
    int& head = levels_[static_cast<std::size_t>(e)].bucket[b].head;
    int* link = &head;
    while (*link != kNone) {
        const int node = *link;
        const int r = nodes_[static_cast<std::size_t>(node)].record;
        bool keep = presentAt(first(r), e);
        // The nodes before this one are kept ones.
        for (int k = head; keep && k != node; k = nodes_[static_cast<std::size_t>(k)].next) {
            keep = nodes_[static_cast<std::size_t>(k)].record != r;
        }
        if (keep) {
            link = &nodes_[static_cast<std::size_t>(node)].next;
            continue;
        }
        *link = nodes_[static_cast<std::size_t>(node)].next;
        nodes_[static_cast<std::size_t>(node)].next = freeNode_;
        freeNode_ = node;
    }
}

void TieOrder::computeBounds(std::vector<int>& out) const {
    const auto& schedule = epochSchedule();
    const int n = firsts_.size();
    out.assign(static_cast<std::size_t>(top_) + 2, kEndOfCorpus);
    for (std::size_t e = 0; e < out.size() && e < schedule.size(); ++e) {
        if (schedule[e].firstInsert <= n) out[e] = firsts_.select(schedule[e].firstInsert);
    }
}

TieOrder::Level TieOrder::emptyLevel(int e) {
    Level level;
    level.buckets = epochSchedule()[static_cast<std::size_t>(e)].buckets;
    level.bucketOf = FastMod(level.buckets);
    // Every bucket starts stale: only those the tracked pairs depend on are
    // ever brought up to date.
    level.bucket.assign(level.buckets, Bucket{kNone, kStale});
    return level;
}

void TieOrder::rebuild() {
    top_ = epochOfTable(std::max(1, firsts_.size()));
    computeBounds(bound_);
    levels_.clear();
    for (int e = 0; e <= top_; ++e) levels_.push_back(emptyLevel(e));
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
    for (int r : pending_) isPending_[static_cast<std::size_t>(r)] = 0;
    pending_.clear();
    untrackAll();
}

// The table grew into the next epoch. The levels below keep their buckets
// (an epoch's table does not depend on later ones); the new top level holds
// every key.
void TieOrder::addTopLevel() {
    ++top_;
    levels_.push_back(emptyLevel(top_));
    computeBounds(bound_);
    reserveEighth(nodes_, nodes_.size() + static_cast<std::size_t>(firsts_.size()));
    firsts_.forEachAscending([&](int pos) {
        linkMember(top_, host_.pairStartingAt(pos));
        return true;
    });
    untrackAll();
}

// The table shrank back into the epoch below, whose level now holds every
// key (the update that shrank it linked the keys it lacked).
void TieOrder::dropTopLevel() {
    for (const Bucket& bucket : levels_.back().bucket) {
        for (int k = bucket.head; k != kNone;) {
            const int next = nodes_[static_cast<std::size_t>(k)].next;
            nodes_[static_cast<std::size_t>(k)].next = freeNode_;
            freeNode_ = k;
            k = next;
        }
    }
    levels_.pop_back();
    --top_;
    computeBounds(bound_);
    untrackAll();
}

void TieOrder::untrackAll() {
    for (int r : set_) inSet_[static_cast<std::size_t>(r)] = 0;
    set_.clear();
    setValid_ = false;
    trackedInBucket_.assign(levels_.back().buckets, 0);
}

void TieOrder::recordsBetween(int lo, int hi, std::vector<int>& out) const {
    const int from = firsts_.rank(lo) + 1;
    const int to = hi == kEndOfCorpus ? firsts_.size() : firsts_.rank(hi);
    for (int k = from; k <= to; ++k) {
        const int r = host_.pairStartingAt(firsts_.select(k));
        if (seenFirst_[static_cast<std::size_t>(r)] == firstOcc_[static_cast<std::size_t>(r)]) out.push_back(r);
    }
}

// A bucket whose members or member times changed: its earliest member is
// out of date, and so is every member's time one level up (its place
// here), so the buckets holding them up there are stale too. A stale
// bucket's dependents above are stale already, which ends the climb.
void TieOrder::markStale(int e, std::uint32_t b) {
    Level& level = levels_[static_cast<std::size_t>(e)];
    if (level.bucket[b].earliest == kStale) return;
    level.bucket[b].earliest = kStale;
    if (e == top_) {
        if (trackedInBucket_[b] > 0) staleTracked_.push_back(b);
        return;
    }
    for (int k = level.bucket[b].head; k != kNone; k = nodes_[static_cast<std::size_t>(k)].next) {
        const int r = nodes_[static_cast<std::size_t>(k)].record;
        markStale(e + 1, bucketOf(r, e + 1));
    }
}

// Brings a stale bucket's earliest member up to date, after the buckets one
// level down that order its old members.
void TieOrder::freshen(int e, std::uint32_t b) {
    Level& level = levels_[static_cast<std::size_t>(e)];
    if (level.bucket[b].earliest != kStale) return;
    dropDeparted(e, b);
    if (e > 0) {
        const int epochStart = bound_[static_cast<std::size_t>(e)];
        for (int k = level.bucket[b].head; k != kNone; k = nodes_[static_cast<std::size_t>(k)].next) {
            const int r = nodes_[static_cast<std::size_t>(k)].record;
            if (first(r) < epochStart) freshen(e - 1, bucketOf(r, e - 1));
        }
    }
    level.bucket[b].earliest = earliestMember(e, b);
}

// Applies the membership and time changes at level e, marking the buckets
// they touch stale.
void TieOrder::changeLevel(int e, const std::vector<int>& moved, const std::vector<int>& oldBounds,
                           const std::vector<std::vector<int>>& crossed) {
    const std::size_t up = static_cast<std::size_t>(e) + 1;
    // Membership: a key is present while its leftmost occurrence is before
    // the next epoch's first insert. A key old here before and after keeps
    // its time (its place one level down); a key new here is timed by its
    // leftmost occurrence.
    for (int r : moved) {
        const int before = seenFirst_[static_cast<std::size_t>(r)];
        const bool was = before >= 0 && before < oldBounds[up];
        const bool is = presentAt(first(r), e);
        if (!was && is) linkMember(e, r);
        const bool wasNew = was && before >= oldBounds[static_cast<std::size_t>(e)];
        const bool isNew = is && first(r) >= bound_[static_cast<std::size_t>(e)];
        if (was != is || wasNew || isNew) keyChangedAt(e, r, is);
    }
    // Keys across this epoch's first insert changed between old and new here;
    // keys across the next one joined or left this level.
    for (int r : crossed[static_cast<std::size_t>(e)]) keyChangedAt(e, r, true);
    const bool boundGrew = bound_[up] > oldBounds[up];
    for (int r : crossed[up]) {
        if (boundGrew) linkMember(e, r);
        keyChangedAt(e, r, boundGrew);
    }
}

// Key r joined or left level e, or its time there changed. While it is not
// its bucket's earliest member, before or after, the bucket's group keeps its
// place and its other members theirs: only r's own place changes, which is
// its time one level up (at the top, its place among the tracked pairs).
// Whether r is later than the earliest member is cheap to tell only when r
// is new in epoch e; otherwise the bucket goes stale.
void TieOrder::keyChangedAt(int e, int r, bool present) {
    const std::uint32_t b = bucketOf(r, e);
    const int earliest = levels_[static_cast<std::size_t>(e)].bucket[b].earliest;
    if (earliest == kStale) return;  // everything depending on it is stale
    if (earliest == kNone || earliest == r || (present && !newAndLaterThan(e, r, earliest))) {
        markStale(e, b);
        return;
    }
    if (!present) return;  // a departure past the earliest member moves no one
    if (e < top_) {
        markStale(e + 1, bucketOf(r, e + 1));
    } else {
        enqueue(r);  // re-placed among the tracked pairs if it is one
    }
}

bool TieOrder::newAndLaterThan(int e, int r, int other) const {
    const int epochStart = bound_[static_cast<std::size_t>(e)];
    const int fr = first(r);
    const int fo = first(other);
    return fr >= epochStart && (fo < epochStart || fr > fo);
}

void TieOrder::update() {
    const int newTop = epochOfTable(std::max(1, firsts_.size()));
    if (top_ < 0 || newTop < top_ - 1 || newTop > top_ + 1) {
        rebuild();
        return;
    }
    if (pending_.empty() && newTop == top_) return;
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
    staleTracked_.clear();
    for (int e = 0; e <= top_; ++e) changeLevel(e, moved, oldBounds, crossed);
    for (int r : moved) seenFirst_[static_cast<std::size_t>(r)] = first(r);
    // The bounds above are those of the table as it is now, also where it
    // crossed into another epoch, so the levels below its top are current.
    if (newTop > top_) addTopLevel();
    if (newTop < top_) dropTopLevel();
    reseatTracked();
    for (int r : pending_) isPending_[static_cast<std::size_t>(r)] = 0;
    pending_.clear();
}

void TieOrder::enterSet(int r) {
    const std::uint32_t b = bucketOf(r, top_);
    freshen(top_, b);
    ++trackedInBucket_[b];
    where_[static_cast<std::size_t>(r)] = set_.insert(r).first;
    inSet_[static_cast<std::size_t>(r)] = 1;
}

void TieOrder::leaveSet(int r) {
    set_.erase(where_[static_cast<std::size_t>(r)]);
    inSet_[static_cast<std::size_t>(r)] = 0;
    --trackedInBucket_[bucketOf(r, top_)];
}

// Re-places the tracked records whose place may have changed: those in
// stale buckets and those whose count or leftmost occurrence changed. Every
// other pair of tracked records keeps its order, so the set stays sorted
// once no changed record is out of order with a neighbour; most are not,
// and checking two neighbours is cheaper than leaving and re-entering.
void TieOrder::reseatTracked() {
    if (!setValid_ || setLevel_ != top_) {
        setValid_ = false;
        return;
    }
    std::vector<int>& changedKeys = scratchMoved_;
    changedKeys.clear();
    const Level& level = levels_[static_cast<std::size_t>(top_)];
    for (std::uint32_t b : staleTracked_) {
        for (int k = level.bucket[b].head; k != kNone; k = nodes_[static_cast<std::size_t>(k)].next) {
            const int r = nodes_[static_cast<std::size_t>(k)].record;
            if (inSet_[static_cast<std::size_t>(r)] != 0) changedKeys.push_back(r);
        }
    }
    for (int r : pending_) changedKeys.push_back(r);
    // Records no longer tracked leave; the rest are checked in place once
    // their buckets are up to date (no comparison runs before that).
    auto stillTracked = [&](int r) { return first(r) >= 0 && host_.countOf(r) == trackedCount_; };
    std::vector<int>& checked = scratchChecked_;
    checked.clear();
    for (int r : changedKeys) {
        if (inSet_[static_cast<std::size_t>(r)] != 1) continue;  // not in the set, or seen
        if (stillTracked(r)) {
            inSet_[static_cast<std::size_t>(r)] = 2;  // in the set, to be checked
            checked.push_back(r);
        } else {
            leaveSet(r);
        }
    }
    for (std::uint32_t b : staleTracked_) {
        if (trackedInBucket_[b] > 0) freshen(top_, b);
    }
    const WalkBefore before{this};
    auto inOrder = [&](int r) {
        const auto at = where_[static_cast<std::size_t>(r)];
        if (at != set_.begin() && !before(*std::prev(at), r)) return false;
        const auto next = std::next(at);
        return next == set_.end() || before(r, *next);
    };
    std::vector<int>& misplaced = scratchMisplaced_;
    misplaced.clear();
    for (bool removed = true; removed;) {
        removed = false;
        std::size_t kept = 0;
        for (int r : checked) {
            if (inOrder(r)) {
                checked[kept++] = r;
                continue;
            }
            leaveSet(r);
            misplaced.push_back(r);
            removed = true;
        }
        checked.resize(kept);
    }
    for (int r : checked) inSet_[static_cast<std::size_t>(r)] = 1;
    for (int r : misplaced) enterSet(r);
    for (int r : changedKeys) {
        if (inSet_[static_cast<std::size_t>(r)] == 0 && stillTracked(r)) enterSet(r);
    }
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
    // Sorted first, then appended: a sort costs fewer comparisons than
    // inserting one by one, and each append is checked against its
    // neighbour only.
    std::vector<int>& sorted = scratchChecked_;
    sorted.assign(tied.begin(), tied.end());
    for (int r : sorted) {
        const std::uint32_t b = bucketOf(r, top_);
        freshen(top_, b);
        ++trackedInBucket_[b];
    }
    std::sort(sorted.begin(), sorted.end(), WalkBefore{this});
    for (int r : sorted) {
        where_[static_cast<std::size_t>(r)] = set_.emplace_hint(set_.end(), r);
        inSet_[static_cast<std::size_t>(r)] = 1;
    }
}

}  // namespace bytepairtokenizer
