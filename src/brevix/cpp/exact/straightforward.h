// The straightforward algorithms: recount every pair, whole greedy merge
// passes, per-id expansion. They are the executable definition of behaviour;
// every fast engine must agree with them byte for byte, and the differential
// tests hold them side by side.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "common/dtypes.h"
#include "exact/table_index.h"

namespace bytepairtokenizer {

// Whether training leaves the final corpus in the caller's vector. The
// engines write it back from their own structures at the end, which a caller
// that discards it can skip.
enum class FinalCorpus { Kept, Dropped };

// What training learns: the merge table both ways and the id counters. The
// engines read and extend it; BytePairTokenizer is one.
struct MergeTables {
    DTYPE_BYTEPAIR_VOCAB vocab;         // learned pair -> merged id
    DTYPE_BYTEPAIR_REV_VOCAB revVocab;  // merged id -> pair
    int nextVocabIndex = 256;           // id the next learned merge receives
    int vocabSize = 256;                // 256 base tokens plus one per merge

    // The current vocabulary size.
    int size() const { return vocabSize; }

    // --- What the engines derive from the tables (table_index.h). ---

    // Brings the derived index up to date with the tables; training calls it
    // itself, code that adds merges member by member (updateVocab) calls it
    // after. Never throws. Not while another thread reads the tables.
    void refreshTableIndex() noexcept { tableIndex_.refresh(vocab, revVocab, nextVocabIndex); }

    // The same from scratch, for code that replaces the tables member by
    // member (swapping in another table): a replaced table can pass the
    // index's constant-time check.
    void rebuildTableIndex() noexcept { tableIndex_.rebuild(vocab, revVocab, nextVocabIndex); }

    // Exchanges the tables, counters and index with `other`; cannot throw, so
    // a replacement is either whole or not made.
    void swapTables(MergeTables& other) noexcept {
        vocab.swap(other.vocab);
        revVocab.swap(other.revVocab);
        std::swap(nextVocabIndex, other.nextVocabIndex);
        std::swap(vocabSize, other.vocabSize);
        std::swap(tableIndex_, other.tableIndex_);
    }

    // The index when it describes the tables exactly, else null.
    const TableIndex* currentTableIndex() const {
        return tableIndex_.current(vocab, revVocab, nextVocabIndex) ? &tableIndex_ : nullptr;
    }

private:
    TableIndex tableIndex_;  // copied along with the tables
};

}  // namespace bytepairtokenizer

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
std::vector<int> baseTokens(const std::string& s);

// Appends the bytes of `token` to `out`. Throws std::invalid_argument for an
// id whose expansion leads back to itself.
void appendExpansion(std::string& out, int token, const DTYPE_BYTEPAIR_REV_VOCAB& revVocab);

// Expands one id into its bytes through revVocab.
std::string _decodeRecursive(int token, DTYPE_BYTEPAIR_REV_VOCAB& revVocab);

// Every id of `encoded` expanded in turn.
std::string decodeStraightforward(const std::vector<int>& encoded,
                                  const DTYPE_BYTEPAIR_REV_VOCAB& revVocab);

}  // namespace bytepairtokenizer
