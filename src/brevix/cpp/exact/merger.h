// Fast application of a merge table: the same whole greedy passes as
// mergeCorpus, with a lookup built for speed.
#pragma once

#include <vector>

#include "common/dtypes.h"
#include "common/pair_map.h"
#include "exact/merge_tables.h"
#include "exact/table_index.h"

namespace bytepairtokenizer {

// The merge table rebuilt for lookups: a flat table for pairs of base tokens
// (-128..127), an open-addressing map for every other pair.
class MergeLookup {
public:
    explicit MergeLookup(const DTYPE_BYTEPAIR_VOCAB& vocab);

    // The merged id of (left, right), or -1 when the pair is not a key.
    int find(int left, int right) const {
        const unsigned l = static_cast<unsigned>(left) + 128u;
        const unsigned r = static_cast<unsigned>(right) + 128u;
        if ((l | r) < 256u) return direct_[(l << 8) | r];
        return others_.find(left, right);
    }

private:
    std::vector<int> direct_;
    PairMap others_;
};

// Same result as mergeCorpus(corpus, vocab).
void mergeCorpusFast(std::vector<int>& corpus, const DTYPE_BYTEPAIR_VOCAB& vocab);

// The same with a lookup built beforehand from the merge table, for callers
// that apply one table to many inputs (only read: safe from several threads).
void mergeCorpusFast(std::vector<int>& corpus, const MergeLookup& lookup);

// The same passes through an index kept with the tokenizer, with no lookup
// to build: for inputs much shorter than the table. `index` must be current.
void mergeCorpusIndexed(std::vector<int>& corpus, const TableIndex& index);

// mergeCorpus(corpus, tables.vocab), through the tables' index for a corpus
// much shorter than the table (the training engine's whole merge passes).
void applyMerges(const MergeTables& tables, std::vector<int>& corpus);

}  // namespace bytepairtokenizer
