// brevix._internal hooks into training from piece counts (brevix::bpe), for
// the tests and the benchmark:
//
//   count_pieces(pattern, docs, specials=(), threads=0, interrupt_after_bytes=-1)
//       -> dict[bytes, int]
//   count_file_pieces(pattern, paths, lines, specials=(), threads=0,
//                     interrupt_after_bytes=-1) -> dict[bytes, int]
//   train_pieces(counts, num_merges, byte_ids=None, merges=None, first_id=None,
//                reference=False, interrupt_after=-1) -> list[(left, right, id)]
//   train_file_pieces(pattern, paths, lines, num_merges, specials=(), threads=0)
//       -> dict (merges and figures)
//
// `pattern` None keeps every stretch between special tokens whole. Counting
// runs without the interpreter lock; the calling thread wakes up every few
// milliseconds to run signal handlers, and a handler's exception
// (KeyboardInterrupt) stops the count and is raised. interrupt_after_bytes >= 0
// stops it as if by Ctrl-C once that many bytes are counted. interrupt_after
// >= 0 stops training after that many new merges and returns them.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pieces/piece_counter.h"
#include "pieces/piece_reference.h"
#include "pieces/piece_table.h"
#include "pieces/piece_trainer.h"
#include "encode/special_tokens.h"
#include "pieces/training_start.h"
#include "convert.h"
#include "core_errors.h"
#include "binding_table.h"
#include "internal.h"
#include "merge_table.h"
#include "pyref.h"
#include "text/make_splitter.h"

namespace brevix {

namespace {

using brevix::PyRef;
using brevix::requirePython;

[[noreturn]] void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw brevix::PythonErrorSet{};
}

// The `n` items of a sequence of exactly that length (a list or tuple view).
PyRef exactItems(PyObject* obj, Py_ssize_t n, const char* what) {
    PyRef seq(PySequence_Check(obj) && !PyBytes_Check(obj) && !PyUnicode_Check(obj)
                  ? PySequence_Fast(obj, what)
                  : nullptr);
    if (!seq && !PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, what);
    requirePython(static_cast<bool>(seq));
    if (PySequence_Fast_GET_SIZE(seq.get()) != n) raise(PyExc_TypeError, what);
    return seq;
}

// None -> the whole-stretch splitter; str -> the splitter of that pattern.
std::unique_ptr<brevix::text::Splitter> splitterFor(PyObject* pattern) {
    if (pattern == Py_None) return brevix::text::makeWholeSplitter();
    if (!PyUnicode_Check(pattern)) raise(PyExc_TypeError, "pattern must be a str or None");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(pattern, &size);
    requirePython(utf8 != nullptr);
    return brevix::text::makeSplitter(std::string_view(utf8, static_cast<std::size_t>(size)));
}

// A sequence of bytes; repeats are dropped. The ids are the tokens' indices
// (counting only needs where they are).
bpe::SpecialTokens specialTokensFromBytes(PyObject* obj) {
    PyRef seq = fastSequence(obj, "specials must be a sequence of bytes");
    std::vector<bpe::SpecialToken> tokens;
    std::vector<std::string> seen;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        std::string bytes = stringFromBytes(PySequence_Fast_GET_ITEM(seq.get(), i));
        bool repeat = false;
        for (const std::string& s : seen) repeat = repeat || s == bytes;
        if (repeat) continue;
        seen.push_back(bytes);
        tokens.push_back(bpe::SpecialToken{std::move(bytes), static_cast<bpe::TokenId>(i)});
    }
    return bpe::SpecialTokens(std::move(tokens));
}

unsigned threadCount(int threads) {
    if (threads < 0) raise(PyExc_ValueError, "threads must not be negative");
    return static_cast<unsigned>(threads);
}

// Buffers of the documents, held (and so unchangeable) while the count runs
// without the interpreter lock.
class DocumentBuffers {
public:
    DocumentBuffers() = default;
    DocumentBuffers(const DocumentBuffers&) = delete;
    DocumentBuffers& operator=(const DocumentBuffers&) = delete;
    ~DocumentBuffers() {
        for (Py_buffer& view : views_) PyBuffer_Release(&view);
    }

    void add(PyObject* document) {
        if (PyUnicode_Check(document)) raise(PyExc_TypeError, "documents must be bytes-like, not str");
        views_.emplace_back();
        if (PyObject_GetBuffer(document, &views_.back(), PyBUF_SIMPLE) != 0) {
            views_.pop_back();
            throw brevix::PythonErrorSet{};
        }
        texts_.emplace_back(static_cast<const char*>(views_.back().buf),
                            static_cast<std::size_t>(views_.back().len));
    }

    const std::vector<std::string_view>& texts() const { return texts_; }

private:
    std::vector<Py_buffer> views_;
    std::vector<std::string_view> texts_;
};

std::vector<std::string> pathsFromSequence(PyObject* obj) {
    std::vector<std::string> paths;
    auto addPath = [&paths](PyObject* path) {
        PyObject* encoded = nullptr;
        requirePython(PyUnicode_FSConverter(path, &encoded) != 0);
        PyRef owned(encoded);
        paths.emplace_back(PyBytes_AS_STRING(encoded),
                           static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
    };
    if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyObject_HasAttrString(obj, "__fspath__")) {
        addPath(obj);
        return paths;
    }
    PyRef seq = fastSequence(obj, "paths must be a path or a sequence of paths");
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        addPath(PySequence_Fast_GET_ITEM(seq.get(), i));
    }
    return paths;
}

PyObject* countsToDict(const bpe::PieceTable& table) {
    PyRef dict(PyDict_New());
    requirePython(static_cast<bool>(dict));
    table.forEach([&dict](std::string_view piece, std::uint64_t count) {
        PyRef key(PyBytes_FromStringAndSize(piece.data(), static_cast<Py_ssize_t>(piece.size())));
        requirePython(static_cast<bool>(key));
        PyRef value(PyLong_FromUnsignedLongLong(count));
        requirePython(static_cast<bool>(value));
        requirePython(PyDict_SetItem(dict.get(), key.get(), value.get()) == 0);
    });
    return dict.release();
}

// Runs a count without the interpreter lock, the calling thread taking the
// lock back every tick to run signal handlers. Returns the counts, or throws
// PythonErrorSet with the handler's exception (or KeyboardInterrupt once
// `interruptAfterBytes` >= 0 bytes are done).
template <typename Count>
bpe::PieceTable countWithoutLock(long long interruptAfterBytes, Count&& count) {
    bpe::CountControl control;
    control.tickInterval = std::chrono::milliseconds(5);
    bool signalled = false;
    PyThreadState* saved = nullptr;
    control.onTick = [&](std::uint64_t bytesDone) {
        if (interruptAfterBytes >= 0 &&
            bytesDone >= static_cast<std::uint64_t>(interruptAfterBytes)) {
            return false;
        }
        PyEval_RestoreThread(saved);
        signalled = PyErr_CheckSignals() != 0;
        saved = PyEval_SaveThread();
        return !signalled;
    };
    std::optional<bpe::PieceTable> counts;
    std::exception_ptr failure;
    saved = PyEval_SaveThread();
    try {
        counts = count(control);
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    if (failure) std::rethrow_exception(failure);
    if (!counts) {
        if (!signalled) PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw brevix::PythonErrorSet{};
    }
    return std::move(*counts);
}

PyObject* countPiecesHook(PyObject*, const BoundArgs& args) {
    const int threads = args.int32Or(3, 0);
    const long long interruptAfter = args.int64Or(4, -1);
    const auto splitter = splitterFor(args[0]);
    PyObject* specialsObj = args.objectOr(2, Py_None);
    const bpe::SpecialTokens specials =
        specialsObj == Py_None ? bpe::SpecialTokens() : specialTokensFromBytes(specialsObj);
    const bpe::SpecialMatcher matcher = bpe::SpecialMatcher::all(specials);
    PyRef seq = fastSequence(args[1], "docs must be a sequence of bytes-like objects");
    DocumentBuffers buffers;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        buffers.add(PySequence_Fast_GET_ITEM(seq.get(), i));
    }
    bpe::CountSettings settings{splitter.get(), &matcher, threadCount(threads), nullptr};
    const bpe::PieceTable counts = countWithoutLock(interruptAfter, [&](bpe::CountControl& c) {
        settings.control = &c;
        return bpe::countPieces(buffers.texts(), settings);
    });
    return countsToDict(counts);
}

bpe::FileDocuments fileDocuments(int lines) {
    return lines ? bpe::FileDocuments::kLines : bpe::FileDocuments::kWholeFile;
}

PyObject* countFilePiecesHook(PyObject*, const BoundArgs& args) {
    const bool lines = args.flag(2);
    const int threads = args.int32Or(4, 0);
    const long long interruptAfter = args.int64Or(5, -1);
    const auto splitter = splitterFor(args[0]);
    PyObject* specialsObj = args.objectOr(3, Py_None);
    const bpe::SpecialTokens specials =
        specialsObj == Py_None ? bpe::SpecialTokens() : specialTokensFromBytes(specialsObj);
    const bpe::SpecialMatcher matcher = bpe::SpecialMatcher::all(specials);
    const std::vector<std::string> paths = pathsFromSequence(args[1]);
    bpe::CountSettings settings{splitter.get(), &matcher, threadCount(threads), nullptr};
    const bpe::PieceTable counts = countWithoutLock(interruptAfter, [&](bpe::CountControl& c) {
        settings.control = &c;
        return bpe::countFilePieces(paths, fileDocuments(lines), settings);
    });
    return countsToDict(counts);
}

// A count: an int from 0 to 2**64 - 1.
std::uint64_t countFromInt(PyObject* obj) {
    if (!PyLong_Check(obj)) raise(PyExc_TypeError, "a count must be an int");
    PyRef zero(PyLong_FromLong(0));
    requirePython(static_cast<bool>(zero));
    const int sign = PyObject_RichCompareBool(obj, zero.get(), Py_LT);
    requirePython(sign >= 0);
    if (sign == 1) raise(PyExc_ValueError, "a count must not be negative");
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    requirePython(!(value == static_cast<unsigned long long>(-1) && PyErr_Occurred()));
    return value;
}

void addCountedPiece(bpe::PieceTable& table, PyObject* piece, PyObject* count) {
    const std::string bytes = stringFromBytes(piece);
    table.add(bytes, countFromInt(count));
}

// dict[bytes, int] or an iterable of (bytes, int); repeated pieces add up.
bpe::PieceTable pieceTableFromCounts(PyObject* obj) {
    bpe::PieceTable table;
    if (PyDict_Check(obj)) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(obj, &pos, &key, &value)) addCountedPiece(table, key, value);
        return table;
    }
    PyRef iterator(PyObject_GetIter(obj));
    requirePython(static_cast<bool>(iterator));
    while (PyRef item{PyIter_Next(iterator.get())}) {
        PyRef pair = exactItems(item.get(), 2, "a counted piece is (bytes, int)");
        addCountedPiece(table, PySequence_Fast_GET_ITEM(pair.get(), 0),
                        PySequence_Fast_GET_ITEM(pair.get(), 1));
    }
    requirePython(!PyErr_Occurred());
    return table;
}

bpe::TrainingStart trainingStartFromPy(PyObject* byteIds, PyObject* merges, PyObject* firstId) {
    bpe::TrainingStart start;
    if (byteIds != Py_None) {
        PyRef seq = fastSequence(byteIds, "byte_ids must be a sequence of 256 ints");
        if (PySequence_Fast_GET_SIZE(seq.get()) != 256) {
            raise(PyExc_ValueError, "byte_ids must hold 256 ids");
        }
        for (Py_ssize_t b = 0; b < 256; ++b) {
            start.byteIds[static_cast<std::size_t>(b)] = int32FromInt(PySequence_Fast_GET_ITEM(seq.get(), b));
        }
    }
    if (merges != Py_None) {
        PyRef seq = fastSequence(merges, "merges must be a sequence of (left, right, id)");
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            PyRef merge = exactItems(PySequence_Fast_GET_ITEM(seq.get(), i), 3,
                                    "a merge is (left, right, id)");
            PyObject* const* parts = PySequence_Fast_ITEMS(merge.get());
            start.merges.push_back(bpe::Merge{int32FromInt(parts[0]), int32FromInt(parts[1]), int32FromInt(parts[2])});
        }
    }
    if (firstId != Py_None) start.firstNewId = int32FromInt(firstId);
    return start;
}

std::size_t mergeCount(Py_ssize_t merges) {
    if (merges < 0) raise(PyExc_ValueError, "num_merges must not be negative");
    return static_cast<std::size_t>(merges);
}

// Trains without the interpreter lock; stops after `interruptAfter` merges
// when that is >= 0.
// `pieces` is a const reference to keep them, an rvalue to free them as soon
// as the trainer has loaded them.
template <typename Pieces>
bpe::TrainResult trainWithoutLock(Pieces&& pieces, const bpe::TrainingStart& start,
                                  std::size_t merges, bool reference, long long interruptAfter) {
    bpe::TrainResult result;
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        if (reference) {
            result.merges = bpe::trainPiecesReference(pieces, start, merges);
        } else {
            bpe::TrainSettings settings{merges, nullptr};
            if (interruptAfter >= 0) {
                settings.onMerge = [interruptAfter](const bpe::Merge&, std::size_t done) {
                    return static_cast<long long>(done) < interruptAfter;
                };
                if (interruptAfter == 0) settings.merges = 0;
            }
            result = bpe::trainPieces(std::forward<Pieces>(pieces), start, settings);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure) std::rethrow_exception(failure);
    return result;
}

PyObject* trainPiecesHook(PyObject*, const BoundArgs& args) {
    const Py_ssize_t numMerges = args.ssize(1);
    const bool reference = args.flagOr(5, false);
    const long long interruptAfter = args.int64Or(6, -1);
    const std::size_t wanted = mergeCount(numMerges);
    const bpe::TrainingStart start = trainingStartFromPy(
        args.objectOr(2, Py_None), args.objectOr(3, Py_None), args.objectOr(4, Py_None));
    const bpe::PieceTable pieces = pieceTableFromCounts(args[0]);
    const bpe::TrainResult result =
        trainWithoutLock(pieces, start, wanted, reference, interruptAfter);
    return mergesToList(result.merges);
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The figures train_file_pieces reports.
struct FileTrainingReport {
    bpe::TrainResult trained;
    std::size_t distinctPieces = 0;
    std::size_t pieceBytes = 0;
    std::size_t tableBytes = 0;
    std::uint64_t bytesCounted = 0;
    double countSeconds = 0;
    double mergeSeconds = 0;
};

PyObject* reportToDict(const FileTrainingReport& r) {
    PyRef merges(mergesToList(r.trained.merges));
    requirePython(static_cast<bool>(merges));
    return Py_BuildValue("{sOsnsnsnsnsKsdsdsn}", "merges", merges.get(), "distinct_pieces",
                         static_cast<Py_ssize_t>(r.distinctPieces), "trained_pieces",
                         static_cast<Py_ssize_t>(r.trained.pieces), "piece_bytes",
                         static_cast<Py_ssize_t>(r.pieceBytes), "table_bytes",
                         static_cast<Py_ssize_t>(r.tableBytes), "bytes_counted",
                         static_cast<unsigned long long>(r.bytesCounted), "count_seconds",
                         r.countSeconds, "merge_seconds", r.mergeSeconds, "trainer_bytes",
                         static_cast<Py_ssize_t>(r.trained.trainerBytes));
}

PyObject* trainFilePiecesHook(PyObject*, const BoundArgs& args) {
    const bool lines = args.flag(2);
    const Py_ssize_t numMerges = args.ssize(3);
    const int threads = args.int32Or(5, 0);
    const auto splitter = splitterFor(args[0]);
    PyObject* specialsObj = args.objectOr(4, Py_None);
    const bpe::SpecialTokens specials =
        specialsObj == Py_None ? bpe::SpecialTokens() : specialTokensFromBytes(specialsObj);
    const bpe::SpecialMatcher matcher = bpe::SpecialMatcher::all(specials);
    const std::vector<std::string> paths = pathsFromSequence(args[1]);
    const std::size_t wanted = mergeCount(numMerges);
    bpe::CountSettings settings{splitter.get(), &matcher, threadCount(threads), nullptr};
    FileTrainingReport report;
    auto start = std::chrono::steady_clock::now();
    bpe::PieceTable counts = countWithoutLock(-1, [&](bpe::CountControl& c) {
        settings.control = &c;
        auto counted = bpe::countFilePieces(paths, fileDocuments(lines), settings);
        report.bytesCounted = c.bytesDone.load();
        return counted;
    });
    report.countSeconds = secondsSince(start);
    report.distinctPieces = counts.size();
    report.pieceBytes = counts.pieceBytes();
    report.tableBytes = counts.memoryBytes();
    start = std::chrono::steady_clock::now();
    report.trained = trainWithoutLock(std::move(counts), bpe::TrainingStart{}, wanted, false, -1);
    report.mergeSeconds = secondsSince(start);
    return reportToDict(report);
}

}  // namespace

namespace {

const FunctionRow kRows[] = {
    {"count_pieces", {"pattern", "docs", optional("specials", "()"), optional("threads", "0"), optional("interrupt_after_bytes", "-1")}, countPiecesHook,
     "\n-> dict[bytes, int]: the pieces of in-memory documents and their counts."},
    {"count_file_pieces", {"pattern", "paths", "lines", optional("specials", "()"), optional("threads", "0"), optional("interrupt_after_bytes", "-1")}, countFilePiecesHook,
     "\n-> dict[bytes, int]: the pieces of files (whole, or one document per line)."},
    {"train_pieces", {"counts", "num_merges", optional("byte_ids", "None"), optional("merges", "None"), optional("first_id", "None"), optional("reference", "False"), optional("interrupt_after", "-1")}, trainPiecesHook,
     "-> list[(left, right, id)]: the new merges."},
    {"train_file_pieces", {"pattern", "paths", "lines", "num_merges", optional("specials", "()"), optional("threads", "0")}, trainFilePiecesHook,
     "-> dict\nCounts and trains natively; the merges with time, memory and piece figures."},
};

}  // namespace

PyMethodDef* piecesMethods() {
    return methodTable<kRows>(TableKind::ModuleFunctions);
}

}  // namespace brevix
