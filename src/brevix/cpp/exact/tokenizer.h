// The core tokenizer: the front of the core. It owns the merge tables and
// picks, for each call, the engine that serves it best; the algorithms live
// below it (straightforward.h defines behaviour, the engines reproduce it
// faster). Plain C++; nothing here knows about Python.
#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "common/byte_sink.h"
#include "exact/merge_tables.h"

namespace bytepairtokenizer {

// The merge tables (vocab, revVocab, nextVocabIndex, vocabSize, size()) are
// those of MergeTables.
class BytePairTokenizer : public MergeTables {
public:
    // Empty tables, both counters at 256. Allocates nothing.
    BytePairTokenizer();
    ~BytePairTokenizer();

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
    // With FinalCorpus::Dropped, `corpus` is left in no particular state.
    void fitWith(std::vector<int>& corpus, int maxVocabSize, int nIter, std::ostream& out,
                 const std::function<bool()>& interrupted = {}, FinalCorpus final = FinalCorpus::Kept);

    // encode() with its echo written to `out`; `fast` picks the merge engine
    // (mergeCorpusFast or the straightforward mergeCorpus).
    std::vector<int> encodeWith(std::string s, std::ostream& out, bool fast = true);

    // decode() by the plain per-id expansion, and by the table-driven
    // expander. Both throw std::invalid_argument for a cyclic id.
    std::string decodeStraightforward(const std::vector<int>& encoded);
    std::string decodeFast(const std::vector<int>& encoded);

    // fitWith() trains corpora up to this many ids by fitStraightforward,
    // and up to the second many when it runs a single iteration.
    static constexpr std::size_t kPlainTrainingMaxCorpus = 32;
    static constexpr std::size_t kPlainSingleIterationMaxCorpus = 4096;
};

}  // namespace bytepairtokenizer
