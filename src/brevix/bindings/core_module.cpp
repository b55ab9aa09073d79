// brevix._core: the native side of brevix.Tokenizer. One type, CoreTokenizer,
// wraps a CoreEngine; the module also reads and restores the merge table of a
// low-level PyBytePairTokenizer, for conversions both ways. Arguments are
// positional and already normalised by brevix._tokenizer, which is the
// supported face of this module.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <ostream>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "core_engine.h"
#include "core_errors.h"
#include "core_ids.h"
#include "pyref.h"
#include "pytokenizer.h"

namespace brevix {

namespace {

// ---- the interpreter lock and the engine lock ---------------------------------

// Releases the interpreter lock for a scope; reacquire()/release() let a
// callback run Python code in between.
class GilReleased {
public:
    GilReleased() : state_(PyEval_SaveThread()) {}
    ~GilReleased() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;
    void reacquire() {
        PyEval_RestoreThread(state_);
        state_ = nullptr;
    }
    void release() { state_ = PyEval_SaveThread(); }

private:
    PyThreadState* state_;
};

// Inputs shorter than this are handled without releasing the interpreter
// lock: releasing and taking it back costs more than the work.
constexpr std::size_t kReleaseAbove = 1 << 16;

// Takes the engine lock (shared or exclusive) with the interpreter lock held
// on entry and on exit. Never waits while holding the interpreter lock: the
// thread training may need it to report progress.
template <typename Lock>
Lock takeEngineLock(WriterFirstMutex& mutex) {
    Lock lock(mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        GilReleased released;
        lock.lock();
    }
    return lock;
}

using ReadLock = std::shared_lock<WriterFirstMutex>;
using WriteLock = std::unique_lock<WriterFirstMutex>;

// Runs `work` (which must not touch Python objects) with the interpreter lock
// released when `release` is true. False with a Python exception set when it
// threw.
template <typename Work>
bool runCore(bool release, Work&& work) {
    std::exception_ptr error;
    if (release) {
        GilReleased released;
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
    } else {
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
    }
    if (!error) return true;
    try {
        std::rethrow_exception(error);
    } catch (...) {
        translateCoreException();
    }
    return false;
}

// ---- the type ----------------------------------------------------------------

struct CoreTokenizerObject {
    PyObject_HEAD
    CoreEngine* engine;
};

CoreEngine& engineOf(PyObject* self) {
    return *reinterpret_cast<CoreTokenizerObject*>(self)->engine;
}

// A progress callback that calls back into the tokenizer would wait for the
// training it is called from.
bool refuseReentry(PyObject* self) {
    if (!engineOf(self).trainingOnThisThread()) return true;
    PyErr_SetString(PyExc_RuntimeError,
                    "the tokenizer is training: it cannot be used from its own progress callback");
    return false;
}

PyObject* coreNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "CoreTokenizer() takes no arguments");
        return nullptr;
    }
    PyRef self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    try {
        reinterpret_cast<CoreTokenizerObject*>(self.get())->engine = new CoreEngine();
    } catch (...) {
        translateCoreException();
        return nullptr;
    }
    return self.release();
}

void coreDealloc(PyObject* self) {
    delete reinterpret_cast<CoreTokenizerObject*>(self)->engine;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

bool checkArgCount(const char* name, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs == expected) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, expected, nargs);
    return false;
}

// Puts "<label>: " in front of the pending exception's message, keeping its
// type, so that an error in one item of a batch says which item.
void prefixPendingError(const char* label, std::size_t index) {
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    PyRef type(t), value(v), traceback(tb);
    if (!type) return;
    PyRef message(value ? PyObject_Str(value.get()) : nullptr);
    if (!message) {
        PyErr_Clear();
        PyErr_Restore(type.release(), value.release(), traceback.release());
        return;
    }
    PyErr_Format(type.get(), "%s[%zu]: %U", label, index, message.get());
}

// ---- results ------------------------------------------------------------------

PyObject* idsToList(const std::vector<int>& ids) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        PyObject* item = PyLong_FromLong(ids[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// The ids as native int32 in a bytearray, which NumPy wraps without a copy.
PyObject* idsToByteArray(const std::vector<int>& ids) {
    return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(ids.data()),
                                         static_cast<Py_ssize_t>(ids.size() * sizeof(int)));
}

PyObject* idsToPy(const std::vector<int>& ids, bool asArray) {
    return asArray ? idsToByteArray(ids) : idsToList(ids);
}

PyObject* mergesToList(const std::vector<MergeTriple>& merges) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(merges.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < merges.size(); ++i) {
        PyObject* item = Py_BuildValue("(iii)", merges[i][0], merges[i][1], merges[i][2]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

bool mergesFromPy(PyObject* obj, std::vector<MergeTriple>& out) {
    PyRef items(PySequence_Fast(obj, "merges must be a sequence of (left, right, id)"));
    if (!items) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyRef fields(PySequence_Fast(PySequence_Fast_GET_ITEM(items.get(), i),
                                     "each merge must be a (left, right, id) sequence"));
        if (!fields) return false;
        if (PySequence_Fast_GET_SIZE(fields.get()) != 3) {
            PyErr_Format(PyExc_ValueError, "merge %zd: expected 3 fields, got %zd", i,
                         PySequence_Fast_GET_SIZE(fields.get()));
            return false;
        }
        MergeTriple m{};
        for (int k = 0; k < 3; ++k) {
            PyObject* field = PySequence_Fast_GET_ITEM(fields.get(), k);
            if (!PyLong_Check(field)) {
                PyErr_Format(PyExc_TypeError, "merge %zd: fields must be ints, not %.200s", i,
                             Py_TYPE(field)->tp_name);
                return false;
            }
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(field, &overflow);
            if (v == -1 && PyErr_Occurred()) return false;
            if (overflow != 0 || v < INT_MIN || v > INT_MAX) {
                PyErr_Format(PyExc_ValueError, "merge %zd: %R is outside the signed 32-bit range",
                             i, field);
                return false;
            }
            m[static_cast<std::size_t>(k)] = static_cast<int>(v);
        }
        out.push_back(m);
    }
    return true;
}

// ---- simple accessors -----------------------------------------------------------

PyObject* coreVocabSize(PyObject* self, PyObject*) {
    if (!refuseReentry(self)) return nullptr;
    auto lock = takeEngineLock<ReadLock>(engineOf(self).lock());
    return PyLong_FromLong(engineOf(self).vocabSize());
}

PyObject* coreMerges(PyObject* self, PyObject*) {
    if (!refuseReentry(self)) return nullptr;
    std::vector<MergeTriple> merges;
    {
        auto lock = takeEngineLock<ReadLock>(engineOf(self).lock());
        if (!runCore(false, [&] { merges = engineOf(self).merges(); })) return nullptr;
    }
    return mergesToList(merges);
}

PyObject* coreSetMerges(PyObject* self, PyObject* arg) {
    if (!refuseReentry(self)) return nullptr;
    std::vector<MergeTriple> merges;
    if (!mergesFromPy(arg, merges)) return nullptr;
    auto lock = takeEngineLock<WriteLock>(engineOf(self).lock());
    if (!runCore(false, [&] { engineOf(self).setMerges(merges); })) return nullptr;
    Py_RETURN_NONE;
}

// ---- encode -----------------------------------------------------------------------

// encode(text, as_array): text is str or a contiguous buffer.
PyObject* coreEncode(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!checkArgCount("encode", nargs, 2) || !refuseReentry(self)) return nullptr;
    const int asArray = PyObject_IsTrue(args[1]);
    if (asArray < 0) return nullptr;
    TextView text;
    if (!text.open(args[0])) return nullptr;
    std::vector<int> ids;
    {
        auto lock = takeEngineLock<ReadLock>(engineOf(self).lock());
        if (!runCore(text.size() > kReleaseAbove,
                     [&] { ids = engineOf(self).encode(text.data(), text.size()); })) {
            return nullptr;
        }
    }
    return idsToPy(ids, asArray != 0);
}

// encode_batch(texts, threads, as_array)
PyObject* coreEncodeBatch(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!checkArgCount("encode_batch", nargs, 3) || !refuseReentry(self)) return nullptr;
    const long threads = PyLong_AsLong(args[1]);
    if (threads == -1 && PyErr_Occurred()) return nullptr;
    const int asArray = PyObject_IsTrue(args[2]);
    if (asArray < 0) return nullptr;
    PyRef items(PySequence_Fast(args[0], "texts must be an iterable of str or bytes-like objects"));
    if (!items) return nullptr;
    const std::size_t n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get()));
    std::vector<std::unique_ptr<TextView>> texts;
    std::vector<std::vector<int>> results;
    try {
        texts.reserve(n);
        results.resize(n);
        for (std::size_t i = 0; i < n; ++i) texts.push_back(std::make_unique<TextView>());
    } catch (...) {
        translateCoreException();
        return nullptr;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!texts[i]->open(PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)))) {
            prefixPendingError("texts", i);
            return nullptr;
        }
    }
    {
        auto lock = takeEngineLock<ReadLock>(engineOf(self).lock());
        CoreEngine& engine = engineOf(self);
        const unsigned workers = threadsFor(n, static_cast<unsigned>(threads > 0 ? threads : 1));
        const bool ok = runCore(true, [&] {
            runParallel(n, workers, [&](std::size_t i) {
                results[i] = engine.encode(texts[i]->data(), texts[i]->size());
            });
        });
        if (!ok) return nullptr;
    }
    PyRef out(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = idsToPy(results[i], asArray != 0);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
        std::vector<int>().swap(results[i]);
    }
    return out.release();
}

// ---- decode -----------------------------------------------------------------------

void setBadId(long long value, std::size_t index, int vocabSize) {
    PyErr_Format(PyExc_ValueError, "unknown token id %lld at position %zu: ids run from -128 to %d",
                 value, index, vocabSize - 1);
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
        PyErr_Format(PyExc_ValueError, "unknown token id %R at position %zd: ids run from -128 to %d",
                     overflowValue.get(), overflowAt, engine.vocabSize() - 1);
        return false;
    }
};

PyObject* bytesFromSink(const MallocSink& sink, std::size_t length) {
    return PyBytes_FromStringAndSize(length ? sink.data() : "", static_cast<Py_ssize_t>(length));
}

// An integer array: decoded while it is read, without the interpreter lock.
PyObject* decodeBuffer(CoreEngine& engine, BufferIds& source) {
    MallocSink sink;
    std::size_t length = 0;
    bool complete = false;
    auto lock = takeEngineLock<ReadLock>(engine.lock());
    source.setLimit(engine.vocabSize());
    const bool ok = runCore(source.expected() > kReleaseAbove, [&] {
        if (engine.canStream()) {
            complete = engine.decodeFrom(source, source.expected(), sink, length);
            return;
        }
        std::vector<int> ids;
        complete = source.readAll(ids);
        if (complete) length = engine.decodeInto(ids, sink);
    });
    if (!ok) return nullptr;
    if (!complete) {
        setBadId(source.badValue(), source.badIndex(), engine.vocabSize());
        return nullptr;
    }
    return bytesFromSink(sink, length);
}

PyObject* decodeIterable(CoreEngine& engine, PyObject* obj) {
    IterableIds read;
    if (!read.read(obj)) return nullptr;
    MallocSink sink;
    std::size_t length = 0;
    auto lock = takeEngineLock<ReadLock>(engine.lock());
    if (!read.check(engine)) return nullptr;
    if (!runCore(read.ids.size() > kReleaseAbove,
                 [&] { length = engine.decodeInto(read.ids, sink); })) {
        return nullptr;
    }
    return bytesFromSink(sink, length);
}

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

// decode_batch(batch, threads)
PyObject* coreDecodeBatch(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!checkArgCount("decode_batch", nargs, 2) || !refuseReentry(self)) return nullptr;
    const long threads = PyLong_AsLong(args[1]);
    if (threads == -1 && PyErr_Occurred()) return nullptr;
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
        auto lock = takeEngineLock<ReadLock>(engineOf(self).lock());
        CoreEngine& engine = engineOf(self);
        if (!checkBatch(engine, items)) return nullptr;
        const unsigned workers = threadsFor(n, static_cast<unsigned>(threads > 0 ? threads : 1));
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

// token_bytes(id)
PyObject* coreTokenBytes(PyObject* self, PyObject* arg) {
    if (!refuseReentry(self)) return nullptr;
    if (!PyLong_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "token id must be an int, not %.200s", Py_TYPE(arg)->tp_name);
        return nullptr;
    }
    PyRef tuple(PyTuple_Pack(1, arg));
    if (!tuple) return nullptr;
    IterableIds read;
    if (!read.read(tuple.get())) return nullptr;
    MallocSink sink;
    std::size_t length = 0;
    auto lock = takeEngineLock<ReadLock>(engineOf(self).lock());
    if (!read.check(engineOf(self))) return nullptr;
    if (!runCore(false, [&] { length = engineOf(self).decodeInto(read.ids, sink); })) return nullptr;
    return bytesFromSink(sink, length);
}

// ---- train ------------------------------------------------------------------------

// Polled by the core between merges, without the interpreter lock. At most
// every kPollInterval it takes the lock back to run pending signal handlers
// and report progress; any Python exception (KeyboardInterrupt from Ctrl-C,
// or one raised by the callback) stops training and stays pending.
class TrainingPoll {
public:
    static constexpr std::chrono::milliseconds kPollInterval{25};

    TrainingPoll(GilReleased& gil, const CoreEngine& engine, PyObject* progress, int total)
        : gil_(gil), engine_(engine), progress_(progress), start_(engine.vocabSize()),
          total_(total) {}

    bool operator()() {
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < kPollInterval) return false;
        last_ = now;
        gil_.reacquire();
        const bool stop = PyErr_CheckSignals() != 0 || !report();
        gil_.release();
        return stop;
    }

    // Calls the progress callback; false with an exception set when it failed.
    bool report() {
        if (progress_ == nullptr || progress_ == Py_None) return true;
        const int done = engine_.vocabSize() - start_;
        PyRef result(PyObject_CallFunction(progress_, "ii", done, total_));
        return static_cast<bool>(result);
    }

private:
    GilReleased& gil_;
    const CoreEngine& engine_;
    PyObject* progress_;
    int start_;
    int total_;
    std::chrono::steady_clock::time_point last_{};
};

// train(data, vocab_size, progress, trace): data is a contiguous buffer.
PyObject* coreTrain(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!checkArgCount("train", nargs, 4) || !refuseReentry(self)) return nullptr;
    int overflow = 0;
    const long long vocabSize = PyLong_AsLongLongAndOverflow(args[1], &overflow);
    if (vocabSize == -1 && PyErr_Occurred()) return nullptr;
    if (overflow != 0 || vocabSize < 257 || vocabSize > INT_MAX) {
        PyErr_Format(PyExc_ValueError, "vocab_size must be between 257 and %d, got %R", INT_MAX,
                     args[1]);
        return nullptr;
    }
    PyObject* progress = args[2];
    if (progress != Py_None && !PyCallable_Check(progress)) {
        PyErr_SetString(PyExc_TypeError, "progress must be callable or None");
        return nullptr;
    }
    const int trace = PyObject_IsTrue(args[3]);
    if (trace < 0) return nullptr;
    TextView data;
    if (!data.open(args[0])) return nullptr;

    CoreEngine& engine = engineOf(self);
    auto lock = takeEngineLock<WriteLock>(engine.lock());
    const int total = std::max(1, static_cast<int>(vocabSize) - engine.vocabSize());
    std::ostream quiet(nullptr);
    std::ostream& out = trace ? std::cout : quiet;
    std::exception_ptr error;
    {
        GilReleased gil;
        TrainingPoll poll(gil, engine, progress, total);
        try {
            engine.train(reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                         static_cast<int>(vocabSize), out, std::ref(poll));
        } catch (...) {
            error = std::current_exception();
        }
        if (trace) std::cout.flush();
        gil.reacquire();
        if (!error && !PyErr_Occurred()) poll.report();
        gil.release();
    }
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (...) {
            translateCoreException();
        }
        return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef coreMethods[] = {
    {"vocab_size", coreVocabSize, METH_NOARGS, "vocab_size() -> int"},
    {"merges", coreMerges, METH_NOARGS, "merges() -> list of (left, right, id) in id order"},
    {"set_merges", coreSetMerges, METH_O, "set_merges(merges): replace the merge table"},
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(coreEncode)),
     METH_FASTCALL, "encode(text, as_array) -> list[int] | bytearray of int32"},
    {"encode_batch",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(coreEncodeBatch)),
     METH_FASTCALL, "encode_batch(texts, threads, as_array) -> list"},
    {"decode", coreDecode, METH_O, "decode(ids) -> bytes"},
    {"decode_batch",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(coreDecodeBatch)),
     METH_FASTCALL, "decode_batch(batch, threads) -> list[bytes]"},
    {"token_bytes", coreTokenBytes, METH_O, "token_bytes(id) -> bytes"},
    {"train", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(coreTrain)),
     METH_FASTCALL, "train(data, vocab_size, progress, trace) -> None"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot coreSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(coreNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(coreDealloc)},
    {Py_tp_methods, coreMethods},
    {Py_tp_doc, const_cast<char*>("Native state of a brevix.Tokenizer (private).")},
    {0, nullptr},
};

PyType_Spec coreSpec = {"brevix._core.CoreTokenizer", sizeof(CoreTokenizerObject), 0,
                        Py_TPFLAGS_DEFAULT, coreSlots};

// ---- the low-level class ---------------------------------------------------------

// The instance of brevix.tokenizer.PyBytePairTokenizer (or a subclass) behind
// `obj`, or nullptr with TypeError set.
PyBytePairTokenizerObject* asLowLevel(PyObject* obj) {
    PyRef module(PyImport_ImportModule("brevix.tokenizer"));
    if (!module) return nullptr;
    PyRef cls(PyObject_GetAttrString(module.get(), "PyBytePairTokenizer"));
    if (!cls) return nullptr;
    if (!PyType_Check(cls.get()) ||
        !PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(cls.get()))) {
        PyErr_Format(PyExc_TypeError, "expected a PyBytePairTokenizer, not %.200s",
                     Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    return reinterpret_cast<PyBytePairTokenizerObject*>(obj);
}

// low_level_merges(tok) -> list of (left, right, id) in id order
PyObject* lowLevelMerges(PyObject*, PyObject* arg) {
    PyBytePairTokenizerObject* tok = asLowLevel(arg);
    if (tok == nullptr) return nullptr;
    const bytepairtokenizer::BytePairTokenizer& core = tok->c_bpt;
    std::vector<MergeTriple> merges;
    try {
        for (int id = kFirstMergeId; id < core.nextVocabIndex; ++id) {
            const DTYPE_BYTEPAIR& pair = core.revVocab.at(id);
            merges.push_back(MergeTriple{pair[0], pair[1], id});
        }
    } catch (...) {
        translateCoreException();
        return nullptr;
    }
    return mergesToList(merges);
}

// set_low_level_merges(tok, merges): the table replaced in one step. The
// low-level class takes any ids (it trains on any integers), so only the ids
// and repeated pairs are checked.
PyObject* setLowLevelMerges(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!checkArgCount("set_low_level_merges", nargs, 2)) return nullptr;
    PyBytePairTokenizerObject* tok = asLowLevel(args[0]);
    if (tok == nullptr) return nullptr;
    std::vector<MergeTriple> merges;
    if (!mergesFromPy(args[1], merges)) return nullptr;
    try {
        checkMerges(merges, false);
        bytepairtokenizer::BytePairTokenizer fresh;
        for (const MergeTriple& m : merges) {
            updateVocab(fresh.vocab, fresh.revVocab, DTYPE_BYTEPAIR{m[0], m[1]},
                        fresh.nextVocabIndex, fresh.vocabSize);
        }
        bytepairtokenizer::BytePairTokenizer& core = tok->c_bpt;
        core.vocab.swap(fresh.vocab);
        core.revVocab.swap(fresh.revVocab);
        std::swap(core.nextVocabIndex, fresh.nextVocabIndex);
        std::swap(core.vocabSize, fresh.vocabSize);
    } catch (...) {
        translateCoreException();
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef moduleMethods[] = {
    {"low_level_merges", lowLevelMerges, METH_O,
     "low_level_merges(tok) -> the merges of a PyBytePairTokenizer, in id order"},
    {"set_low_level_merges",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(setLowLevelMerges)),
     METH_FASTCALL, "set_low_level_merges(tok, merges): replace its merge table"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef coreModule = {PyModuleDef_HEAD_INIT, "brevix._core",
                          "Native side of brevix.Tokenizer (private).", -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace brevix

PyMODINIT_FUNC PyInit__core(void) {
    brevix::PyRef module(PyModule_Create(&brevix::coreModule));
    if (!module) return nullptr;
    brevix::PyRef type(PyType_FromSpec(&brevix::coreSpec));
    if (!type) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "CoreTokenizer", type.get()) != 0) return nullptr;
    return module.release();
}
