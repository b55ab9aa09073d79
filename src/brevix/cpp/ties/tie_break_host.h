// The trainer as the tie-break sees it: what the tie-break and the walk
// order it keeps (tie_order.h) ask of the trainer instead of mirroring it.
#pragma once

#include <vector>

namespace bytepairtokenizer {

// What the tie-break asks of the trainer.
class TieBreakHost {
public:
    // The record of the pair starting at corpus position `pos`, which is the
    // leftmost occurrence of a live pair.
    virtual int pairStartingAt(int pos) const = 0;
    // The count of record r after the current merge.
    virtual int countOf(int r) const = 0;
    // The records of count `count`, in any order.
    virtual void pairsOfCount(int count, std::vector<int>& out) const = 0;
    // Past the modelled schedule: the record among `tied` that a walk of the
    // statistics table, counted from the corpus, meets first.
    virtual int winnerByRecount(const std::vector<int>& tied) = 0;

protected:
    ~TieBreakHost() = default;
};

}  // namespace bytepairtokenizer
