// The straightforward algorithms: recount every pair, whole greedy merge
// passes, per-id expansion. They are the executable definition of behaviour;
// every fast engine must agree with them byte for byte, and the differential
// tests hold them side by side.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "common/dtypes.h"
#include "exact/merge_tables.h"

// The most frequent pair and its count; ((-1, -1), 0) when there is none.
struct MostFreqPair {
    DTYPE_BYTEPAIR pair;
    int freq;
};

// Counts adjacent (overlapping) pairs; keys enter in order of first occurrence.
DTYPE_BYTEPAIR_STATS bytePairStats(const std::vector<int>& corpus);

// First pair of maximal count in the table's walk order.
MostFreqPair getMaxFreqPair(DTYPE_BYTEPAIR_STATS stats);

// Records `pair` under nextVocabIndex unless it is already known.
void updateVocab(DTYPE_BYTEPAIR_VOCAB& vocab, DTYPE_BYTEPAIR_REV_VOCAB& revVocab,
                 const DTYPE_BYTEPAIR& pair, int& nextVocabIndex, int& vocabSize);

// Whole greedy left-to-right passes with every key of `vocab` until a pass
// merges nothing.
void mergeCorpus(std::vector<int>& corpus, const DTYPE_BYTEPAIR_VOCAB& vocab);

// Cuts `str` at every space byte; always one piece more than spaces.
std::vector<std::string> splitString(std::string& str);

namespace bytepairtokenizer {

// Learns merges from `corpus` (rewritten in place) until nIter iterations
// ran, the size reaches maxVocabSize, or no pair is left, writing progress to
// `out`. `interrupted` (may be empty) is polled at each iteration boundary;
// when it returns true, training stops before starting that iteration.
void fitStraightforward(MergeTables& tables, std::vector<int>& corpus, int maxVocabSize,
                        int nIter, std::ostream& out, const std::function<bool()>& interrupted);

// The base tokens of `s`: one signed byte value per byte.
std::vector<int> baseTokens(std::string_view s);

// Appends the bytes of `token` to `out`. Throws std::invalid_argument for an
// id whose expansion leads back to itself.
void appendExpansion(std::string& out, int token, const DTYPE_BYTEPAIR_REV_VOCAB& revVocab);

// Expands one id into its bytes through revVocab.
std::string _decodeRecursive(int token, DTYPE_BYTEPAIR_REV_VOCAB& revVocab);

// Every id of `encoded` expanded in turn.
std::string decodeStraightforward(const std::vector<int>& encoded,
                                  const DTYPE_BYTEPAIR_REV_VOCAB& revVocab);

}  // namespace bytepairtokenizer
