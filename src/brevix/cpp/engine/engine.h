// The state behind one brevix.Tokenizer: its model (vocabulary, split
// pattern, special tokens) as one immutable encoder, and the reader/writer
// lock that lets several native threads encode and decode at once while
// training is serialised against them. Plain C++: nothing here knows about
// Python.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <optional>
#include <stdexcept>
#include <string_view>

#include "encode/text_encoder.h"
#include "encode/vocabulary.h"
#include "text/splitter.h"
#include "exact/expander.h"
#include "exact/tokenizer.h"

#include "engine/writer_first_mutex.h"

namespace brevix {

// One merge as (left, right, id).
using MergeTriple = std::array<int, 3>;

inline constexpr int kFirstMergeId = 256;

// Which special tokens a call encodes as their ids (`allowed`) and which it
// refuses to meet in the text (`refused`), one flag per special token in
// the vocabulary's order; empty vectors for none.
struct SpecialPolicy {
    std::vector<std::size_t> allowed;
    std::vector<std::size_t> refused;
    bool ordinary() const { return allowed.empty() && refused.empty(); }
};

// Text that spells a special token the call refused.
class RefusedSpecialToken : public std::invalid_argument {
public:
    explicit RefusedSpecialToken(const std::string& token);
};

// The splitter of a pattern (none: each text whole). A pattern that does not
// compile throws std::invalid_argument naming its position.
std::shared_ptr<const text::Splitter> splitterFor(const std::optional<std::string>& pattern);

// Records `merges` (signed byte ids, as the low-level trainer numbers bytes)
// into the untrained `fresh` after checking that they are a table learned
// from bytes could be: ids 256, 257, ... in order, no pair twice, and parts
// that are bytes or earlier merges. Throws std::invalid_argument naming the
// first merge that fails.
void recordCheckedMerges(const std::vector<MergeTriple>& merges,
                         bytepairtokenizer::BytePairTokenizer& fresh);

class CoreEngine {
public:
    CoreEngine();
    ~CoreEngine();
    CoreEngine(const CoreEngine&) = delete;
    CoreEngine& operator=(const CoreEngine&) = delete;

    // The lock: shared for encode/decode, exclusive for training and for
    // replacing the model. Callers take it (so that they can release the
    // interpreter lock first); the methods below assume it is held.
    WriterFirstMutex& lock() { return lock_; }

    // The thread currently training, so that a progress callback that calls
    // back into the tokenizer is refused instead of waiting for itself.
    bool trainingOnThisThread() const { return trainingThread_.load() == std::this_thread::get_id(); }

    // Merges the running training has learned so far (for progress reports).
    int trainingDone() const { return trainingDone_.load(); }
    void setTrainingDone(int done) { trainingDone_.store(done); }

    // The highest id in use plus one (special tokens included).
    int vocabSize() const { return static_cast<int>(vocabulary().size()); }
    std::vector<MergeTriple> merges() const;
    const bpe::ByteIds& byteIds() const { return vocabulary().byteIds(); }
    const bpe::Vocabulary& vocabulary() const { return encoder_->vocabulary(); }

    // The model as it is now (read lock), for a reader that keeps it between
    // calls: a model is never changed in place, so what it holds stays valid
    // and unchanged after the lock is gone.
    std::shared_ptr<const bpe::TextEncoder> model() const { return encoder_; }
    // Changes each time the model is replaced; readable without the lock,
    // to tell whether a kept model is still the current one.
    std::uint64_t modelVersion() const { return modelVersion_.load(std::memory_order_acquire); }

    // Replaces the whole model after checking it (bpe::Vocabulary's rules;
    // a pattern that does not compile throws text::PatternError). Leaves the
    // model as it was when anything fails. Exclusive lock.
    void setModel(const bpe::ByteIds& byteIds, std::vector<bpe::Merge> merges,
                  std::vector<bpe::SpecialToken> specials, std::optional<std::string> pattern);

    // The exact unsplit trainer on the bytes (PyBytePairTokenizer.fit's
    // merges, continued from these) until 256 + merges reach `regularSize`,
    // the progress written to `out`. Keeps what was learned when
    // `interrupted` stops it or the core throws. Continuing on new data, the
    // trainer can learn a merge whose bytes another token has, which a
    // vocabulary cannot hold: the merges before it are kept and the result
    // names it; empty when every merge learned is kept. Exclusive lock.
    std::string train(const unsigned char* data, std::size_t size, int regularSize,
                      std::ostream& out, const std::function<bool()>& interrupted);

    // Appends the merges `learned` (ids from the next free one, in order)
    // to the model, keeping pattern and special tokens. Exclusive lock.
    void appendMerges(const std::vector<bpe::Merge>& learned);

    // The ids of `size` bytes under `policy`, into `ids` (whose storage is
    // reused: one vector serves every item a thread encodes). Throws
    // RefusedSpecialToken for text spelling a refused special token.
    // With `maxIds`, only the first maxIds ids, at the cost of encoding
    // that prefix of the text.
    void encodeInto(const char* data, std::size_t size, const SpecialPolicy& policy,
                    std::vector<int>& ids, std::size_t maxIds = SIZE_MAX) const;

    // The number of ids encodeInto would give, under the same rules.
    std::size_t count(const char* data, std::size_t size, const SpecialPolicy& policy) const;

    // The byte offset where each of `ids` starts in their decoding.
    std::vector<std::size_t> tokenStarts(const std::vector<int>& ids) const;

    // Whether every id is in use; `firstBad` receives the index of the first
    // that is not.
    bool idsInRange(const int* ids, std::size_t n, std::size_t& firstBad) const;
    bool idInUse(long long id) const;

    // Bytes of ids already checked with idsInRange, written into `sink`.
    std::size_t decodeInto(const std::vector<int>& ids, bytepairtokenizer::ByteSink& sink) const;
    std::string decode(const std::vector<int>& ids) const;

    // Bytes of ids read from `source` (about `expectedIds` of them); throws
    // bpe::BadTokenId for an id not in use, false when the source gave up.
    bool decodeFrom(bytepairtokenizer::IdSource& source, std::size_t expectedIds,
                    bytepairtokenizer::ByteSink& sink, std::size_t& written) const;

    // The id of the token with exactly these bytes, if any.
    std::optional<int> tokenId(std::string_view bytes) const;

    // The first merge tiktoken's byte-rank merging would not rebuild, if any.
    std::optional<int> tiktokenConflict() const;

private:
    std::vector<bpe::Merge> trainUnsplit(const unsigned char* data, std::size_t size,
                                         int regularSize, std::ostream& out,
                                         const std::function<bool()>& interrupted) const;

    WriterFirstMutex lock_;
    std::atomic<std::thread::id> trainingThread_{};
    std::atomic<int> trainingDone_{0};
    std::optional<std::string> pattern_;
    // The model: vocabulary, splitter and special tokens. Replaced whole,
    // never changed in place.
    std::shared_ptr<const bpe::TextEncoder> encoder_;
    std::atomic<std::uint64_t> modelVersion_{0};
};

// A ByteSink over malloc'd storage, for decoding without the interpreter lock.
class MallocSink final : public bytepairtokenizer::ByteSink {
public:
    MallocSink() = default;
    MallocSink(const MallocSink&) = delete;
    MallocSink& operator=(const MallocSink&) = delete;
    ~MallocSink();
    char* reserve(std::size_t used, std::size_t capacity) override;
    const char* data() const { return data_; }

private:
    char* data_ = nullptr;
};

}  // namespace brevix
