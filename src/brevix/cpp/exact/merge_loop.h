// The trainer's merge loop: one merge applied to the shared corpus by
// walking the winner's occurrence list, with every pair count, occurrence
// list, leftmost occurrence and queue position it changes brought up to
// date at its end.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "common/core_helpers.h"
#include "exact/count_queue.h"
#include "exact/occurrence_lists.h"
#include "exact/trainer_tuning.h"
#include "exact/training_corpus.h"

namespace bytepairtokenizer {

// Contract of merge(winner, newId): one greedy left-to-right pass of the
// merge (winner's pair -> newId) over the live nodes, which equals a whole
// merge pass only when no adjacent pair is a merge-table key and newId is
// absent from the corpus (the trainer checks both). Afterwards:
// - every record's count is its number of live occurrences, and the
//   records the merge made have their lists filled, exactly sized;
// - every record of count > 0 is in the count queue under its count, its
//   leftmost occurrence is current, and the tie-break has been told of
//   every count and leftmost occurrence that moved; records of count 0 are
//   out of the queue and their lists released;
// - lists holding more dead entries than about twice their live ones are
//   remembered, and their dead entries dropped (on several threads) when a
//   later merge's new lists do not fit in the arena.
class MergeLoop {
public:
    MergeLoop(TrainingCorpus& corpus, CountQueue& queue, const TrainerTuning& tuning)
        : corpus_(corpus), queue_(queue), tuning_(tuning) {}

    // Forgets what it kept from the corpus before a new build.
    void reset() {
        withNewOnLeft_.clear();
        filterPending_.clear();
        withNewOnRight_.clear();
    }

    void merge(int winner, int newId);

private:
    // A record the current merge touched, with its count before it. It
    // stays in the count queue under the old count until settleTouched().
    struct Touched {
        int record;
        int countBefore;
    };

    void prefetchNode(int pos) const {
        __builtin_prefetch(&corpus_.nodes[static_cast<std::size_t>(pos)]);
    }
    // Prefetches the nodes an occurrence of the winner at `pos` reads: the
    // one before it, its own and the one after the pair (`spanPair` on).
    // Always inlined: GCC finds a function of prefetches alone pure and
    // drops the calls to it.
    __attribute__((always_inline)) void prefetchAround(int pos, int spanPair) const {
        if (pos > 0) prefetchNode(pos - 1);
        prefetchNode(pos);
        if (static_cast<std::size_t>(pos) + static_cast<std::size_t>(spanPair) < corpus_.nodes.size()) {
            prefetchNode(pos + spanPair);
        }
    }
    // Prefetches the node livePrev(pos) ends at when the node before `pos`
    // was absorbed; that node must be in the cache already.
    __attribute__((always_inline)) void prefetchAbsorber(int pos) const {
        if (pos == 0) return;
        const int link = corpus_.nodes[static_cast<std::size_t>(pos) - 1].pairId;
        if (!linkIsLive(link)) prefetchNode(absorberOf(link));
    }
    __attribute__((always_inline)) void prefetchRecord(int r) const {
        __builtin_prefetch(&corpus_.records[static_cast<std::size_t>(r)]);
    }
    // Prefetches what settling a touched record reads besides the record:
    // its neighbours in the count queue when its count moved.
    __attribute__((always_inline)) void prefetchQueueNeighbours(const Touched& t) const {
        const PairRecord& rec = corpus_.records[static_cast<std::size_t>(t.record)];
        if (rec.count == t.countBefore) return;
        queue_.prefetchNeighbours(rec);
    }

    void touch(int r);
    // Record r loses its occurrence at `pos`.
    void dropOccurrence(int r, int pos) {
        touch(r);
        PairRecord& rec = corpus_.records[static_cast<std::size_t>(r)];
        --rec.count;
        if (pos == rec.firstOcc) rec.firstDied = true;
    }
    void addOccurrence(int pos, int r);
    void fileNewOccurrences();
    int recordWithNewId(int neighbour, int newId, bool newIdOnLeft);
    void settleTouched();
    void dropPendingDeadEntries();
    static bool hasManyDeadEntries(const PairRecord& rec);
    void refreshFirstOccurrence(PairRecord& rec, int r);

    TrainingCorpus& corpus_;
    CountQueue& queue_;
    const TrainerTuning& tuning_;

    std::vector<Touched> touched_;  // in first-touch order
    std::vector<std::pair<int, int>> newOccurrences_;  // (record, position) of this merge
    // Records whose lists held more dead entries than live ones when last
    // settled. Their dead entries are dropped only when the arena is out of
    // room: many such lists die or win a merge before that, for free.
    std::vector<int> filterPending_;
    // Records of (v, newId) and (newId, v) made by the current merge, by v + 128;
    // entries below firstRecordOfMerge_ are stale.
    std::vector<int> withNewOnRight_;
    std::vector<int> withNewOnLeft_;
    int firstRecordOfMerge_ = 0;
};

}  // namespace bytepairtokenizer
