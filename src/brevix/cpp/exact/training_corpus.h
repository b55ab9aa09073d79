// What the incremental trainer's parts share: the corpus as nodes, one
// record per distinct pair and the pairs' occurrence lists. The build
// (corpus_build.h) fills it, the merge loop (merge_loop.h) changes it one
// merge at a time, the count queue (count_queue.h) orders its records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/core_helpers.h"
#include "common/pair_map.h"
#include "common/record_array.h"
#include "exact/occurrence_lists.h"
#include "ties/tie_break.h"

namespace bytepairtokenizer {

// One corpus position and its token value. A merge at i writes the new id
// into position i and unlinks the position after it, so list order stays
// position order. There are no links: the live node after i is i + span of
// its value (the number of positions the value covers since the last
// build). An unlinked node keeps a link to the node that absorbed it, and
// the live node before i is found by following those links from i - 1
// (livePrev, by liveCellBefore in core_helpers.h).
struct TrainingNode {
    int value;
    int pairId;  // live: record of the pair starting here, -1 if none;
                 // unlinked: -2 - absorbing node
};

// One distinct pair ever seen since the last build. Its occurrences are
// list r of the occurrence lists: an entry is live exactly when
// nodes[pos].pairId still names this record; entries are appended in
// ascending order.
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
    bool filterPending = false;  // listed in the merge loop's pending filters
};

// The shared state itself. Every record is known to the tie-break from its
// creation on (TieBreaker::pairCreated).
struct TrainingCorpus {
    explicit TrainingCorpus(TieBreaker& tieBreaker) : ties(tieBreaker) {}

    RecordArray<TrainingNode> nodes;
    std::vector<int> spans;  // span of ids spanBase, spanBase + 1, ...; others span 1
    int spanBase = 0;
    RecordArray<PairRecord> records;
    OccurrenceLists occ;
    PairMap recordOf;  // (left, right) -> record, for records made indexed
    TieBreaker& ties;
    int liveLength = 0;  // live nodes

    static bool isLive(const TrainingNode& n) { return linkIsLive(n.pairId); }

    int spanOf(int value) const {
        const std::uint32_t k = static_cast<std::uint32_t>(value) - static_cast<std::uint32_t>(spanBase);
        return k < spans.size() ? spans[k] : 1;
    }

    // The live node after live node i, -1 at the end.
    int liveNext(int i) const {
        const long long j = static_cast<long long>(i) + spanOf(nodes[static_cast<std::size_t>(i)].value);
        return j < static_cast<long long>(nodes.size()) ? static_cast<int>(j) : -1;
    }

    // The live node before i, -1 at the start; compresses the links it follows.
    int livePrev(int i) {
        return liveCellBefore(i, [this](int k) -> int& { return nodes[static_cast<std::size_t>(k)].pairId; });
    }

    // A new record of (left, right) with an empty list, found by recordFor()
    // when `indexed`. Returns its number.
    int createRecord(int left, int right, bool indexed = true) {
        const int r = static_cast<int>(records.size());
        records.emplace_back();
        PairRecord& rec = records.back();
        rec.left = left;
        rec.right = right;
        if (indexed) recordOf.insertNew(left, right, r);
        occ.addList();
        ties.pairCreated(r, left, right);
        return r;
    }

    // The indexed record of (left, right), made when there is none.
    int recordFor(int left, int right) {
        const int r = recordOf.find(left, right);
        return r >= 0 ? r : createRecord(left, right);
    }

    // The live values in order into `out` (resized to liveLength); the
    // nodes stay usable.
    void writeValues(std::vector<int>& out) const {
        out.resize(static_cast<std::size_t>(liveLength));
        std::size_t k = 0;
        for (int i = nodes.empty() ? -1 : 0; i >= 0; i = liveNext(i)) {
            out[k++] = nodes[static_cast<std::size_t>(i)].value;
        }
    }
};

}  // namespace bytepairtokenizer
