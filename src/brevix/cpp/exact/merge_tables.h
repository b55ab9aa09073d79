// The merge tables training learns and every engine reads: the merge table
// both ways, the id counters, and the index derived from them.
#pragma once

#include <utility>

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
