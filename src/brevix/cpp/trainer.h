// The incremental training engine. It keeps the corpus as a linked list with
// per-pair occurrence lists and counts, so an iteration costs the work its
// merge really does instead of a full recount. Its output, merges and final
// corpus are byte for byte those of BytePairTokenizer::fitStraightforward.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <unordered_set>
#include <utility>
#include <vector>

#include "pair_map.h"
#include "tie_break.h"
#include "tokenizer.h"

namespace bytepairtokenizer {

// fit() on `tok` with the incremental engine; same contract as
// fitStraightforward.
void fitIncremental(BytePairTokenizer& tok, std::vector<int>& corpus, int maxVocabSize, int nIter,
                    std::ostream& out, const std::function<bool()>& interrupted,
                    const TieBreakTuning& tuning = {});

class IncrementalTrainer : private TieBreakHost {
public:
    IncrementalTrainer(BytePairTokenizer& tok, std::vector<int>& corpus,
                       const TieBreakTuning& tuning = {});

    void fit(int maxVocabSize, int nIter, std::ostream& out,
             const std::function<bool()>& interrupted);

private:
    // One corpus position. A merge at i writes the new id into node i and
    // unlinks the node after it, so list order stays position order. There
    // is no back link: an unlinked node keeps, in `next`, a link to the node
    // that absorbed it, and the live node before i is found by following
    // those links from i - 1 (livePrev), compressing the path as it goes.
    struct Node {
        int value;
        int next;    // live: next live node or -1; unlinked: -2 - absorbing node
        int pairId;  // record of the pair starting here, -1 if none
    };
    static bool isLive(const Node& n) { return n.next >= -1; }
    static int absorbedBy(const Node& n) { return -2 - n.next; }
    int livePrev(int i);

    // One distinct pair ever seen since the last rebuild. An occurrence entry
    // is live exactly when nodes_[pos].pairId still names this record;
    // entries are appended in ascending position order.
    struct PairRecord {
        int left;
        int right;
        int count = 0;
        int firstOcc = -1;  // leftmost live occurrence, -1 when dead
        int head = 0;       // occ[head..] holds every live entry
        int queuePrev = -1;
        int queueNext = -1;
        bool touched = false;
        std::vector<int> occ;
    };

    void runIterations(int maxVocabSize, int nIter, std::ostream& out,
                       const std::function<bool()>& interrupted);
    void build();
    void writeBack();
    int createRecord(int left, int right, bool indexed = true);
    int recordFor(int left, int right);

    // The count queue: one doubly linked list of records per count value.
    void queueInsert(int r);
    void queueRemove(int r);

    // The most frequent pair; `winner` receives its record (-1 when none).
    MostFreqPair choose(int& winner);

    // TieBreakHost
    int pairStartingAt(int pos) const override { return nodes_[pos].pairId; }
    void pairsOfCount(int count, std::vector<int>& out) const override;
    int winnerByRecount(const std::vector<int>& tied) override;

    bool needsWholeMerge(bool recordedNew, int newId) const;
    void mergeWhole();
    void mergeIncremental(int winner, int newId);
    void touch(int r);
    void dropOccurrence(int r) { touch(r); --records_[r].count; }
    void addOccurrence(int pos, int r);
    void fileNewOccurrences();
    int recordWithNewId(int neighbour, int newId, bool newIdOnLeft);
    void settleTouched();
    void refreshFirstOccurrence(PairRecord& rec, int r);

    BytePairTokenizer& tok_;
    std::vector<int>& corpus_;

    std::vector<Node> nodes_;
    std::vector<PairRecord> records_;
    PairMap recordOf_;
    TieBreaker ties_;
    std::vector<int> queueHead_;  // by count
    int topCount_ = 0;
    int liveLength_ = 0;
    std::vector<int> touched_;
    std::vector<std::pair<int, int>> newOccurrences_;  // (record, position) of this merge
    // Records of (v, newId) and (newId, v) made by the current merge, by v + 128;
    // entries below firstRecordOfMerge_ are stale.
    std::vector<int> withNewOnRight_;
    std::vector<int> withNewOnLeft_;
    int firstRecordOfMerge_ = 0;

    // Ids present in the corpus that are not yet assigned, and ids occurring
    // in any merge-table key. A new id in either set may make a single merge
    // pass differ from the whole pass loop, so such merges take the slow road.
    std::unordered_set<int> futureIds_;
    std::unordered_set<int> idsInKeys_;
    // Some adjacent pair was already a merge-table key at the last rebuild.
    bool corpusHasKeys_ = false;
    bool merging_ = false;  // inside a merge: the list may be half rewritten
};

}  // namespace bytepairtokenizer
