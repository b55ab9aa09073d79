// brevix._core.PieceCounter: the piece counts GPT-style training learns
// from, gathered batch by batch (in-memory documents, or files mapped and
// counted natively) without a Python object per piece. Counting runs without
// the interpreter lock on the counting threads; the calling thread takes the
// lock back every tick to run signal handlers and report bytes counted.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pieces/piece_counter.h"
#include "pieces/piece_counts_codec.h"
#include "pieces/piece_counts_merge.h"
#include "pieces/piece_counts_pruning.h"
#include "pieces/piece_table.h"
#include "encode/special_tokens.h"
#include "core_calls.h"
#include "core_ids.h"
#include "core_pieces.h"
#include "binding_table.h"
#include "pyref.h"
#include "text/splitter.h"

namespace brevix {

namespace {

// Everything a counter holds, constructed in place inside the Python object.
struct CounterState {
    std::shared_ptr<const text::Splitter> splitter;
    bpe::SpecialTokens specials;
    bpe::SpecialMatcher matcher;
    unsigned threads = 0;
    bpe::PieceTable table;
    std::uint64_t bytesCounted = 0;  // by earlier batches, for progress
    bool busy = false;               // a count is running (refuses re-entry)
};

struct PieceCounterObject {
    PyObject_HEAD
    bool constructed;  // state is constructed (tp_alloc zeroes the rest)
    CounterState state;
};

CounterState& stateOf(PyObject* self) { return reinterpret_cast<PieceCounterObject*>(self)->state; }

// Runs `count` without the interpreter lock; every tick the calling thread
// takes it back to run signal handlers and call `progress(bytes, 0)`. False
// with the exception set (KeyboardInterrupt, the callback's, or the core's).
template <typename Count>
bool countWithoutLock(CounterState& state, PyObject* progress, Count&& count) {
    bpe::CountControl control;
    PyThreadState* saved = nullptr;
    const std::uint64_t before = state.bytesCounted;
    control.onTick = [&](std::uint64_t bytesDone) {
        PyEval_RestoreThread(saved);
        bool go = PyErr_CheckSignals() == 0;
        if (go && progress != Py_None) {
            PyRef result(PyObject_CallFunction(progress, "KK",
                                               static_cast<unsigned long long>(before + bytesDone), 0ULL));
            go = static_cast<bool>(result);
        }
        saved = PyEval_SaveThread();
        return go;
    };
    std::optional<bpe::PieceTable> counts;
    std::exception_ptr failure;
    saved = PyEval_SaveThread();
    try {
        counts = count(control);
        if (counts) state.table.addAll(*counts);
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    if (translateCapturedException(failure)) return false;
    if (!counts) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return false;
    }
    state.bytesCounted = before + control.bytesDone.load();
    return true;
}

// Marks a counter busy for a scope; false with RuntimeError when it already is.
class BusyMark {
public:
    explicit BusyMark(CounterState& state) : state_(state), taken_(!state.busy) {
        if (taken_) state_.busy = true;
        else PyErr_SetString(PyExc_RuntimeError, "the piece counter is already counting");
    }
    ~BusyMark() {
        if (taken_) state_.busy = false;
    }
    BusyMark(const BusyMark&) = delete;
    BusyMark& operator=(const BusyMark&) = delete;
    explicit operator bool() const { return taken_; }

private:
    CounterState& state_;
    bool taken_;
};

bpe::CountSettings settingsOf(const CounterState& state, bpe::CountControl& control) {
    bpe::CountSettings settings;
    settings.splitter = state.splitter.get();
    settings.specials = state.matcher.empty() ? nullptr : &state.matcher;
    settings.threads = state.threads;
    settings.control = &control;
    return settings;
}

// add_documents(documents, progress): each item a str or contiguous buffer.
PyObject* counterAddDocuments(PyObject* self, const BoundArgs& args) {
    CounterState& state = stateOf(self);
    BusyMark busy(state);
    if (!busy) return nullptr;
    PyRef seq(PySequence_Fast(args[0], "documents must be a sequence"));
    if (!seq) return nullptr;
    const std::size_t n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get()));
    std::vector<std::unique_ptr<TextView>> held;
    std::vector<std::string_view> documents;
    if (!callCore([&] {
            held.reserve(n);
            documents.reserve(n);
        })) {
        return nullptr;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!callCore([&] { held.push_back(std::make_unique<TextView>()); })) return nullptr;
        if (!held.back()->open(PySequence_Fast_GET_ITEM(seq.get(), static_cast<Py_ssize_t>(i)))) {
            prefixPendingError("documents", i);
            return nullptr;
        }
        documents.emplace_back(held.back()->data(), held.back()->size());
    }
    const bool ok = countWithoutLock(state, args[1], [&](bpe::CountControl& control) {
        return bpe::countPieces(documents, settingsOf(state, control));
    });
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

// A path argument: bytes, else TypeError.
bool checkPath(PyObject* path) {
    if (PyBytes_Check(path)) return true;
    PyErr_SetString(PyExc_TypeError, "path must be bytes");
    return false;
}

// add_file(path, lines, progress): the file mapped, one document or one per line.
PyObject* counterAddFile(PyObject* self, const BoundArgs& args) {
    if (!checkPath(args[0])) return nullptr;
    CounterState& state = stateOf(self);
    BusyMark busy(state);
    if (!busy) return nullptr;
    const int lines = PyObject_IsTrue(args[1]);
    if (lines < 0) return nullptr;
    std::vector<std::string> paths;
    if (!callCore([&] { paths.emplace_back(PyBytes_AS_STRING(args[0]), static_cast<std::size_t>(PyBytes_GET_SIZE(args[0]))); })) {
        return nullptr;
    }
    const auto documents = lines ? bpe::FileDocuments::kLines : bpe::FileDocuments::kWholeFile;
    const bool ok = countWithoutLock(state, args[2], [&](bpe::CountControl& control) {
        return bpe::countFilePieces(paths, documents, settingsOf(state, control));
    });
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

// add_file_lines(path, start, end, progress): the lines of the mapped file
// that start in [start, end).
PyObject* counterAddFileLines(PyObject* self, const BoundArgs& args) {
    if (!checkPath(args[0])) return nullptr;
    CounterState& state = stateOf(self);
    BusyMark busy(state);
    if (!busy) return nullptr;
    const unsigned long long start = PyLong_AsUnsignedLongLong(args[1]);
    if (start == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    const unsigned long long end = PyLong_AsUnsignedLongLong(args[2]);
    if (end == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    std::string path;
    if (!callCore([&] { path.assign(PyBytes_AS_STRING(args[0]), static_cast<std::size_t>(PyBytes_GET_SIZE(args[0]))); })) {
        return nullptr;
    }
    const bool ok = countWithoutLock(state, args[3], [&](bpe::CountControl& control) {
        return bpe::countFileLinePieces(path, start, end, settingsOf(state, control));
    });
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

// to_bytes() -> bytes: the counts, encoded (bpe/piece_counts_codec.h).
PyObject* counterToBytes(PyObject* self, const BoundArgs&) {
    CounterState& state = stateOf(self);
    BusyMark busy(state);
    if (!busy) return nullptr;
    std::string encoded;
    if (!callCore([&] { encoded = bpe::encodePieceCounts(state.table); })) return nullptr;
    return PyBytes_FromStringAndSize(encoded.data(), static_cast<Py_ssize_t>(encoded.size()));
}

// True for a PieceCounter of any brevix._core module object.
bool isPieceCounter(PyObject* obj) {
    CoreModuleState* state = coreModuleStateOf(Py_TYPE(obj));
    return state != nullptr && state->pieceCounterType != nullptr &&
           PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(state->pieceCounterType));
}

// The counts `source` holds: a PieceCounter's (copied when it is `self`,
// which is being added to) or those a bytes-like object encodes. Null with
// an exception set when it is neither, is busy or is malformed.
std::optional<bpe::PieceTable> decodedCounts(PyObject* self, PyObject* source,
                                             const bpe::PieceTable** shared) {
    std::optional<bpe::PieceTable> counts;
    *shared = nullptr;
    if (isPieceCounter(source)) {
        if (source != self) {
            if (stateOf(source).busy) {
                PyErr_SetString(PyExc_RuntimeError, "the piece counter is already counting");
                return counts;
            }
            *shared = &stateOf(source).table;
            return counts;
        }
        const bpe::PieceTable& own = stateOf(self).table;
        (void)callCore([&] { counts = bpe::decodePieceCounts(bpe::encodePieceCounts(own)); });
        return counts;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(source, &view, PyBUF_SIMPLE) != 0) {
        PyErr_Format(PyExc_TypeError, "merge() takes a PieceCounter or bytes, not %.200s",
                     Py_TYPE(source)->tp_name);
        return counts;
    }
    const std::string_view data(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
    (void)callCore([&] { counts = bpe::decodePieceCounts(data); });
    PyBuffer_Release(&view);
    return counts;
}

// merge(other): adds the counts of another PieceCounter or of to_bytes()
// data; all or nothing.
PyObject* mergeCounts(PyObject* self, PyObject* other) {
    CounterState& state = stateOf(self);
    BusyMark busy(state);
    if (!busy) return nullptr;
    const bpe::PieceTable* shared = nullptr;
    std::optional<bpe::PieceTable> decoded = decodedCounts(self, other, &shared);
    if (shared == nullptr && !decoded) return nullptr;
    const bpe::PieceTable& from = shared != nullptr ? *shared : *decoded;
    if (!callCore([&] { bpe::mergePieceCounts(state.table, from); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject* counterMerge(PyObject* self, const BoundArgs& args) { return mergeCounts(self, args[0]); }

// PieceCounter.from_bytes(pattern, specials, data): a counter (of the
// default threads) holding the counts `data` encodes.
PyObject* counterFromBytes(PyObject* cls, const BoundArgs& args) {
    PyRef counter(PyObject_CallFunction(cls, "OOI", args[0], args[1], 0U));
    if (!counter) return nullptr;
    // The decoded table becomes the counter's own: adding it to an empty
    // table would hash every piece a second time.
    const bpe::PieceTable* shared = nullptr;
    std::optional<bpe::PieceTable> decoded = decodedCounts(counter.get(), args[2], &shared);
    if (shared == nullptr && !decoded) return nullptr;
    if (decoded) {
        if (!callCore([&] { stateOf(counter.get()).table = std::move(*decoded); })) return nullptr;
    } else {
        PyRef done(mergeCounts(counter.get(), args[2]));
        if (!done) return nullptr;
    }
    return counter.release();
}

// prune(keep) -> (dropped, least_kept): keeps the `keep` most frequent pieces.
PyObject* counterPrune(PyObject* self, const BoundArgs& args) {
    PyObject* arg = args[0];
    CounterState& state = stateOf(self);
    BusyMark busy(state);
    if (!busy) return nullptr;
    const std::size_t keep = PyLong_AsSize_t(arg);
    if (keep == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
    bpe::PruneResult result;
    if (!callCore([&] { result = bpe::keepMostFrequent(state.table, keep); })) return nullptr;
    return Py_BuildValue("nK", static_cast<Py_ssize_t>(result.dropped),
                         static_cast<unsigned long long>(result.leastKept));
}

PyObject* counterDistinct(PyObject* self, const BoundArgs&) {
    return PyLong_FromSize_t(stateOf(self).table.size());
}

// PieceCounter(pattern, specials, threads)
PyObject* counterNew(PyObject* typeObject, const BoundArgs& args) {
    auto* type = reinterpret_cast<PyTypeObject*>(typeObject);
    PyObject* pattern = args[0];
    PyObject* specials = args[1];
    const unsigned int threads = args.uint32(2);
    std::optional<std::string> patternText;
    if (pattern != Py_None) {
        Py_ssize_t length = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(pattern, &length);
        if (utf8 == nullptr) return nullptr;
        patternText.emplace(utf8, static_cast<std::size_t>(length));
    }
    std::vector<bpe::SpecialToken> tokens;
    PyRef seq(PySequence_Fast(specials, "specials must be a sequence of bytes"));
    if (!seq) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyBytes_Check(item)) {
            PyErr_SetString(PyExc_TypeError, "special tokens must be bytes");
            return nullptr;
        }
        if (!callCore([&] {
                tokens.push_back(bpe::SpecialToken{
                    std::string(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item))),
                    static_cast<bpe::TokenId>(i)});
            })) {
            return nullptr;
        }
    }
    CounterState built;
    if (!callCore([&] {
            built.splitter = splitterFor(patternText);
            built.specials = bpe::SpecialTokens(std::move(tokens));
            built.matcher = bpe::SpecialMatcher::all(built.specials);
            built.threads = bpe::countingThreads(threads);
        })) {
        return nullptr;
    }
    PyRef self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* object = reinterpret_cast<PieceCounterObject*>(self.get());
    if (!callCore([&] { new (&object->state) CounterState(std::move(built)); })) return nullptr;
    object->constructed = true;
    return self.release();
}

void counterDealloc(PyObject* self) {
    auto* object = reinterpret_cast<PieceCounterObject*>(self);
    if (object->constructed) object->state.~CounterState();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

const FunctionRow kCounterNewRow = {"PieceCounter", {"pattern", "specials", "threads"}, counterNew, ""};

const FunctionRow kCounterMethodRows[] = {
    {"add_documents", {"documents", "progress"}, counterAddDocuments,
     "Count the pieces of in-memory documents."},
    {"add_file", {"path", "lines", "progress"}, counterAddFile,
     "Count the pieces of a file, mapped."},
    {"add_file_lines", {"path", "start", "end", "progress"}, counterAddFileLines,
     "Count the lines of a file that start in [start, end)."},
    {"distinct", {}, counterDistinct, "-> number of distinct pieces"},
    {"to_bytes", {}, counterToBytes, "-> the counts, encoded"},
    {"merge", {"other"}, counterMerge, "Add the counts of a PieceCounter or of to_bytes() data."},
    {"from_bytes", {"pattern", "specials", "data"}, counterFromBytes,
     "-> a PieceCounter holding the counts of data", true},
    {"prune", {"keep"}, counterPrune, "-> (dropped, least_kept): keep the most frequent pieces"},
};

PyType_Slot counterSlots[] = {
    {Py_tp_new, tableNew<kCounterNewRow>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(counterDealloc)},
    {Py_tp_methods, nullptr},  // the table of kCounterMethodRows, set with the type
    {Py_tp_doc, const_cast<char*>("Piece counts for GPT-style training (private).")},
    {0, nullptr},
};

PyType_Spec counterSpec = {"brevix._core.PieceCounter", sizeof(PieceCounterObject), 0,
                           Py_TPFLAGS_DEFAULT, counterSlots};

}  // namespace

bool addPieceCounterType(PyObject* module) {
    counterSlots[2].pfunc = methodTable<kCounterMethodRows>(TableKind::Methods);
    PyRef type(PyType_FromModuleAndSpec(module, &counterSpec, nullptr));
    if (!type || PyModule_AddObjectRef(module, "PieceCounter", type.get()) != 0) return false;
    CoreModuleState* state = coreModuleStateOf(reinterpret_cast<PyTypeObject*>(type.get()));
    if (state != nullptr) Py_XSETREF(state->pieceCounterType, type.release());
    return true;
}

const bpe::PieceTable* pieceTableOf(PyObject* obj) {
    if (!isPieceCounter(obj)) {
        PyErr_Format(PyExc_TypeError, "expected a PieceCounter, not %.200s", Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    return &stateOf(obj).table;
}

}  // namespace brevix
