#include "exact/merge_loop.h"

#include <algorithm>
#include <cstdint>

#include "common/stretch_threads.h"
#include "exact/pair_census.h"

namespace bytepairtokenizer {

namespace {

// How many occurrences ahead the merge loop prefetches their nodes.
constexpr int kPrefetchAhead = 24;
// How many occurrences ahead it prefetches the node livePrev() ends at, read
// from the node before the occurrence (prefetched earlier).
constexpr int kAbsorberAhead = 8;

// A list is rid of its dead entries once it stores more than this many
// times its live ones (plus kDeadSlack).
constexpr std::uint32_t kStoredPerLive = 2;
constexpr std::uint32_t kDeadSlack = 16;

// How many touched records ahead settleTouched() prefetches their records
// (and, half as far ahead, their neighbours in the count queue).
constexpr std::size_t kSettleAhead = 16;

// Entries of the per-merge buffer kept however small the merge.
constexpr std::size_t kKeptBuffer = std::size_t{1} << 16;

}  // namespace

void MergeLoop::touch(int r) {
    PairRecord& rec = corpus_.records[r];
    if (rec.touched) return;
    rec.touched = true;
    touched_.push_back(Touched{r, rec.count});
}

void MergeLoop::addOccurrence(int pos, int r) {
    touch(r);
    ++corpus_.records[r].count;
    corpus_.nodes[pos].pairId = r;
    // Positions arrive in ascending order, and a position given a new pair
    // twice (in a run) gets them in a row: the later replaces the earlier.
    if (!newOccurrences_.empty() && newOccurrences_.back().second == pos) {
        newOccurrences_.back().first = r;
    } else {
        newOccurrences_.emplace_back(r, pos);
    }
}

// Gives the pairs a merge created their occurrence lists, exactly sized.
// Every buffered entry is still live: a position's pair changes later in the
// same merge only by a second new pair, which replaced its entry (and a
// dead entry would only cost space: reads check liveness).
void MergeLoop::fileNewOccurrences() {
    std::size_t bytes = 0;
    for (const auto& entry : newOccurrences_) bytes += corpus_.occ.countEntry(entry.first, entry.second);
    if (!corpus_.occ.fits(bytes)) dropPendingDeadEntries();
    corpus_.occ.layOut(firstRecordOfMerge_, static_cast<int>(corpus_.records.size()));
    for (const auto& entry : newOccurrences_) corpus_.occ.append(entry.first, entry.second);
    corpus_.occ.finishFilling(firstRecordOfMerge_, static_cast<int>(corpus_.records.size()));
    // The first merges are the largest by far; their buffer is not kept for
    // the rest of the run.
    if (newOccurrences_.capacity() > kKeptBuffer && newOccurrences_.size() < newOccurrences_.capacity() / 8) {
        std::vector<std::pair<int, int>>().swap(newOccurrences_);
    }
    newOccurrences_.clear();
}

// One greedy left-to-right pass for the newest merge only. Before it no
// adjacent pair is a merge-table key, so this equals the first whole pass;
// the trainer (needsWholeMerge) rules out a second pass having anything to do.
void MergeLoop::merge(int winner, int newId) {
    firstRecordOfMerge_ = static_cast<int>(corpus_.records.size());
    // Neighbours up to the corpus length above the base tokens are cached:
    // sized by the table instead, the cache would cost every call O(table).
    const std::size_t span = std::min(static_cast<std::size_t>(newId) + 128,
                                      corpus_.nodes.size() + static_cast<std::size_t>(kDirectSpan));
    if (withNewOnLeft_.size() < span) {
        withNewOnLeft_.resize(span, -1);
        withNewOnRight_.resize(span, -1);
    }
    const int left = corpus_.records[static_cast<std::size_t>(winner)].left;
    const int right = corpus_.records[static_cast<std::size_t>(winner)].right;
    corpus_.spans.resize(static_cast<std::size_t>(newId - corpus_.spanBase) + 1, 1);
    corpus_.spans.back() = corpus_.spanOf(left) + corpus_.spanOf(right);
    const int n = static_cast<int>(corpus_.nodes.size());
    // The occurrences are known in advance; fetching their nodes early
    // hides most of the cache misses that dominate this loop.
    const int spanLeft = corpus_.spanOf(left);
    const int spanPair = spanLeft + corpus_.spanOf(right);
    OccurrenceLists::Cursor ahead = corpus_.occ.cursor(winner);
    OccurrenceLists::Cursor near = ahead;
    for (int k = 0; k < kPrefetchAhead && !ahead.done(); ++k) prefetchAround(ahead.next(), spanPair);
    for (int k = 0; k < kAbsorberAhead && !near.done(); ++k) prefetchAbsorber(near.next());
    for (OccurrenceLists::Cursor at = corpus_.occ.cursor(winner); !at.done();) {
        if (!ahead.done()) prefetchAround(ahead.next(), spanPair);
        if (!near.done()) prefetchAbsorber(near.next());
        const int i = at.next();
        if (corpus_.nodes[static_cast<std::size_t>(i)].pairId != winner) continue;  // consumed earlier
        const int j = i + spanLeft;
        const int x = corpus_.livePrev(i);
        const int y = i + spanPair < n ? i + spanPair : -1;
        if (x >= 0) dropOccurrence(corpus_.nodes[static_cast<std::size_t>(x)].pairId, x);
        dropOccurrence(winner, i);
        if (y >= 0) dropOccurrence(corpus_.nodes[static_cast<std::size_t>(j)].pairId, j);

        corpus_.nodes[static_cast<std::size_t>(j)].pairId = absorbedLink(i);
        corpus_.nodes[static_cast<std::size_t>(i)].value = newId;
        corpus_.nodes[static_cast<std::size_t>(i)].pairId = -1;
        --corpus_.liveLength;

        if (x >= 0) {
            addOccurrence(x, recordWithNewId(corpus_.nodes[static_cast<std::size_t>(x)].value, newId, false));
        }
        if (y >= 0) {
            addOccurrence(i, recordWithNewId(corpus_.nodes[static_cast<std::size_t>(y)].value, newId, true));
        }
    }
    fileNewOccurrences();
    settleTouched();
}

// The record of (neighbour, newId) or (newId, neighbour). Every such pair is
// new in this merge (the trainer merges here only when newId was absent), so
// neighbours below newId are served from a flat per-merge cache; the map
// covers the rest.
int MergeLoop::recordWithNewId(int neighbour, int newId, bool newIdOnLeft) {
    const int left = newIdOnLeft ? newId : neighbour;
    const int right = newIdOnLeft ? neighbour : newId;
    if (neighbour < -128 || neighbour >= newId ||
        static_cast<std::size_t>(neighbour + 128) >= withNewOnLeft_.size()) {
        return corpus_.recordFor(left, right);
    }
    int& cached = (newIdOnLeft ? withNewOnLeft_ : withNewOnRight_)[static_cast<std::size_t>(neighbour + 128)];
    if (cached < firstRecordOfMerge_) cached = corpus_.createRecord(left, right, false);
    return cached;
}

bool MergeLoop::hasManyDeadEntries(const PairRecord& rec) {
    return rec.storedEntries > kStoredPerLive * static_cast<std::uint32_t>(rec.count) + kDeadSlack;
}

void MergeLoop::refreshFirstOccurrence(PairRecord& rec, int r) {
    OccurrenceLists::Cursor at = corpus_.occ.cursor(r);
    std::uint32_t dead = 0;
    for (OccurrenceLists::Cursor before = at;; before = at, ++dead) {
        const int pos = at.next();
        if (corpus_.nodes[static_cast<std::size_t>(pos)].pairId != r) continue;
        if (dead > 0) {
            corpus_.occ.consumeBefore(r, before, dead);
            rec.storedEntries -= dead;
        }
        if (pos == rec.firstOcc) return;
        corpus_.ties.firstOccurrenceMoved(r, rec.firstOcc, pos);
        rec.firstOcc = pos;
        return;
    }
}

void MergeLoop::settleTouched() {
    const std::size_t touchedCount = touched_.size();
    for (std::size_t k = 0; k < touchedCount; ++k) {
        if (k + kSettleAhead < touchedCount) prefetchRecord(touched_[k + kSettleAhead].record);
        if (k + kSettleAhead / 2 < touchedCount) prefetchQueueNeighbours(touched_[k + kSettleAhead / 2]);
        const int r = touched_[k].record;
        const int countBefore = touched_[k].countBefore;
        PairRecord& rec = corpus_.records[r];
        rec.touched = false;
        corpus_.ties.countSettled(r);
        if (rec.count != countBefore && countBefore > 0) queue_.remove(r, countBefore);
        if (rec.count > 0) {
            // A pair this merge made has only live entries (see
            // fileNewOccurrences), so its leftmost occurrence is its first
            // entry, with no node to check. An older pair gains no
            // occurrence in an incremental merge, so its leftmost one moves
            // only when it died.
            if (r >= firstRecordOfMerge_) {
                rec.storedEntries = corpus_.occ[r].entries;
                rec.firstOcc = corpus_.occ.cursor(r).next();
                corpus_.ties.firstOccurrenceMoved(r, -1, rec.firstOcc);
            } else if (rec.firstDied) {
                refreshFirstOccurrence(rec, r);
            }
            rec.firstDied = false;
            if (!rec.filterPending && hasManyDeadEntries(rec)) {
                rec.filterPending = true;
                filterPending_.push_back(r);
            }
            if (rec.count != countBefore) queue_.insert(r);
        } else {
            if (rec.firstOcc >= 0) corpus_.ties.firstOccurrenceMoved(r, rec.firstOcc, -1);
            rec.firstOcc = -1;
            rec.firstDied = false;
            rec.storedEntries = 0;
            corpus_.occ.release(r);
        }
    }
    touched_.clear();
}

// Drops the dead entries of the lists that still hold more of them than
// live ones, to bound memory. The lists are shared out among threads by
// their stored entries, one node read each.
void MergeLoop::dropPendingDeadEntries() {
    std::vector<int>& due = filterPending_;
    std::size_t kept = 0;
    std::uint64_t entries = 0;
    for (int r : due) {
        PairRecord& rec = corpus_.records[static_cast<std::size_t>(r)];
        rec.filterPending = false;
        if (rec.count == 0 || !hasManyDeadEntries(rec)) continue;  // released, or consumed since
        due[kept++] = r;
        entries += rec.storedEntries;
    }
    due.resize(kept);
    const int shares = shareCount(tuning_, entries, tuning_.minFilterShare);
    // Share s filters due[cut[s], cut[s + 1]).
    std::vector<std::size_t> cut(static_cast<std::size_t>(shares) + 1, due.size());
    cut[0] = 0;
    std::uint64_t sum = 0;
    for (std::size_t k = 0, s = 1; k < due.size() && s < static_cast<std::size_t>(shares); ++k) {
        sum += corpus_.records[static_cast<std::size_t>(due[k])].storedEntries;
        if (sum * static_cast<std::uint64_t>(shares) >= entries * s) cut[s++] = k + 1;
    }
    std::vector<std::size_t> freed(static_cast<std::size_t>(shares), 0);
    runStretches(
        shares,
        [&](int s) {
            for (std::size_t k = cut[static_cast<std::size_t>(s)]; k < cut[static_cast<std::size_t>(s) + 1]; ++k) {
                const int r = due[k];
                freed[static_cast<std::size_t>(s)] +=
                    corpus_.occ.filter(r, [&](int pos) { return corpus_.nodes[static_cast<std::size_t>(pos)].pairId == r; },
                                [&](int pos) { __builtin_prefetch(&corpus_.nodes[static_cast<std::size_t>(pos)]); });
                corpus_.records[static_cast<std::size_t>(r)].storedEntries = corpus_.occ[r].entries;
            }
        },
        [](int) {});
    for (std::size_t bytes : freed) corpus_.occ.addGarbage(bytes);
    due.clear();
}

}  // namespace bytepairtokenizer
