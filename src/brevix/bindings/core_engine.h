// The state behind one brevix.Tokenizer: a core tokenizer, the lookup tables
// derived from its merge table, and the reader/writer lock that lets several
// native threads encode and decode at once while training is serialised
// against them. Plain C++: nothing here knows about Python.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "expander.h"
#include "merger.h"
#include "tokenizer.h"

namespace brevix {

// A reader/writer lock that lets a waiting writer in: once a writer waits, new
// readers wait behind it. (glibc's rwlock behind std::shared_mutex prefers
// readers, so a steady stream of encode calls could keep training out for
// ever.) Meets the SharedMutex requirements used by std::shared_lock and
// std::unique_lock.
class WriterFirstMutex {
public:
    void lock();
    bool try_lock();
    bool try_lock_for(std::chrono::milliseconds timeout);
    void unlock();
    void lock_shared();
    bool try_lock_shared();
    bool try_lock_shared_for(std::chrono::milliseconds timeout);
    void unlock_shared();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int readers_ = 0;
    int writersWaiting_ = 0;
    bool writing_ = false;
};

// One merge as (left, right, id).
using MergeTriple = std::array<int, 3>;

// Lowest id a tokenizer decodes; the highest is vocabSize - 1.
inline constexpr int kLowestId = -128;
inline constexpr int kFirstMergeId = 256;

// Records `merges` into the untrained `fresh` after checking that they are a
// table learned from bytes could be: ids 256, 257, ... in order, no pair
// twice, and parts that are bytes or earlier merges (so every id expands to
// a finite byte string). Throws std::invalid_argument naming the first merge
// that fails. (The low-level class takes any parts: merge_table.h records
// its tables.)
void recordCheckedMerges(const std::vector<MergeTriple>& merges,
                         bytepairtokenizer::BytePairTokenizer& fresh);

class CoreEngine {
public:
    CoreEngine();
    ~CoreEngine();
    CoreEngine(const CoreEngine&) = delete;
    CoreEngine& operator=(const CoreEngine&) = delete;

    // The lock: shared for encode/decode, exclusive for training and for
    // replacing the merge table. Callers take it (so that they can release
    // the interpreter lock first); the methods below assume it is held.
    WriterFirstMutex& lock() { return lock_; }

    // The thread currently training, so that a progress callback that calls
    // back into the tokenizer is refused instead of waiting for itself.
    bool trainingOnThisThread() const { return trainingThread_.load() == std::this_thread::get_id(); }

    int vocabSize() const { return tok_.vocabSize; }
    std::vector<MergeTriple> merges() const;

    // Replaces the merge table by `merges` (ids 256, 257, ... in order, no
    // pair twice, each part an id below the merge's own). Throws
    // std::invalid_argument naming the first bad merge, leaving the table as
    // it was. Exclusive lock.
    void setMerges(const std::vector<MergeTriple>& merges);

    // fit() on the bytes, read as signed ids, with max_vocab_size = vocabSize
    // and no iteration limit, the progress written to `out`. Keeps what was
    // learned when `interrupted` stops it or the core throws. Exclusive lock.
    void train(const unsigned char* data, std::size_t size, int vocabSize, std::ostream& out,
               const std::function<bool()>& interrupted);

    // The ids of `size` bytes: base tokens, then the whole merge table.
    std::vector<int> encode(const char* data, std::size_t size) const;

    // The same into `ids`, whose storage is reused: for batches, where one
    // vector serves every item a thread encodes.
    void encodeInto(const char* data, std::size_t size, std::vector<int>& ids) const;

    // Whether every id lies in kLowestId..vocabSize-1; `firstBad` receives
    // the index of the first that does not.
    bool idsInRange(const int* ids, std::size_t n, std::size_t& firstBad) const;

    // Bytes of ids already checked with idsInRange, written into `sink`.
    std::size_t decodeInto(const std::vector<int>& ids, bytepairtokenizer::ByteSink& sink) const;
    std::string decode(const std::vector<int>& ids) const;

    // Bytes of ids read from `source` (which checks them); false when the
    // source gave up. Not available for every table (see canStream()).
    bool canStream() const { return expander_ && expander_->bounded(); }
    bool decodeFrom(bytepairtokenizer::IdSource& source, std::size_t expected,
                    bytepairtokenizer::ByteSink& sink, std::size_t& written) const;

private:
    void afterTablesChanged();
    const bytepairtokenizer::MergeLookup& lookup() const;
    bytepairtokenizer::TokenExpander& expander() const;

    WriterFirstMutex lock_;
    std::atomic<std::thread::id> trainingThread_{};
    // The merge table with the index the core keeps current beside it (as
    // for the low-level class: swapped with its tables, refreshed after
    // training), so that core code handed tok_ never meets a stale index.
    bytepairtokenizer::BytePairTokenizer tok_;
    // The bulk structures the core builds per call for long inputs, built
    // here once per table because a Tokenizer applies one table many times:
    // the lookup with its flat base-pair table (encoding through the index
    // instead was 10-35% slower on 10 MB and batches) and the expander's
    // resolved expansions. Rebuilt with the table.
    std::unique_ptr<bytepairtokenizer::MergeLookup> lookup_;
    std::unique_ptr<bytepairtokenizer::TokenExpander> expander_;
};

// The number of threads to use for `items` jobs when asked for `requested`
// (0: the CPUs available to this process).
unsigned threadsFor(std::size_t items, unsigned requested);

// Runs job(i) for every i below `items` on `threads` native threads (the
// calling thread among them), each thread taking the next undone index. The
// first exception thrown by a job is rethrown once all threads have stopped;
// the jobs not yet started then do not run.
void runParallel(std::size_t items, unsigned threads, const std::function<void(std::size_t)>& job);

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
