// Encoding and decoding methods of brevix._core.CoreTokenizer: texts and ids
// read from Python objects with the interpreter lock, the core work under the
// engine's shared lock (without the interpreter lock for large inputs and
// for batches), results built back with the interpreter lock.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core_calls.h"
#include "engine/in_order_results.h"
#include "engine/parallel.h"
#include "convert.h"
#include "core_ids.h"
#include "encode/token_arena.h"
#include "encode/token_decoder.h"
#include "pyref.h"

namespace brevix {

namespace {

// ---- results ------------------------------------------------------------------

// Performance notes: building the result list was about half the time of a
// quiet encode of real text (an int object allocated per merged id, about
// 80 ns each). Ids now come from the toolkit's shared ints, grown to cover
// the vocabulary (convert.h), so an item costs one reference increment.

// The threads a batch call asks for: any Python int, below 1 taken as 1 and
// held to kMaxThreads (the Python layer already keeps it there).
constexpr long kMaxThreads = 1024;
bool requestedThreads(PyObject* arg, unsigned& threads) {
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(arg, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    const long held = overflow > 0 ? kMaxThreads : overflow < 0 ? 1L : std::clamp(value, 1L, kMaxThreads);
    threads = static_cast<unsigned>(held);
    return true;
}

// Failing to grow is not an error: the list builder allocates instead.
void growSharedInts(int vocabSize) {
    if (!growSharedIdCache(vocabSize)) PyErr_Clear();
}

// The ids as native int32 in a bytearray, which NumPy wraps without a copy.
PyObject* idsToByteArray(const int* ids, std::size_t count) {
    return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(ids),
                                         static_cast<Py_ssize_t>(count * sizeof(int)));
}

PyObject* idsToPy(const std::vector<int>& ids, bool asArray) {
    return asArray ? idsToByteArray(ids.data(), ids.size()) : newIdList(ids.data(), ids.size());
}


}  // namespace

// ---- encode -----------------------------------------------------------------------

// The special-token policy of an encode call: two masks (bytes with one
// flag per special token, in id order) or None for none. False with
// ValueError set for a mask of the wrong length.
bool policyFromPy(const CoreEngine& engine, PyObject* allowed, PyObject* refused,
                  SpecialPolicy& policy) {
    const std::size_t count = engine.vocabulary().specials().size();
    auto read = [&](PyObject* mask, std::vector<std::size_t>& out) {
        if (mask == Py_None) return true;
        if (!PyBytes_Check(mask) || static_cast<std::size_t>(PyBytes_GET_SIZE(mask)) != count) {
            PyErr_SetString(PyExc_ValueError, "special-token mask does not match the vocabulary");
            return false;
        }
        const char* flags = PyBytes_AS_STRING(mask);
        return callCore([&] {
            for (std::size_t i = 0; i < count; ++i) {
                if (flags[i] != 0) out.push_back(i);
            }
        });
    };
    return read(allowed, policy.allowed) && read(refused, policy.refused);
}

// max_tokens: None for all ids, else an int >= 0. False with an exception set.
bool maxIdsFromPy(PyObject* obj, std::size_t& maxIds) {
    maxIds = SIZE_MAX;
    if (obj == Py_None) return true;
    const Py_ssize_t n = PyLong_AsSsize_t(obj);
    if (n == -1 && PyErr_Occurred()) return false;
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "max_tokens must be None or at least 0");
        return false;
    }
    maxIds = static_cast<std::size_t>(n);
    return true;
}

// encode(text, allowed, refused, as_array, max_tokens): text is str or a
// contiguous buffer.
namespace {

// Room for the ids of a text of `bytes` bytes, asked for once: real text
// gives fewer ids than half its bytes, so the vector does not grow, copy
// itself and fault in fresh pages while the text is encoded. Room never
// touched costs no memory. A hint: when even that cannot be had, the
// vector grows as it goes.
void reserveIdsFor(std::vector<int>& ids, std::size_t bytes, std::size_t maxIds) {
    try {
        ids.reserve(std::min(bytes / 2 + 16, maxIds));
    } catch (const std::exception&) {
    }
}

}  // namespace

PyObject* coreEncode(PyObject* self, const BoundArgs& args) {
    if (!refuseReentry(self)) return nullptr;
    const int asArray = PyObject_IsTrue(args[3]);
    if (asArray < 0) return nullptr;
    std::size_t maxIds = SIZE_MAX;
    if (!maxIdsFromPy(args[4], maxIds)) return nullptr;
    TextView text;
    if (!text.open(args[0])) return nullptr;
    std::vector<int> ids;
    reserveIdsFor(ids, text.size(), maxIds);
    int vocabSize = 0;
    {
        ReadLock lock;
        if (!takeEngineLock(engineOf(self).lock(), lock)) return nullptr;
        const CoreEngine& engine = engineOf(self);
        SpecialPolicy policy;
        if (!policyFromPy(engine, args[1], args[2], policy)) return nullptr;
        vocabSize = engine.vocabSize();
        if (!runCore(text.size() > kReleaseAbove,
                     [&] { engine.encodeInto(text.data(), text.size(), policy, ids, maxIds); })) {
            return nullptr;
        }
    }
    if (!asArray) growSharedInts(vocabSize);
    return idsToPy(ids, asArray != 0);
}

// count(text, allowed, refused) -> the number of ids encode would give.
PyObject* coreCount(PyObject* self, const BoundArgs& args) {
    if (!refuseReentry(self)) return nullptr;
    TextView text;
    if (!text.open(args[0])) return nullptr;
    std::size_t total = 0;
    ReadLock lock;
    if (!takeEngineLock(engineOf(self).lock(), lock)) return nullptr;
    const CoreEngine& engine = engineOf(self);
    SpecialPolicy policy;
    if (!policyFromPy(engine, args[1], args[2], policy)) return nullptr;
    if (!runCore(text.size() > kReleaseAbove,
                 [&] { total = engine.count(text.data(), text.size(), policy); })) {
        return nullptr;
    }
    return PyLong_FromSize_t(total);
}

namespace {

// The index of the character each byte offset falls in, for a text given as
// str (its UTF-8 in `utf8`): the number of characters that start at or
// before the offset, minus one. Offsets come in increasing order.
void byteToCharOffsets(const char* utf8, std::vector<std::size_t>& offsets) {
    std::size_t chars = 0, at = 0;
    for (std::size_t& offset : offsets) {
        for (; at <= offset; ++at) {
            if ((static_cast<unsigned char>(utf8[at]) & 0xC0) != 0x80) ++chars;
        }
        offset = chars - 1;
    }
}

PyObject* sizesToList(const std::vector<std::size_t>& values) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyLong_FromSize_t(values[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace

// encode_offsets(text, allowed, refused) -> (ids, starts): the start of each
// token in the text, in characters for a str and in bytes otherwise.
PyObject* coreEncodeOffsets(PyObject* self, const BoundArgs& args) {
    if (!refuseReentry(self)) return nullptr;
    TextView text;
    if (!text.open(args[0])) return nullptr;
    const bool isStr = PyUnicode_Check(args[0]);
    std::vector<int> ids;
    std::vector<std::size_t> starts;
    int vocabSize = 0;
    {
        ReadLock lock;
        if (!takeEngineLock(engineOf(self).lock(), lock)) return nullptr;
        const CoreEngine& engine = engineOf(self);
        SpecialPolicy policy;
        if (!policyFromPy(engine, args[1], args[2], policy)) return nullptr;
        vocabSize = engine.vocabSize();
        if (!runCore(text.size() > kReleaseAbove, [&] {
                engine.encodeInto(text.data(), text.size(), policy, ids);
                starts = engine.tokenStarts(ids);
                if (isStr) byteToCharOffsets(text.data(), starts);
            })) {
            return nullptr;
        }
    }
    growSharedInts(vocabSize);
    PyRef idList(newIdList(ids.data(), ids.size()));
    if (!idList) return nullptr;
    PyRef startList(sizesToList(starts));
    if (!startList) return nullptr;
    return PyTuple_Pack(2, idList.get(), startList.get());
}

// ---- encode_batch -----------------------------------------------------------------

// Performance notes: the batch path first paid per item for what a batch can
// pay once: a heap-allocated text view and a result vector per item, a
// shared counter taken per item (two threads on 29-byte lines fought over
// its cache line: slower than one), and the cyclic garbage collector
// traversing the fresh result lists about every 700 of them (a fifth of the
// time on short lines). Now short texts are copied with the interpreter
// lock into one buffer, threads take runs of items of about kBatchChunkBytes and
// write their ids into one vector per run, and the result lists are built
// with the collector paused (fresh lists of ints cannot form a cycle).

namespace {

// Bytes of text per unit of work handed to a thread: small enough to
// balance two threads on a short batch, large enough that taking a unit
// costs nothing next to encoding it.
constexpr std::size_t kBatchChunkBytes = 1 << 15;

// Texts shorter than this are copied into one buffer; longer ones are read
// in place (copying them cost page faults for no gain: about 8% on 10 KB
// documents).
constexpr std::size_t kCopyBelow = 1024;

// Every text of a batch: short ones copied end to end, long ones held open.
// Item i is data(i) .. data(i) + size(i), valid once every item was added.
class BatchTexts {
public:
    // False with the exception set (TypeError, BufferError, MemoryError).
    bool reserve(std::size_t n) {
        return callCore([&] {
            items_.reserve(n);
            ends_.reserve(n);
        });
    }

    // Adds the bytes of `obj` (str as UTF-8, or a contiguous buffer); false
    // with the exception set.
    bool append(PyObject* obj) {
        if (PyBytes_CheckExact(obj) && static_cast<std::size_t>(PyBytes_GET_SIZE(obj)) < kCopyBelow) {
            return copy(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
        }
        TextView text;
        if (!text.open(obj)) return false;
        if (text.size() < kCopyBelow) return copy(text.data(), text.size());
        // Opened again to be held: once per long text, which costs nothing
        // next to encoding it (a str's UTF-8 is cached in the str).
        std::unique_ptr<TextView> held;
        if (!callCore([&] { held = std::make_unique<TextView>(); }) || !held->open(obj)) {
            return false;
        }
        return callCore([&] {
            add(Item{held->data(), 0, held->size()});
            held_.push_back(std::move(held));
        });
    }

    std::size_t count() const { return items_.size(); }
    std::size_t totalBytes() const { return total_; }
    // Bytes of the items before `i`: where item i starts in the batch.
    std::size_t bytesBefore(std::size_t i) const { return i == 0 ? 0 : ends_[i - 1]; }
    const char* data(std::size_t i) const {
        const Item& item = items_[i];
        return item.data != nullptr ? item.data : copied_.data() + item.offset;
    }
    std::size_t size(std::size_t i) const { return items_[i].size; }

private:
    struct Item {
        const char* data;    // a held text, or null: copied_ from offset
        std::size_t offset;
        std::size_t size;
    };

    bool copy(const char* data, std::size_t size) {
        return callCore([&] {
            const std::size_t offset = copied_.size();
            copied_.append(data, size);
            add(Item{nullptr, offset, size});
        });
    }

    void add(const Item& item) {
        items_.push_back(item);
        total_ += item.size;
        ends_.push_back(total_);
    }

    std::string copied_;
    std::vector<std::unique_ptr<TextView>> held_;
    std::vector<Item> items_;
    std::vector<std::size_t> ends_;
    std::size_t total_ = 0;
};

// A run of consecutive items and the ids a thread encoded for them: item
// first + k is ids[ends[k - 1] .. ends[k]) (from 0 for k = 0).
struct BatchChunk {
    std::size_t first = 0;
    std::size_t last = 0;  // one past
    std::vector<int> ids;
    std::vector<std::size_t> ends;
};

std::vector<BatchChunk> chunksOf(const BatchTexts& texts) {
    std::vector<BatchChunk> chunks;
    std::size_t first = 0;
    while (first < texts.count()) {
        std::size_t last = first;
        const std::size_t limit = texts.bytesBefore(first) + kBatchChunkBytes;
        do {
            ++last;
        } while (last < texts.count() && texts.bytesBefore(last + 1) <= limit);
        chunks.push_back(BatchChunk{first, last, {}, {}});
        first = last;
    }
    return chunks;
}

void encodeChunk(const CoreEngine& engine, const BatchTexts& texts, const SpecialPolicy& policy,
                 BatchChunk& chunk) {
    std::vector<int> scratch;
    chunk.ends.reserve(chunk.last - chunk.first);
    // Real text comes out at about one id in two bytes or fewer.
    chunk.ids.reserve((texts.bytesBefore(chunk.last) - texts.bytesBefore(chunk.first)) / 2);
    for (std::size_t i = chunk.first; i < chunk.last; ++i) {
        engine.encodeInto(texts.data(i), texts.size(i), policy, scratch);
        chunk.ids.insert(chunk.ids.end(), scratch.begin(), scratch.end());
        chunk.ends.push_back(chunk.ids.size());
    }
}

// The cyclic collector paused for a scope, as it was before restored.
class CollectorPaused {
public:
    CollectorPaused() : wasEnabled_(PyGC_Disable()) {}
    ~CollectorPaused() {
        if (wasEnabled_) PyGC_Enable();
    }
    CollectorPaused(const CollectorPaused&) = delete;
    CollectorPaused& operator=(const CollectorPaused&) = delete;

private:
    int wasEnabled_;
};

// Puts the result object of every item of `chunk` into `out` and frees the
// chunk's ids; false with the exception set.
bool chunkResults(BatchChunk& chunk, PyObject* out, bool asArray) {
    CollectorPaused paused;
    std::size_t begin = 0;
    for (std::size_t k = 0; k < chunk.ends.size(); ++k) {
        const int* ids = chunk.ids.data() + begin;
        const std::size_t count = chunk.ends[k] - begin;
        PyObject* item = asArray ? idsToByteArray(ids, count) : newIdList(ids, count);
        if (item == nullptr) return false;
        PyList_SET_ITEM(out, static_cast<Py_ssize_t>(chunk.first + k), item);
        begin = chunk.ends[k];
    }
    std::vector<int>().swap(chunk.ids);
    return true;
}

PyObject* batchResults(std::vector<BatchChunk>& chunks, std::size_t n,
                       bool asArray) {
    PyRef out(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!out) return nullptr;
    for (BatchChunk& chunk : chunks) {
        if (!chunkResults(chunk, out.get(), asArray)) return nullptr;
    }
    return out.release();
}

// Encodes the chunks on `workers` threads, this one among them: it builds
// the result objects of each chunk, with the interpreter lock, as soon as
// it and those before it are encoded, and encodes chunks while it waits.
// Performance notes: built after the encoding, the lists were a serial tail
// (a seventh of the time of one thread on 256 documents of 40 KB), which
// kept two threads at 1.66x the speed of one; overlapped, they cost a share
// of the two cores instead. With `workers` native threads besides this one,
// three threads shared two cores: 1.72-1.75x once encoding had become
// faster, against 1.8x and more with this thread taking the third's work.
PyObject* pipelinedResults(const std::function<void(std::size_t)>& encode, std::vector<BatchChunk>& chunks,
                           std::size_t n, unsigned workers, bool asArray) {
    PyRef out(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!out) return nullptr;
    std::unique_ptr<InOrderResults> results;
    if (!callCore([&] { results = std::make_unique<InOrderResults>(chunks.size(), workers - 1, encode); })) {
        return nullptr;
    }
    bool built = true;
    for (std::size_t c = 0; c < chunks.size(); ++c) {
        bool done = results->ready(c);
        if (!done) {
            GilReleased released;
            done = results->waitFor(c);
        }
        if (!done) break;  // a job failed: finish() says how
        if (!chunkResults(chunks[c], out.get(), asArray)) {
            built = false;
            results->cancel();
            break;
        }
    }
    if (!runCore(true, [&] { results->finish(); })) {
        if (!built) PyErr_Clear();  // the job's failure is the one reported
        return nullptr;
    }
    return built ? out.release() : nullptr;
}

// The ids of every chunk one after the other as native int32 in a
// bytearray, and the int64 offsets of the n + 1 item boundaries in another:
// one flat array for a whole batch, without a Python object per item.
PyObject* raggedResults(std::vector<BatchChunk>& chunks, std::size_t n) {
    std::size_t total = 0;
    for (const BatchChunk& chunk : chunks) total += chunk.ids.size();
    PyRef flat(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total * sizeof(int))));
    PyRef offsets(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>((n + 1) * sizeof(std::int64_t))));
    if (!flat || !offsets) return nullptr;
    char* out = PyByteArray_AS_STRING(flat.get());
    auto* bounds = reinterpret_cast<std::int64_t*>(PyByteArray_AS_STRING(offsets.get()));
    std::size_t at = 0;
    bounds[0] = 0;
    for (BatchChunk& chunk : chunks) {
        if (!chunk.ids.empty()) std::memcpy(out + at * sizeof(int), chunk.ids.data(), chunk.ids.size() * sizeof(int));
        for (std::size_t k = 0; k < chunk.ends.size(); ++k) {
            bounds[chunk.first + k + 1] = static_cast<std::int64_t>(at + chunk.ends[k]);
        }
        at += chunk.ids.size();
        std::vector<int>().swap(chunk.ids);
    }
    return PyTuple_Pack(2, flat.get(), offsets.get());
}

// The texts of a batch, read with the interpreter lock; false with the
// exception set (naming the item).
bool readBatch(PyObject* obj, BatchTexts& texts) {
    PyRef items(PySequence_Fast(obj, "texts must be an iterable of str or bytes-like objects"));
    if (!items) return false;
    const std::size_t n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get()));
    if (!texts.reserve(n)) return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (!texts.append(PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)))) {
            prefixPendingError("texts", i);
            return false;
        }
    }
    return true;
}

}  // namespace

// encode_batch(texts, threads, out_kind, allowed, refused): out_kind 0 for
// lists, 1 for an int32 bytearray per text, 2 for one ragged pair.
PyObject* coreEncodeBatch(PyObject* self, const BoundArgs& args) {
    if (!refuseReentry(self)) return nullptr;
    unsigned threads = 1;
    if (!requestedThreads(args[1], threads)) return nullptr;
    const long outKind = PyLong_AsLong(args[2]);
    if (outKind == -1 && PyErr_Occurred()) return nullptr;
    BatchTexts texts;
    if (!readBatch(args[0], texts)) return nullptr;
    const std::size_t n = texts.count();
    std::vector<BatchChunk> chunks;
    if (!callCore([&] { chunks = chunksOf(texts); })) return nullptr;
    int vocabSize = 0;
    {
        ReadLock lock;
        if (!takeEngineLock(engineOf(self).lock(), lock)) return nullptr;
        const CoreEngine& engine = engineOf(self);
        SpecialPolicy policy;
        if (!policyFromPy(engine, args[3], args[4], policy)) return nullptr;
        vocabSize = engine.vocabSize();
        const unsigned workers = threadsFor(chunks.size(), threads);
        const auto encode = [&](std::size_t c) { encodeChunk(engine, texts, policy, chunks[c]); };
        if (workers > 1 && outKind != 2) {
            if (outKind == 0) growSharedInts(vocabSize);
            return pipelinedResults(encode, chunks, n, workers, outKind == 1);
        }
        const bool ok = runCore(texts.totalBytes() > kReleaseAbove || workers > 1,
                                [&] { runParallel(chunks.size(), workers, encode); });
        if (!ok) return nullptr;
    }
    if (outKind == 2) return raggedResults(chunks, n);
    if (outKind == 0) growSharedInts(vocabSize);
    return batchResults(chunks, n, outKind == 1);
}

// count_batch(texts, threads, allowed, refused) -> [count(t) for t in texts]
PyObject* coreCountBatch(PyObject* self, const BoundArgs& args) {
    if (!refuseReentry(self)) return nullptr;
    unsigned threads = 1;
    if (!requestedThreads(args[1], threads)) return nullptr;
    BatchTexts texts;
    if (!readBatch(args[0], texts)) return nullptr;
    std::vector<std::size_t> counts;
    if (!callCore([&] { counts.assign(texts.count(), 0); })) return nullptr;
    {
        ReadLock lock;
        if (!takeEngineLock(engineOf(self).lock(), lock)) return nullptr;
        const CoreEngine& engine = engineOf(self);
        SpecialPolicy policy;
        if (!policyFromPy(engine, args[2], args[3], policy)) return nullptr;
        const unsigned workers = threadsFor(texts.count(), threads);
        const bool ok = runCore(texts.totalBytes() > kReleaseAbove || workers > 1, [&] {
            runParallel(texts.count(), workers, [&](std::size_t i) {
                counts[i] = engine.count(texts.data(i), texts.size(i), policy);
            });
        });
        if (!ok) return nullptr;
    }
    return sizesToList(counts);
}

// ---- decode -----------------------------------------------------------------------

namespace {

void setBadId(long long value, std::size_t index, int vocabSize) {
    PyErr_Format(PyExc_ValueError, "unknown token id %lld at position %zu (the vocabulary has %d ids)",
                 value, index, vocabSize);
}

bool refuseText(PyObject* obj) {
    if (!(PyBytes_Check(obj) || PyByteArray_Check(obj) || PyUnicode_Check(obj))) return true;
    PyErr_Format(PyExc_TypeError, "token ids must be a sequence of integers, not %.200s",
                 Py_TYPE(obj)->tp_name);
    return false;
}

// Ids of an iterable, read with the interpreter lock and before the engine
// lock (reading may run Python code). The range check comes later, under the
// engine lock; `overflowAt` marks where a value beyond 32 bits stopped it.
struct IterableIds {
    std::vector<int> ids;
    Py_ssize_t overflowAt = -1;
    PyRef overflowValue;

    bool read(PyObject* obj) { return idsFromIterable(obj, ids, overflowAt, overflowValue); }

    // With the engine lock held: false with ValueError naming the first id
    // outside the vocabulary.
    bool check(const CoreEngine& engine) const {
        std::size_t bad = 0;
        if (!engine.idsInRange(ids.data(), ids.size(), bad)) {
            setBadId(ids[bad], bad, engine.vocabSize());
            return false;
        }
        if (overflowAt < 0) return true;
        PyErr_Format(PyExc_ValueError, "unknown token id %R at position %zd (the vocabulary has %d ids)",
                     overflowValue.get(), overflowAt, engine.vocabSize());
        return false;
    }
};

PyObject* bytesFromSink(const MallocSink& sink, std::size_t length) {
    return PyBytes_FromStringAndSize(length ? sink.data() : "", static_cast<Py_ssize_t>(length));
}

// Ids read from an array a block at a time.
constexpr std::size_t kArrayBlock = 4096;

// decodeWhileRoom for ids from position `read` of the whole input:
// BadTokenId names the position in the whole input.
bpe::DecodedPart writePart(const bpe::Vocabulary& vocab, const int* ids, std::size_t n, std::size_t read,
                           char* out, std::size_t room) {
    try {
        return bpe::decodeWhileRoom(vocab, ids, n, out, room);
    } catch (const bpe::BadTokenId& bad) {
        throw bpe::BadTokenId(read + bad.index(), bad.id(), vocab.size());
    }
}

// The length of the bytes of `id`, which did not fit, read again from an
// array another thread may be writing: at least 1 whatever it now holds (a
// bad id is reported when it is read for writing).
std::size_t lengthOfUnfitted(const bpe::Vocabulary& vocab, int id) {
    if (id < 0 || static_cast<std::size_t>(id) >= vocab.size()) return 1;
    return std::max<std::size_t>(vocab.arena().length(id), 1);
}

// Writes the bytes of `source`'s ids, from where it stands, to
// out[used..room) and adds them to `used`. Returns 0 when every id is
// written (or the source failed), else the length of the id that does not
// fit, with the source standing at it.
std::size_t writeWhileRoom(const bpe::Vocabulary& vocab, BufferIds& source, char* out, std::size_t room,
                           std::size_t& used) {
    if (const std::int32_t* ids = source.contiguousInt32()) {
        const std::size_t from = source.position();
        const std::size_t count = source.expected() - from;
        const bpe::DecodedPart part = writePart(vocab, ids + from, count, from, out + used, room - used);
        used += part.bytes;
        source.seek(from + part.ids);
        return part.ids == count ? 0 : lengthOfUnfitted(vocab, ids[from + part.ids]);
    }
    int block[kArrayBlock];
    for (;;) {
        const std::size_t from = source.position();
        const std::size_t n = source.next(block, kArrayBlock);
        if (n == bytepairtokenizer::IdSource::kGaveUp || n == 0) return 0;
        const bpe::DecodedPart part = writePart(vocab, block, n, from, out + used, room - used);
        used += part.bytes;
        if (part.ids < n) {
            source.seek(from + part.ids);
            return lengthOfUnfitted(vocab, block[part.ids]);
        }
    }
}

// Gives `bytes` (a bytes object only this code holds) a size of `size`;
// false with MemoryError (the object then released) when it cannot.
bool resizeBytes(PyRef& bytes, std::size_t size) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        bytes.reset(nullptr);
        PyErr_NoMemory();
        return false;
    }
    PyObject* raw = bytes.release();
    if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(size)) != 0) return false;
    bytes.reset(raw);
    return true;
}

// An integer array: decoded while it is read, without the interpreter lock.
// Performance notes: the array is read once, straight into the bytes object
// that is returned, sized by a guess and cut to the length at the end (a
// first pass measuring the length cost a quarter of the time with cl100k and
// o200k; pages of the guess that are never written are never touched).
// Contiguous int32 ids are read in place, others a block at a time. Another
// thread may write the array meanwhile (NumPy releases the interpreter lock
// for large operations): each id is checked as it is written, and nothing
// is written past the room.
PyObject* decodeBuffer(CoreEngine& engine, BufferIds& source) {
    ReadLock lock;
    if (!takeEngineLock(engine.lock(), lock)) return nullptr;
    source.setLimit(engine.vocabSize());
    const bool release = source.expected() > kReleaseAbove;
    const bpe::Vocabulary& vocab = engine.vocabulary();
    static_assert(PY_SSIZE_T_MAX == PTRDIFF_MAX, "guessedRoom's bound is a bytes object's");
    std::size_t room = bpe::guessedRoom(source.expected());
    PyRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(room)));
    if (!bytes) return nullptr;
    std::size_t used = 0;
    for (;;) {
        std::size_t needed = 0;
        char* out = PyBytes_AS_STRING(bytes.get());
        if (!runCore(release, [&] { needed = writeWhileRoom(vocab, source, out, room, used); })) return nullptr;
        if (source.failed()) {
            setBadId(source.badValue(), source.badIndex(), engine.vocabSize());
            return nullptr;
        }
        if (needed == 0) break;
        if (room > static_cast<std::size_t>(PY_SSIZE_T_MAX) / 2) return PyErr_NoMemory();
        room = std::max(room * 2, used + needed + bpe::TokenArena::kPadding);
        if (!resizeBytes(bytes, room)) return nullptr;
    }
    if (!resizeBytes(bytes, used)) return nullptr;
    return bytes.release();
}

// Ids of IdStream (exact lists and tuples of plain ints), checked against the
// vocabulary as the core takes them.
class CheckedIds final : public bytepairtokenizer::IdSource {
public:
    CheckedIds(IdStream& stream, int vocabSize) : stream_(stream), limit_(vocabSize) {}

    std::size_t next(int* block, std::size_t capacity) override {
        const std::size_t n = stream_.next(block, capacity);
        if (n == kGaveUp) return kGaveUp;
        for (std::size_t i = 0; i < n; ++i) {
            if (block[i] < 0 || block[i] >= limit_) {
                bad_ = true;
                badValue_ = block[i];
                badIndex_ = read_ + i;
                return kGaveUp;
            }
        }
        read_ += n;
        return n;
    }

    bool bad() const { return bad_; }
    int badValue() const { return badValue_; }
    std::size_t badIndex() const { return badIndex_; }

private:
    IdStream& stream_;
    int limit_;
    std::size_t read_ = 0;
    bool bad_ = false;
    int badValue_ = 0;
    std::size_t badIndex_ = 0;
};

enum class Streamed { Done, Failed, Declined };

// Performance notes: a list of ids is decoded while IdStream reads it (no id
// array in between, no call per item for small exact ints), as the low-level
// decode does: about 3x the general path below on a list from encode.
// Anything IdStream does not read plainly (an int subclass, a big int, an
// object with __index__) declines, and the general path starts over.
Streamed decodeSequenceStreamed(CoreEngine& engine, PyObject* obj, PyObject*& result) {
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) return Streamed::Declined;
    IdStream stream(obj);
    if (!stream.usable()) return Streamed::Declined;
    ReadLock lock;
    if (!takeEngineLock(engine.lock(), lock)) return Streamed::Failed;
    CheckedIds ids(stream, engine.vocabSize());
    MallocSink sink;
    std::size_t length = 0;
    bool complete = false;
    // IdStream reads Python objects: the interpreter lock stays held.
    if (!runCore(false, [&] { complete = engine.decodeFrom(ids, stream.expected(), sink, length); })) {
        return Streamed::Failed;
    }
    if (ids.bad()) {
        setBadId(ids.badValue(), ids.badIndex(), engine.vocabSize());
        return Streamed::Failed;
    }
    if (!complete) return Streamed::Declined;
    result = bytesFromSink(sink, length);
    return result ? Streamed::Done : Streamed::Failed;
}

PyObject* decodeIterable(CoreEngine& engine, PyObject* obj) {
    PyObject* streamed = nullptr;
    switch (decodeSequenceStreamed(engine, obj, streamed)) {
        case Streamed::Done: return streamed;
        case Streamed::Failed: return nullptr;
        case Streamed::Declined: break;
    }
    IterableIds read;
    if (!read.read(obj)) return nullptr;
    MallocSink sink;
    std::size_t length = 0;
    ReadLock lock;
    if (!takeEngineLock(engine.lock(), lock)) return nullptr;
    if (!read.check(engine)) return nullptr;
    if (!runCore(read.ids.size() > kReleaseAbove,
                 [&] { length = engine.decodeInto(read.ids, sink); })) {
        return nullptr;
    }
    return bytesFromSink(sink, length);
}

}  // namespace

PyObject* coreDecode(PyObject* self, PyObject* arg) {
    if (!refuseReentry(self) || !refuseText(arg)) return nullptr;
    BufferIds buffer;
    switch (buffer.open(arg)) {
        case BufferIds::Open::Yes: return decodeBuffer(engineOf(self), buffer);
        case BufferIds::Open::Failed: return nullptr;
        case BufferIds::Open::NotABuffer: break;
    }
    return decodeIterable(engineOf(self), arg);
}

namespace {

// One item of a decode batch, read in full before decoding starts.
struct BatchItem {
    BufferIds buffer;
    bool isBuffer = false;
    IterableIds iterable;
    std::string decoded;
};

bool readBatchItem(PyObject* obj, BatchItem& item) {
    if (!refuseText(obj)) return false;
    switch (item.buffer.open(obj)) {
        case BufferIds::Open::Yes: item.isBuffer = true; return true;
        case BufferIds::Open::Failed: return false;
        case BufferIds::Open::NotABuffer: return item.iterable.read(obj);
    }
    return false;
}

// With the engine lock: every item's ids read and checked, in order, so the
// error names the first bad id of the first bad item.
bool checkBatch(const CoreEngine& engine, std::vector<std::unique_ptr<BatchItem>>& items) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        BatchItem& item = *items[i];
        bool ok = true;
        if (item.isBuffer) {
            item.buffer.setLimit(engine.vocabSize());
            try {
                ok = item.buffer.readAll(item.iterable.ids);
            } catch (...) {
                translateCoreException();
                return false;
            }
            if (!ok) setBadId(item.buffer.badValue(), item.buffer.badIndex(), engine.vocabSize());
        } else {
            ok = item.iterable.check(engine);
        }
        if (!ok) {
            prefixPendingError("batch", i);
            return false;
        }
    }
    return true;
}

}  // namespace

// decode_batch(batch, threads)
PyObject* coreDecodeBatch(PyObject* self, const BoundArgs& args) {
    if (!refuseReentry(self)) return nullptr;
    unsigned threads = 1;
    if (!requestedThreads(args[1], threads)) return nullptr;
    PyRef seq(PySequence_Fast(args[0], "batch must be an iterable of id sequences"));
    if (!seq) return nullptr;
    const std::size_t n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get()));
    std::vector<std::unique_ptr<BatchItem>> items;
    try {
        items.reserve(n);
        for (std::size_t i = 0; i < n; ++i) items.push_back(std::make_unique<BatchItem>());
    } catch (...) {
        translateCoreException();
        return nullptr;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!readBatchItem(PySequence_Fast_GET_ITEM(seq.get(), static_cast<Py_ssize_t>(i)),
                           *items[i])) {
            prefixPendingError("batch", i);
            return nullptr;
        }
    }
    {
        ReadLock lock;
        if (!takeEngineLock(engineOf(self).lock(), lock)) return nullptr;
        CoreEngine& engine = engineOf(self);
        if (!checkBatch(engine, items)) return nullptr;
        const unsigned workers = threadsFor(n, threads);
        const bool ok = runCore(true, [&] {
            runParallel(n, workers, [&](std::size_t i) {
                items[i]->decoded = engine.decode(items[i]->iterable.ids);
                std::vector<int>().swap(items[i]->iterable.ids);
            });
        });
        if (!ok) return nullptr;
    }
    PyRef out(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string& d = items[i]->decoded;
        PyObject* b = PyBytes_FromStringAndSize(d.data(), static_cast<Py_ssize_t>(d.size()));
        if (b == nullptr) return nullptr;
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), b);
    }
    return out.release();
}

// token_bytes(id): the token's bytes written straight into the bytes object,
// so a token of n bytes costs n bytes of memory, not a buffer and a copy.
PyObject* coreTokenBytes(PyObject* self, const BoundArgs& args) {
    PyObject* arg = args[0];
    if (!refuseReentry(self)) return nullptr;
    if (!PyLong_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "token id must be an int, not %.200s", Py_TYPE(arg)->tp_name);
        return nullptr;
    }
    PyRef tuple(PyTuple_Pack(1, arg));
    if (!tuple) return nullptr;
    IterableIds read;
    if (!read.read(tuple.get())) return nullptr;
    CoreEngine& engine = engineOf(self);
    ReadLock lock;
    if (!takeEngineLock(engine.lock(), lock)) return nullptr;
    if (!read.check(engine)) return nullptr;
    std::size_t length = 0;
    if (!runCore(false, [&] { length = bpe::decodedLength(engine.vocabulary(), read.ids.data(), 1); })) {
        return nullptr;
    }
    PyRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
    if (!bytes) return nullptr;
    char* out = PyBytes_AS_STRING(bytes.get());
    if (!runCore(false, [&] { bpe::decodeChecked(engine.vocabulary(), read.ids.data(), 1, out, length); })) {
        return nullptr;
    }
    return bytes.release();
}


}  // namespace brevix
