#include "core_engine.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

#include "byte_training.h"

// Performance notes
// - The merge lookup and the expander's tables are built once per merge
//   table (after training or loading) instead of once per call, so a call
//   on a short text costs the text, not the vocabulary. Both are only read
//   afterwards, which is what lets several threads share them.
// - encode always takes the fast merge with the prebuilt lookup: the plain
//   passes the low-level encode prefers for short inputs exist only to skip
//   building that lookup.
// - Tried: encoding through the TableIndex the core keeps with the tables,
//   which would have made the lookup here redundant. The index probes a
//   hash for every pair where the lookup reads base pairs from a flat
//   table: 10 MB encode 32-35 MB/s against 38-39, short-line batches 17-20
//   against 31 (paired runs). The lookup stays.

namespace brevix {

namespace {

std::string describeMerge(std::size_t index, const MergeTriple& m) {
    return "merge " + std::to_string(index) + " (" + std::to_string(m[0]) + ", " +
           std::to_string(m[1]) + ", " + std::to_string(m[2]) + ")";
}

}  // namespace

void recordCheckedMerges(const std::vector<MergeTriple>& merges,
                         bytepairtokenizer::BytePairTokenizer& fresh) {
    if (merges.size() > static_cast<std::size_t>(INT32_MAX - kFirstMergeId)) {
        throw std::invalid_argument("too many merges for 32-bit token ids");
    }
    fresh.vocab.reserve(merges.size());
    fresh.revVocab.reserve(merges.size());
    for (std::size_t i = 0; i < merges.size(); ++i) {
        const MergeTriple& m = merges[i];
        const int id = kFirstMergeId + static_cast<int>(i);
        if (m[2] != id) {
            throw std::invalid_argument(describeMerge(i, m) + ": id should be " +
                                        std::to_string(id));
        }
        for (int part : {m[0], m[1]}) {
            if (part < kLowestId || part >= id) {
                throw std::invalid_argument(describeMerge(i, m) + ": part " +
                                            std::to_string(part) + " is not a byte or an earlier merge");
            }
        }
        // The core skips a pair it already knows, leaving the next id as it was.
        updateVocab(fresh.vocab, fresh.revVocab, DTYPE_BYTEPAIR{m[0], m[1]}, fresh.nextVocabIndex,
                    fresh.vocabSize);
        if (fresh.nextVocabIndex != id + 1) {
            throw std::invalid_argument(describeMerge(i, m) + ": the pair is merged twice");
        }
    }
}

namespace {

// Marks the calling thread as the one training for the length of a scope.
class TrainingThreadMark {
public:
    explicit TrainingThreadMark(std::atomic<std::thread::id>& slot) : slot_(slot) {
        slot_.store(std::this_thread::get_id());
    }
    ~TrainingThreadMark() { slot_.store(std::thread::id()); }
    TrainingThreadMark(const TrainingThreadMark&) = delete;
    TrainingThreadMark& operator=(const TrainingThreadMark&) = delete;

private:
    std::atomic<std::thread::id>& slot_;
};

}  // namespace

void WriterFirstMutex::lock() {
    std::unique_lock<std::mutex> guard(mutex_);
    ++writersWaiting_;
    changed_.wait(guard, [this] { return !writing_ && readers_ == 0; });
    --writersWaiting_;
    writing_ = true;
}

bool WriterFirstMutex::try_lock() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (writing_ || readers_ != 0) return false;
    writing_ = true;
    return true;
}

bool WriterFirstMutex::try_lock_for(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(mutex_);
    ++writersWaiting_;
    const bool free = changed_.wait_for(guard, timeout, [this] { return !writing_ && readers_ == 0; });
    --writersWaiting_;
    if (free) {
        writing_ = true;
        return true;
    }
    // Readers held back by this writer may go on while it is away.
    if (writersWaiting_ == 0) changed_.notify_all();
    return false;
}

void WriterFirstMutex::unlock() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        writing_ = false;
    }
    changed_.notify_all();
}

void WriterFirstMutex::lock_shared() {
    std::unique_lock<std::mutex> guard(mutex_);
    changed_.wait(guard, [this] { return !writing_ && writersWaiting_ == 0; });
    ++readers_;
}

bool WriterFirstMutex::try_lock_shared() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (writing_ || writersWaiting_ != 0) return false;
    ++readers_;
    return true;
}

bool WriterFirstMutex::try_lock_shared_for(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(mutex_);
    if (!changed_.wait_for(guard, timeout, [this] { return !writing_ && writersWaiting_ == 0; })) {
        return false;
    }
    ++readers_;
    return true;
}

void WriterFirstMutex::unlock_shared() {
    bool last = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        last = --readers_ == 0;
    }
    if (last) changed_.notify_all();
}

CoreEngine::CoreEngine() { afterTablesChanged(); }

CoreEngine::~CoreEngine() = default;

std::vector<MergeTriple> CoreEngine::merges() const {
    std::vector<MergeTriple> out;
    const int count = tok_.nextVocabIndex - kFirstMergeId;
    out.reserve(static_cast<std::size_t>(std::max(count, 0)));
    for (int id = kFirstMergeId; id < tok_.nextVocabIndex; ++id) {
        const DTYPE_BYTEPAIR& pair = tok_.revVocab.at(id);
        out.push_back(MergeTriple{pair[0], pair[1], id});
    }
    return out;
}

void CoreEngine::setMerges(const std::vector<MergeTriple>& merges) {
    bytepairtokenizer::BytePairTokenizer fresh;
    recordCheckedMerges(merges, fresh);
    fresh.rebuildTableIndex();
    tok_.swapTables(fresh);  // the index goes along with its tables
    try {
        afterTablesChanged();
    } catch (...) {
        tok_.swapTables(fresh);  // back to the old table, whose expander was dropped
        try {
            afterTablesChanged();
        } catch (...) {
        }
        throw;
    }
}

void CoreEngine::train(const unsigned char* data, std::size_t size, int vocabSize,
                       std::ostream& out, const std::function<bool()>& interrupted) {
    TrainingThreadMark mark(trainingThread_);
    try {
        bytepairtokenizer::fitOnBytes(tok_, data, size, vocabSize, INT32_MAX, out, interrupted);
    } catch (...) {
        try {
            afterTablesChanged();
        } catch (...) {
            // The first failure is the one to report; expander() guards.
        }
        throw;
    }
    afterTablesChanged();
}

void CoreEngine::afterTablesChanged() {
    // Appends what training added (a no-op when training kept it current);
    // never throws, and an index that could not grow is simply not current.
    tok_.refreshTableIndex();
    // Dropped first: when building runs out of memory, no table describing
    // an older merge table survives (lookup() and expander() then refuse).
    lookup_.reset();
    expander_.reset();
    auto lookup = std::make_unique<bytepairtokenizer::MergeLookup>(tok_.vocab);
    expander_ = std::make_unique<bytepairtokenizer::TokenExpander>(tok_.revVocab);
    lookup_ = std::move(lookup);
}

namespace {

[[noreturn]] void refuseWithoutTables() {
    throw std::runtime_error(
        "the tokenizer's lookup tables could not be built (out of memory); "
        "train or load it again");
}

}  // namespace

const bytepairtokenizer::MergeLookup& CoreEngine::lookup() const {
    if (!lookup_) refuseWithoutTables();
    return *lookup_;
}

// Only its writing calls are not const; they read the resolved tables alone.
bytepairtokenizer::TokenExpander& CoreEngine::expander() const {
    if (!expander_) refuseWithoutTables();
    return *expander_;
}

std::vector<int> CoreEngine::encode(const char* data, std::size_t size) const {
    std::vector<int> ids;
    encodeInto(data, size, ids);
    return ids;
}

void CoreEngine::encodeInto(const char* data, std::size_t size, std::vector<int>& ids) const {
    if (size > static_cast<std::size_t>(INT32_MAX)) {
        throw std::overflow_error("text too long: a tokenizer takes at most 2147483647 bytes");
    }
    const bytepairtokenizer::MergeLookup& merges = lookup();
    ids.resize(size);
    for (std::size_t i = 0; i < size; ++i) ids[i] = static_cast<signed char>(data[i]);
    if (!tok_.vocab.empty()) bytepairtokenizer::mergeCorpusFast(ids, merges);
}

bool CoreEngine::idsInRange(const int* ids, std::size_t n, std::size_t& firstBad) const {
    const int end = tok_.vocabSize;
    for (std::size_t i = 0; i < n; ++i) {
        if (ids[i] < kLowestId || ids[i] >= end) {
            firstBad = i;
            return false;
        }
    }
    return true;
}

std::size_t CoreEngine::decodeInto(const std::vector<int>& ids,
                                   bytepairtokenizer::ByteSink& sink) const {
    return expander().writeAll(sink, ids);
}

std::string CoreEngine::decode(const std::vector<int>& ids) const {
    std::string out;
    expander().appendAll(out, ids);
    return out;
}

bool CoreEngine::decodeFrom(bytepairtokenizer::IdSource& source, std::size_t expected,
                            bytepairtokenizer::ByteSink& sink, std::size_t& written) const {
    return expander()
        .writeFrom(sink, source, expected, written);
}

unsigned threadsFor(std::size_t items, unsigned requested) {
    unsigned n = requested == 0 ? std::max(1u, std::thread::hardware_concurrency()) : requested;
    if (items < n) n = static_cast<unsigned>(std::max<std::size_t>(items, 1));
    return n;
}

void runParallel(std::size_t items, unsigned threads,
                 const std::function<void(std::size_t)>& job) {
    std::atomic<std::size_t> nextItem{0};
    std::atomic<bool> failed{false};
    std::exception_ptr firstError;
    std::mutex errorLock;
    auto worker = [&]() {
        for (;;) {
            const std::size_t i = nextItem.fetch_add(1);
            if (i >= items || failed.load()) return;
            try {
                job(i);
            } catch (...) {
                std::lock_guard<std::mutex> guard(errorLock);
                if (!firstError) firstError = std::current_exception();
                failed.store(true);
                return;
            }
        }
    };
    std::vector<std::thread> pool;
    try {
        for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker);
    } catch (...) {
        // Could not start a thread: the ones started and this one do the work.
    }
    worker();
    for (std::thread& t : pool) t.join();
    if (firstError) std::rethrow_exception(firstError);
}

MallocSink::~MallocSink() { std::free(data_); }

char* MallocSink::reserve(std::size_t, std::size_t capacity) {
    void* grown = std::realloc(data_, std::max<std::size_t>(capacity, 1));
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(grown);
    return data_;
}

}  // namespace brevix
