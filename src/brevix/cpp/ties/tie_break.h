// Choosing among equally frequent pairs: the pair a walk of a freshly counted
// statistics table would meet first. That table receives the live pairs in
// the order of their leftmost occurrences, so its walk order follows from
// the pairs' hashes and that order alone (walk_order.h).
//
// The tie-break keeps its own view of the pairs, fed by the trainer's
// notifications (a pair is created, its leftmost occurrence moves, its count
// settles after a merge), and asks the trainer, through TieBreakHost, only
// for what it does not mirror.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common/record_array.h"
#include "ties/first_occurrence.h"
#include "ties/tie_break_host.h"
#include "ties/walk_order.h"

namespace bytepairtokenizer {

// Tuning of the tie-break. The defaults are what fit() uses; tests shrink
// them to drive small inputs through the targeted path.
struct TieBreakTuning {
    // Tables up to this many pairs are modelled in full on every tie.
    int fullWalkPairs = 4096;
    // A tie among at least 1/fullWalkTieShare of all pairs is modelled in
    // full too (0: never).
    int fullWalkTieShare = 8;
    // Epochs with at most cutScale * sqrt(pairs) buckets are modelled in full.
    double cutScale = 8.0;
    // Past this many live pairs the walk order is not modelled: the trainer
    // recounts the corpus with the statistics table itself.
    int maxModelledPairs = kMaxTableKeys;
    // Ties at least this wide are answered by the walk order kept across
    // iterations (tie_order.h); 0: never.
    int orderedTieWidth = 16;
};

class TieOrder;

class TieBreaker {
public:
    TieBreaker(TieBreakHost& host, const TieBreakTuning& tuning);
    ~TieBreaker();
    TieBreaker(const TieBreaker&) = delete;
    TieBreaker& operator=(const TieBreaker&) = delete;

    // Forget every pair: a new corpus of `positions` positions follows.
    void reset(std::size_t positions);
    // Frees everything held, before the trainer's final write-back; reset()
    // makes it usable again.
    void freeAll();
    // Record r (numbered 0, 1, ... in creation order) is the pair (left, right).
    void pairCreated(int r, int left, int right);
    // The leftmost live occurrence of record r moved from `from` to `to`;
    // -1 stands for none (the pair appears or disappears).
    void firstOccurrenceMoved(int r, int from, int to);
    // Record r's count may have changed in the current merge (the host
    // answers countOf).
    void countSettled(int r);
    // The record that wins among the records of count `count` (at least two).
    int breakTie(int count);

    int livePairs() const { return firsts_.size(); }

private:
    // Per-epoch bucket chains over all records (hash mod that epoch's bucket
    // count), built the first time a tie-break needs the epoch.
    struct BucketChains {
        std::vector<int> head;  // empty: not built
        std::vector<int> next;  // by record
    };

    // What a tie-break knows about the table it reproduces.
    struct TieContext {
        int top = 0;                  // epoch of the whole table
        int cut = 0;                  // epochs up to this one are modelled in full
        std::vector<int> epochStart;  // corpus position of each epoch's first insert
    };

    bool isLive(int r) const { return firstOcc_[static_cast<std::size_t>(r)] >= 0; }
    int breakTieByFullWalk(const std::vector<int>& tied);
    int breakTieTargeted(std::vector<int>& tied);
    bool presentInEpoch(int r, int e, const TieContext& ctx) const;
    void modelCutEpoch(const TieContext& ctx);
    BucketChains& chainsFor(int e);
    template <typename F>
    void forEachLiveInBucket(BucketChains& ch, std::uint32_t b, F f);
    int winnerInFreshBuckets(const std::vector<int>& tied, const TieContext& ctx);
    // Sorts `keys` (all present in epoch e) into the walk order at the end
    // of epoch e; with firstOnly, only keys.front() is guaranteed.
    void walkOrderAtEpoch(int e, std::vector<int>& keys, const TieContext& ctx, bool firstOnly);
    // Frees the scratch of the targeted and full walks (unused while the
    // kept order answers the ties).
    void freeWalkScratch();

    TieBreakHost& host_;
    TieBreakTuning tuning_;

    // Mirrors of the trainer's records, by record.
    // Grown an eighth at a time (record_array.h), not by doubling.
    RecordArray<std::uint32_t> hash_;
    RecordArray<int> firstOcc_;  // -1: dead
    FirstOccurrenceSet firsts_;

    std::vector<BucketChains> chains_;  // by epoch index
    // Scratch of the targeted walk, by record.
    std::vector<int> cutPos_;          // walk position at the cut epoch
    // Effective time in an epoch: old keys by rank, keys inserted during it
    // from kInsertedDuring on by leftmost occurrence (positions fit 31 bits).
    std::vector<std::uint32_t> tieTime_;
    std::vector<std::uint32_t> tieGroup_;  // earliest time in its bucket
    // The low epochs last modelled in full (cutPos_ of their keys), kept until
    // a first occurrence at or before cutModelLastPos_ changes; -1: none.
    int cutModelEpoch_ = -1;
    int cutModelLastPos_ = -1;
    std::vector<int> tied_;                   // scratch: the tied records
    std::vector<unsigned char> tiedMark_;     // scratch of the full walk, by record

    // The walk order kept across iterations, once ties were wide.
    std::unique_ptr<TieOrder> order_;
};

}  // namespace bytepairtokenizer
