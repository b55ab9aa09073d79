#include "exact/trainer.h"

#include <algorithm>
#include <ostream>

#include "common/core_helpers.h"
#include "exact/corpus_build.h"
#include "exact/merger.h"
#include "exact/straightforward.h"

// Performance notes (the measurements behind them: bench/NOTES.md,
// "The incremental trainer")
// - A merge costs about one cache miss per occurrence of the winner: the
//   merge loop prefetches the nodes around each occurrence 24 ahead and the
//   node livePrev() ends at 8 ahead, and settling prefetches records 16
//   ahead. Prefetch helpers are inlined by force (GCC drops calls to a
//   function of prefetches alone). The record changes, not the node misses,
//   are most of a merge's cost, so merges stay on one thread.
// - Memory per corpus token is about 13.6 bytes at the peak: 8-byte nodes
//   with no links (the next live node is i + span of its value), occurrence
//   lists as gaps in one arena, records grown in place by realloc, and the
//   corpus moved into the nodes by the build and written back only when kept.
// - Lists are allocated once at their final size; dead entries are dropped
//   only when a merge's new lists do not fit, on several threads.
// - The build counts the corpus in stretches on several threads; nothing a
//   call does is sized by the merge table, so small calls stay small.

namespace bytepairtokenizer {

void fitIncremental(MergeTables& tok, std::vector<int>& corpus, int maxVocabSize, int nIter,
                    std::ostream& out, const std::function<bool()>& interrupted,
                    const TrainerTuning& tuning, FinalCorpus final) {
    if (nIter <= 0) return;
    IncrementalTrainer trainer(tok, corpus, tuning);
    trainer.fit(maxVocabSize, nIter, out, interrupted, final);
}

IncrementalTrainer::IncrementalTrainer(MergeTables& tok, std::vector<int>& corpus,
                                       const TrainerTuning& tuning,
                                       const std::function<bool()>& buildInterrupted,
                                       const unsigned char* bytes, std::size_t bytesSize)
    : tok_(tok), source_(corpus), bytes_(bytes), bytesSize_(bytesSize), tuning_(tuning),
      ties_(*this, tuning_.ties), corpus_(ties_), queue_(corpus_.records), loop_(corpus_, queue_, tuning_) {
    tok_.refreshTableIndex();  // catches up with tables changed outside training
    stopped_ = !build(buildInterrupted);
}

bool IncrementalTrainer::build(const std::function<bool()>& interrupted) {
    nodesCurrent_ = false;
    loop_.reset();
    CorpusBuild corpusBuild(corpus_, tuning_, source_, bytes_, bytesSize_);
    const bool built = corpusBuild.run(tok_.nextVocabIndex, futureIds_, interrupted);
    bytes_ = nullptr;  // only the first build reads the bytes
    if (!built) return false;
    seatRecords();
    nodesCurrent_ = true;
    return true;
}

void IncrementalTrainer::seatRecords() {
    int maxCount = 0;
    for (std::size_t r = 0; r < corpus_.records.size(); ++r) maxCount = std::max(maxCount, corpus_.records[r].count);
    queue_.reset(maxCount);
    corpusHasKeys_ = false;
    for (int r = 0; r < static_cast<int>(corpus_.records.size()); ++r) {
        PairRecord& rec = corpus_.records[static_cast<std::size_t>(r)];
        ties_.firstOccurrenceMoved(r, -1, rec.firstOcc);
        ties_.countSettled(r);
        rec.storedEntries = corpus_.occ[r].entries;
        queue_.insert(r);
        if (!tok_.vocab.empty() && tok_.vocab.count(DTYPE_BYTEPAIR{rec.left, rec.right}) != 0) {
            corpusHasKeys_ = true;
        }
    }
}

// Leaves the corpus in source_; the nodes stay usable.
void IncrementalTrainer::writeBack() {
    if (!nodesCurrent_) return;
    corpus_.writeValues(source_);
}

// Frees what only training needs before the corpus is written back, so
// that the copy does not add to the peak.
void IncrementalTrainer::finishCorpus(FinalCorpus final) {
    if (!nodesCurrent_) return;
    corpus_.occ.freeAll();
    corpus_.records.freeAll();
    ties_.freeAll();
    corpus_.recordOf = PairMap();
    queue_.freeAll();
    if (final == FinalCorpus::Kept) writeBack();
    corpus_.nodes.freeAll();
    nodesCurrent_ = false;
}

int IncrementalTrainer::choose(int& count) {
    count = queue_.topCount();
    if (count == 0) return -1;
    const int first = queue_.first(count);
    return corpus_.records[first].queueNext < 0 ? first : ties_.breakTie(count);
}

bool IncrementalTrainer::needsWholeMerge(bool recordedNew, int newId) const {
    if (corpusHasKeys_ || !recordedNew || futureIds_.count(newId) != 0) return true;
    const TableIndex* index = tok_.currentTableIndex();
    return index == nullptr || index->idInKeys(newId);  // no index: assume the worst
}

void IncrementalTrainer::mergeWhole() {
    finishCorpus();  // from here until build() ends, source_ is the corpus
    applyMerges(tok_, source_);
    build();
}

// Past the rehash schedule the walk order is not modelled: count the
// corpus with the statistics table itself.
int IncrementalTrainer::winnerByRecount(const std::vector<int>& tied) {
    writeBack();
    const MostFreqPair best = getMaxFreqPair(bytePairStats(source_));
    for (int r : tied) {
        const PairRecord& rec = corpus_.records[static_cast<std::size_t>(r)];
        if (rec.left == best.pair[0] && rec.right == best.pair[1]) return r;
    }
    return tied.front();  // unreachable: the table's winner is among the tied pairs
}

void IncrementalTrainer::fit(int maxVocabSize, int nIter, std::ostream& out,
                             const std::function<bool()>& interrupted, FinalCorpus final) {
    if (stopped_) return;
    try {
        runIterations(maxVocabSize, nIter, out, interrupted);
    } catch (...) {
        // Between merges the nodes hold the corpus after the last completed
        // merge, as the straightforward engine would leave it. A failure
        // inside an incremental merge leaves it with the merge applied up to
        // some occurrence; inside a whole-pass rebuild, source_ may be lost.
        finishCorpus(final);
        throw;
    }
    finishCorpus(final);
}

void IncrementalTrainer::runIterations(int maxVocabSize, int nIter, std::ostream& out,
                                       const std::function<bool()>& interrupted) {
    const int originalSize = static_cast<int>(corpus_.nodes.size());
    for (int i = 0; i < nIter; ++i) {
        if (interrupted && interrupted()) break;
        out << "Iteration " << i + 1 << std::endl;
        int count = 0;
        const int winner = choose(count);
        const DTYPE_BYTEPAIR pair = winner < 0 ? DTYPE_BYTEPAIR{-1, -1}
                                               : DTYPE_BYTEPAIR{corpus_.records[winner].left,
                                                                corpus_.records[winner].right};
        out << "[" << pair[0] << " .. " << pair[1] << "] -> " << count << std::endl;
        if (count == 0) {
            out << "Nothing to Merge";  // no line end, no flush
            break;
        }
        const bool recordedNew = tok_.vocab.count(pair) == 0;
        updateVocab(tok_.vocab, tok_.revVocab, pair, tok_.nextVocabIndex, tok_.vocabSize);
        const int newId = tok_.vocab.at(pair);
        out << tok_.size() << std::endl;
        tok_.refreshTableIndex();  // the new merge's ids are now in a key
        // The merge just recorded stays in the tables but is not applied.
        if (tok_.size() >= maxVocabSize) {
            corpusHasKeys_ = true;
            break;
        }
        if (needsWholeMerge(recordedNew, newId)) {
            mergeWhole();
        } else {
            loop_.merge(winner, newId);
        }
        out << corpus_.liveLength << " " << originalSize << " "
            << reductionPercent(originalSize, corpus_.liveLength) << "%" << std::endl;
    }
}

}  // namespace bytepairtokenizer
