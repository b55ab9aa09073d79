// CoreTokenizer.train: the core trains under the engine's exclusive lock
// without the interpreter lock, which a poll takes back now and then to run
// signal handlers and report progress.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <exception>
#include <functional>
#include <iostream>
#include <ostream>

#include "convert.h"
#include "core_calls.h"
#include "core_ids.h"
#include "core_pieces.h"
#include "pieces/piece_trainer.h"
#include "pieces/training_start.h"
#include "pyref.h"

namespace brevix {

namespace {

// Polled by the core between merges, without the interpreter lock. At most
// every kPollInterval it takes the lock back to run pending signal handlers
// and report progress; any Python exception (KeyboardInterrupt from Ctrl-C,
// or one raised by the callback) stops training and stays pending.
class TrainingPoll {
public:
    static constexpr std::chrono::milliseconds kPollInterval{25};

    TrainingPoll(GilReleased& gil, const CoreEngine& engine, PyObject* progress, int total)
        : gil_(gil), engine_(engine), progress_(progress), total_(total) {}

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
        const int done = engine_.trainingDone();
        PyRef result(PyObject_CallFunction(progress_, "ii", done, total_));
        return static_cast<bool>(result);
    }

private:
    GilReleased& gil_;
    const CoreEngine& engine_;
    PyObject* progress_;
    int total_;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace

// train(data, regular_size, progress, trace): data is a contiguous buffer;
// training stops when 256 + merges reach regular_size. Returns None, or the
// merge it stopped before because its bytes are those of another token.
PyObject* coreTrain(PyObject* self, const BoundArgs& args) {
    if (!refuseReentry(self)) return nullptr;
    int vocabSize = 0;
    const Int32Read read = readInt32(args[1], vocabSize);
    if (read == Int32Read::Failed) return nullptr;
    if (read == Int32Read::OutOfRange || vocabSize < 257) {
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
    WriteLock lock;
    if (!takeEngineLock(engine.lock(), lock)) return nullptr;
    // Already as large as asked: nothing to learn. (The low-level fit would
    // still record one more merge before checking the size.)
    const int regular = kFirstMergeId + static_cast<int>(engine.vocabulary().merges().size());
    if (regular >= vocabSize) Py_RETURN_NONE;
    const int total = vocabSize - regular;
    engine.setTrainingDone(0);
    std::ostream quiet(nullptr);
    std::ostream& out = trace ? std::cout : quiet;
    std::exception_ptr error;
    std::string repeat;
    {
        GilReleased gil;
        TrainingPoll poll(gil, engine, progress, total);
        try {
            repeat = engine.train(reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                         vocabSize, out, std::ref(poll));
        } catch (...) {
            error = std::current_exception();
        }
        if (trace) std::cout.flush();
        gil.reacquire();
        if (!error && !PyErr_Occurred()) poll.report();
        gil.release();
    }
    if (translateCapturedException(error) || PyErr_Occurred()) return nullptr;
    if (repeat.empty()) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(repeat.data(), static_cast<Py_ssize_t>(repeat.size()));
}

// train_pieces(counter, regular_size, progress): merges learned from the
// counter's piece counts until 256 + merges reach regular_size, continuing
// from the merges the tokenizer has; those learned before an interrupt are
// kept.
PyObject* coreTrainPieces(PyObject* self, const BoundArgs& args) {
    if (!refuseReentry(self)) return nullptr;
    const bpe::PieceTable* pieces = pieceTableOf(args[0]);
    if (pieces == nullptr) return nullptr;
    int regularSize = 0;
    if (readInt32(args[1], regularSize) != Int32Read::Read) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "regular_size out of range");
        return nullptr;
    }
    PyObject* progress = args[2];
    if (progress != Py_None && !PyCallable_Check(progress)) {
        PyErr_SetString(PyExc_TypeError, "progress must be callable or None");
        return nullptr;
    }
    CoreEngine& engine = engineOf(self);
    WriteLock lock;
    if (!takeEngineLock(engine.lock(), lock)) return nullptr;
    const int regular = kFirstMergeId + static_cast<int>(engine.vocabulary().merges().size());
    if (regular >= regularSize) Py_RETURN_NONE;
    bpe::TrainingStart start;
    std::exception_ptr error;
    std::vector<bpe::Merge> learned;
    engine.setTrainingDone(0);
    {
        GilReleased gil;
        TrainingPoll poll(gil, engine, progress, regularSize - regular);
        try {
            start.byteIds = engine.byteIds();
            start.merges = engine.vocabulary().merges();
            start.firstNewId = regular;
            learned.reserve(std::min<std::size_t>(static_cast<std::size_t>(regularSize - regular), 1 << 16));
            bpe::TrainSettings settings;
            settings.merges = static_cast<std::size_t>(regularSize - regular);
            settings.onMerge = [&](const bpe::Merge& merge, std::size_t done) {
                learned.push_back(merge);
                engine.setTrainingDone(static_cast<int>(done));
                return !poll();
            };
            bpe::trainPieces(*pieces, start, settings);
        } catch (...) {
            error = std::current_exception();
        }
        // What was learned stays, also when a later merge failed.
        try {
            engine.appendMerges(learned);
        } catch (...) {
            if (!error) error = std::current_exception();
        }
        gil.reacquire();
        if (!error && !PyErr_Occurred()) poll.report();
        gil.release();
    }
    if (translateCapturedException(error) || PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace brevix
