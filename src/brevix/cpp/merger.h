// Fast application of a merge table: the same whole greedy passes as
// mergeCorpus, with a lookup built for speed.
#pragma once

#include <vector>

#include "dtypes.h"
#include "pair_map.h"
#include "table_index.h"

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

// The same passes through an index kept with the tokenizer, with no lookup
// to build: for inputs much shorter than the table. `index` must be current.
void mergeCorpusIndexed(std::vector<int>& corpus, const TableIndex& index);

}  // namespace bytepairtokenizer
