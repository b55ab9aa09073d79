// The core tokenizer: merge tables, training, encoding and decoding.
// Plain C++; nothing here knows about Python.
#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "dtypes.h"
#include "table_index.h"

namespace bytepairtokenizer {

class ByteSink;  // expander.h
class IdSource;  // expander.h

class BytePairTokenizer {
public:
    DTYPE_BYTEPAIR_VOCAB vocab;        // learned pair -> merged id
    DTYPE_BYTEPAIR_REV_VOCAB revVocab;  // merged id -> pair
    int nextVocabIndex;                 // id the next learned merge receives
    int vocabSize;                      // 256 base tokens plus one per merge

    // Empty tables, both counters at 256. Allocates nothing.
    BytePairTokenizer();
    ~BytePairTokenizer();

    // The current vocabulary size.
    int size();

    // Learns merges from `corpus` (rewritten in place) until nIter iterations
    // ran, the size reaches maxVocabSize, or no pair is left. Progress goes to
    // std::cout.
    void fit(std::vector<int>& corpus, int maxVocabSize, int nIter);

    // Bytes -> base tokens (signed bytes) -> the whole merge table applied.
    // Echoes the ids on std::cout, one line, flushed once.
    std::vector<int> encode(std::string s);

    // Applies the merge table to `corpus` in place and returns a copy of it.
    std::vector<int> encodeCorpus(std::vector<int>& corpus);

    // Expands every id down to bytes. Throws std::invalid_argument for an id
    // whose expansion leads back to itself.
    std::string decode(std::vector<int> encoded);

    // decode() written into `sink` from its start instead of returned; the
    // result is the number of bytes written, anything past them is slack.
    std::size_t decodeInto(std::vector<int> encoded, ByteSink& sink);

    // decodeInto() over ids read from `source` while they are decoded, for
    // about `expectedIds` ids. Declines (false, nothing read) where decode()
    // would not use the table-driven expander or an id could fail to decode;
    // also false when the source gave up. Only a true result is meaningful.
    bool decodeStreamed(IdSource& source, std::size_t expectedIds, ByteSink& sink,
                        std::size_t& written);

    // --- Engines behind the public members, reachable for testing. ---

    // Training by the straightforward algorithm: recount every pair each
    // iteration, whole merge passes. This is the definition of behaviour.
    // `interrupted` (may be empty) is polled at each iteration boundary; when
    // it returns true, training stops before starting that iteration.
    void fitStraightforward(std::vector<int>& corpus, int maxVocabSize, int nIter,
                            std::ostream& out,
                            const std::function<bool()>& interrupted = {});

    // The training entry used by fit(); identical output, faster engine.
    void fitWith(std::vector<int>& corpus, int maxVocabSize, int nIter, std::ostream& out,
                 const std::function<bool()>& interrupted = {});

    // encode() with its echo written to `out`; `fast` picks the merge engine
    // (mergeCorpusFast or the straightforward mergeCorpus).
    std::vector<int> encodeWith(std::string s, std::ostream& out, bool fast = true);

    // decode() by the plain per-id expansion, and by the table-driven
    // expander. Both throw std::invalid_argument for a cyclic id.
    std::string decodeStraightforward(const std::vector<int>& encoded);
    std::string decodeFast(const std::vector<int>& encoded);

    // --- What the engines derive from the tables (table_index.h). ---

    // Brings the derived index up to date with the tables; training calls it
    // itself, code that adds merges member by member (updateVocab) calls it
    // after. Never throws. Not while another thread reads the tokenizer.
    void refreshTableIndex() noexcept;

    // The same from scratch, for code that replaces the tables member by
    // member (swapping in another table): a replaced table can pass the
    // index's constant-time check.
    void rebuildTableIndex() noexcept;

    // The index when it describes the tables exactly, else null.
    const TableIndex* currentTableIndex() const;

    // mergeCorpus(corpus, vocab), through the index for a corpus much
    // shorter than the table (the training engine's whole merge passes).
    void applyMerges(std::vector<int>& corpus) const;

    // fitWith() trains corpora up to this many ids by fitStraightforward,
    // and up to the second many when it runs a single iteration.
    static constexpr std::size_t kPlainTrainingMaxCorpus = 32;
    static constexpr std::size_t kPlainSingleIterationMaxCorpus = 4096;

private:
    TableIndex tableIndex_;  // copied along with the tables
};

// Expands one id into its bytes through revVocab.
std::string _decodeRecursive(int token, DTYPE_BYTEPAIR_REV_VOCAB& revVocab);

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
// merges nothing. The straightforward definition.
void mergeCorpus(std::vector<int>& corpus, const DTYPE_BYTEPAIR_VOCAB& vocab);

// Same result as mergeCorpus, with a faster lookup and narrowed passes
// (merger.cpp).
namespace bytepairtokenizer {
void mergeCorpusFast(std::vector<int>& corpus, const DTYPE_BYTEPAIR_VOCAB& vocab);
}

// Cuts `str` at every space byte; always one piece more than spaces.
std::vector<std::string> splitString(std::string& str);
