// The incremental training engine. It keeps the corpus as nodes with
// per-pair occurrence lists and counts, so an iteration costs the work its
// merge really does instead of a full recount. Its output, merges and final
// corpus are byte for byte those of BytePairTokenizer::fitStraightforward.
//
// The trainer composes its parts: the build (corpus_build.h) lays the
// corpus out, the count queue (count_queue.h) finds the most frequent
// pairs, the tie-break (ties/tie_break.h) picks among equally frequent
// ones, and the merge loop (merge_loop.h) applies a merge; the trainer
// chooses between that loop and a whole merge pass, and writes the corpus
// back.
#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <unordered_set>
#include <vector>

#include "exact/count_queue.h"
#include "exact/merge_loop.h"
#include "exact/merge_tables.h"
#include "exact/trainer_tuning.h"
#include "exact/training_corpus.h"
#include "ties/tie_break.h"
#include "ties/tie_break_host.h"

namespace bytepairtokenizer {

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
    // stops and fit() does nothing; `corpus` is then as it was when the
    // counting was interrupted, and empty when the filling of the
    // occurrence lists was (the nodes held it by then).
    IncrementalTrainer(MergeTables& tok, std::vector<int>& corpus,
                       const TrainerTuning& tuning = {},
                       const std::function<bool()>& buildInterrupted = {},
                       const unsigned char* bytes = nullptr, std::size_t bytesSize = 0);

    void fit(int maxVocabSize, int nIter, std::ostream& out,
             const std::function<bool()>& interrupted, FinalCorpus final = FinalCorpus::Kept);

private:
    void runIterations(int maxVocabSize, int nIter, std::ostream& out,
                       const std::function<bool()>& interrupted);
    bool build(const std::function<bool()>& interrupted = {});
    // Files every record the build made: count queue, tie-break, stored
    // entries; notes whether the corpus holds a merge-table key.
    void seatRecords();
    void writeBack();
    // Frees the engine, first writing the corpus back into corpus_ when kept.
    void finishCorpus(FinalCorpus final = FinalCorpus::Kept);

    // The record of the most frequent pair (the tie-break's pick among
    // equals), -1 when no pair is left; `count` receives its count.
    int choose(int& count);

    // TieBreakHost
    int pairStartingAt(int pos) const override { return corpus_.nodes[pos].pairId; }
    int countOf(int r) const override { return corpus_.records[static_cast<std::size_t>(r)].count; }
    void pairsOfCount(int count, std::vector<int>& out) const override { queue_.collect(count, out); }
    int winnerByRecount(const std::vector<int>& tied) override;

    bool needsWholeMerge(bool recordedNew, int newId) const;
    void mergeWhole();

    MergeTables& tok_;
    std::vector<int>& source_;    // the corpus before the build and after training
    const unsigned char* bytes_;  // the corpus of the first build instead of source_
    std::size_t bytesSize_;
    TrainerTuning tuning_;

    TieBreaker ties_;
    TrainingCorpus corpus_;
    CountQueue queue_;
    MergeLoop loop_;

    // Ids present in the corpus that are not yet assigned. A new id in this
    // set, or in a merge-table key (the tokenizer's TableIndex), may make a
    // single merge pass differ from the whole pass loop, so such merges take
    // the slow road.
    std::unordered_set<int> futureIds_;
    // Some adjacent pair was already a merge-table key at the last rebuild.
    bool corpusHasKeys_ = false;
    bool nodesCurrent_ = false;  // the nodes, not source_'s size, hold the corpus
    bool stopped_ = false;       // the build was interrupted
};

}  // namespace bytepairtokenizer
