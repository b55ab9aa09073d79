// The incremental training engine. It keeps the corpus as a linked list with
// per-pair occurrence lists and counts, so an iteration costs the work its
// merge really does instead of a full recount. Its output, merges and final
// corpus are byte for byte those of BytePairTokenizer::fitStraightforward.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/core_helpers.h"
#include "common/pair_map.h"
#include "common/record_array.h"
#include "exact/occurrence_lists.h"
#include "exact/pair_census.h"
#include "exact/straightforward.h"
#include "ties/tie_break.h"

namespace bytepairtokenizer {

// Settings of the incremental engine. The defaults are the fast ones; the
// test engines change them to reach paths that real inputs reach rarely.
struct TrainerTuning {
    TieBreakTuning ties;
    // The build counts the corpus in stretches of at least this many
    // positions, each on a thread of its own.
    int minStretch = 1 << 22;
    // Dead entries are dropped on several threads when each gets this many
    // stored entries at least.
    int minFilterShare = 1 << 18;
    // Threads at most (0: one per hardware thread, up to 8).
    int maxThreads = 0;
};

// fit() on `tok` with the incremental engine; same contract as
// fitStraightforward.
void fitIncremental(MergeTables& tok, std::vector<int>& corpus, int maxVocabSize, int nIter,
                    std::ostream& out, const std::function<bool()>& interrupted,
                    const TrainerTuning& tuning = {}, FinalCorpus final = FinalCorpus::Kept);

class IncrementalTrainer : private TieBreakHost {
public:
    // Trains on `corpus`, or when `bytes` is given on those bytes read as
    // signed chars. The build moves the corpus into the nodes and frees
    // `corpus`; fit() leaves the final corpus in it. When buildInterrupted
    // returns true (it is polled every million positions), the build
    // stops, `corpus` is left as it was, and fit() does nothing.
    IncrementalTrainer(MergeTables& tok, std::vector<int>& corpus,
                       const TrainerTuning& tuning = {},
                       const std::function<bool()>& buildInterrupted = {},
                       const unsigned char* bytes = nullptr, std::size_t bytesSize = 0);

    void fit(int maxVocabSize, int nIter, std::ostream& out,
             const std::function<bool()>& interrupted, FinalCorpus final = FinalCorpus::Kept);

private:
    // One corpus position and its token value. A merge at i
    // writes the new id into position i and unlinks the position after it,
    // so list order stays position order. There are no links: the live node
    // after i is i + span of its value (the number of positions the value
    // covers since the last build). An unlinked node keeps a link to the
    // node that absorbed it, and the live node before i is found by
    // following those links from i - 1 (livePrev, by liveCellBefore in
    // core_helpers.h).
    struct Node {
        int value;
        int pairId;  // live: record of the pair starting here, -1 if none;
                     // unlinked: -2 - absorbing node
    };
    static bool isLive(const Node& n) { return linkIsLive(n.pairId); }
    int livePrev(int i);
    int spanOf(int value) const {
        const std::uint32_t k = static_cast<std::uint32_t>(value) - static_cast<std::uint32_t>(spanBase_);
        return k < spans_.size() ? spans_[k] : 1;
    }
    // The live node after live node i, -1 at the end.
    int liveNext(int i) const {
        const long long j = static_cast<long long>(i) + spanOf(nodes_[static_cast<std::size_t>(i)].value);
        return j < static_cast<long long>(nodes_.size()) ? static_cast<int>(j) : -1;
    }

    // One distinct pair ever seen since the last rebuild. Its occurrences
    // are list r of occ_: an entry is live exactly when nodes_[pos].pairId
    // still names this record; entries are appended in ascending order.
    struct PairRecord {
        int left;
        int right;
        int count = 0;
        int firstOcc = -1;  // leftmost live occurrence, -1 when dead
        int queuePrev = -1;
        int queueNext = -1;
        // Entries stored in list r as of the last build, filing, refresh or
        // filter: the dead-entry check needs no read of the list header.
        std::uint32_t storedEntries = 0;
        bool touched = false;
        bool firstDied = false;      // this merge killed the occurrence at firstOcc
        bool filterPending = false;  // listed in filterPending_
    };

    // A record the current merge touched, with its count before it. It
    // stays in the count queue under the old count until settleTouched().
    struct Touched {
        int record;
        int countBefore;
    };

    // Where one stretch's entries of a pair go in the build: the pair's
    // record, the byte offset in its list, and the list entry before them.
    struct StretchList {
        int record;
        int prev;
        std::uint32_t offset;
    };

    void runIterations(int maxVocabSize, int nIter, std::ostream& out,
                       const std::function<bool()>& interrupted);
    bool build(const std::function<bool()>& interrupted = {});
    int shareCount(std::uint64_t work, int minShare) const;
    int stretchBegin(int s, int stretches) const;
    static bool stopRequested(int s, std::atomic<bool>& stop, const std::function<bool()>& interrupted);
    bool countStretches(std::vector<PairCensus>& census, const std::function<bool()>& interrupted);
    std::vector<std::vector<StretchList>> numberPairs(const std::vector<PairCensus>& census);
    bool fillLists(const std::vector<std::vector<StretchList>>& lists, const std::function<bool()>& interrupted);
    void writeBack();
    // Frees the engine, first writing the corpus back into corpus_ when kept.
    void finishCorpus(FinalCorpus final = FinalCorpus::Kept);
    void prefetchNode(int pos) const { __builtin_prefetch(&nodes_[static_cast<std::size_t>(pos)]); }
    // Prefetches the nodes an occurrence of the winner at `pos` reads: the
    // one before it, its own and the one after the pair (`spanPair` on).
    // Always inlined: GCC finds a function of prefetches alone pure and
    // drops the calls to it.
    __attribute__((always_inline)) void prefetchAround(int pos, int spanPair) const {
        if (pos > 0) prefetchNode(pos - 1);
        prefetchNode(pos);
        if (static_cast<std::size_t>(pos) + static_cast<std::size_t>(spanPair) < nodes_.size()) {
            prefetchNode(pos + spanPair);
        }
    }
    // Prefetches the node livePrev(pos) ends at when the node before `pos`
    // was absorbed; that node must be in the cache already.
    __attribute__((always_inline)) void prefetchAbsorber(int pos) const {
        if (pos == 0) return;
        const int link = nodes_[static_cast<std::size_t>(pos) - 1].pairId;
        if (!linkIsLive(link)) prefetchNode(absorberOf(link));
    }
    __attribute__((always_inline)) void prefetchRecord(int r) const {
        __builtin_prefetch(&records_[static_cast<std::size_t>(r)]);
    }
    // Prefetches what settling a touched record reads besides the record:
    // its neighbours in the count queue when its count moved.
    __attribute__((always_inline)) void prefetchQueueNeighbours(const Touched& t) const {
        const PairRecord& rec = records_[static_cast<std::size_t>(t.record)];
        if (rec.count == t.countBefore) return;
        if (rec.queuePrev >= 0) prefetchRecord(rec.queuePrev);
        if (rec.queueNext >= 0) prefetchRecord(rec.queueNext);
    }
    // The value at position i of the corpus being built from.
    int sourceValue(int i) const {
        return bytes_ != nullptr ? static_cast<signed char>(bytes_[i]) : corpus_[static_cast<std::size_t>(i)];
    }
    int createRecord(int left, int right, bool indexed = true);
    int recordFor(int left, int right);

    // The count queue: one doubly linked list of records per count value.
    void queueInsert(int r);
    // Takes record r out of the list of count `count` (its count when queued).
    void queueRemove(int r, int count);

    // The most frequent pair; `winner` receives its record (-1 when none).
    MostFreqPair choose(int& winner);

    // TieBreakHost
    int pairStartingAt(int pos) const override { return nodes_[pos].pairId; }
    int countOf(int r) const override { return records_[static_cast<std::size_t>(r)].count; }
    void pairsOfCount(int count, std::vector<int>& out) const override;
    int winnerByRecount(const std::vector<int>& tied) override;

    bool needsWholeMerge(bool recordedNew, int newId) const;
    void mergeWhole();
    void mergeIncremental(int winner, int newId);
    void touch(int r);
    // Record r loses its occurrence at `pos`.
    void dropOccurrence(int r, int pos) {
        touch(r);
        PairRecord& rec = records_[static_cast<std::size_t>(r)];
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

    MergeTables& tok_;
    std::vector<int>& corpus_;
    const unsigned char* bytes_;  // the corpus of the first build instead of corpus_
    std::size_t bytesSize_;
    TrainerTuning tuning_;

    RecordArray<Node> nodes_;  // filled by the build's first pass
    std::vector<int> spans_;  // span of ids spanBase_, spanBase_ + 1, ...; others span 1
    int spanBase_ = 0;
    RecordArray<PairRecord> records_;
    OccurrenceLists occ_;

    PairMap recordOf_;
    TieBreaker ties_;
    std::vector<int> queueHead_;  // by count
    int topCount_ = 0;
    int liveLength_ = 0;
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

    // Ids present in the corpus that are not yet assigned. A new id in this
    // set, or in a merge-table key (the tokenizer's TableIndex), may make a
    // single merge pass differ from the whole pass loop, so such merges take
    // the slow road.
    std::unordered_set<int> futureIds_;
    // Some adjacent pair was already a merge-table key at the last rebuild.
    bool corpusHasKeys_ = false;
    bool nodesCurrent_ = false;  // the nodes, not corpus_'s size, hold the corpus
    bool stopped_ = false;       // the build was interrupted
};

}  // namespace bytepairtokenizer
