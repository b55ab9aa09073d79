// What the parts of brevix._core share: the object layout, taking the
// interpreter lock and the engine lock in the right order, running core work
// with C++ exceptions turned into Python ones, and the methods each file
// defines for the type and module tables (core_module.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstddef>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "binding_table.h"
#include "engine/engine.h"
#include "core_errors.h"

namespace brevix {

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
inline constexpr std::size_t kReleaseAbove = 1 << 16;

// How long a wait for the engine lock goes before pending signals are run.
inline constexpr std::chrono::milliseconds kSignalCheckInterval{50};

// Waits for `takeWithin(slice)` to succeed, in slices of
// kSignalCheckInterval, without the interpreter lock (the thread training
// may need it to report progress); pending signal handlers run between
// slices, so Ctrl-C reaches a thread waiting for a long training. The
// interpreter lock is held on entry and on exit. False with the handler's
// exception set.
template <typename TakeWithin>
inline bool waitWithSignals(TakeWithin&& takeWithin) {
    for (;;) {
        bool taken = false;
        {
            GilReleased released;
            taken = takeWithin(kSignalCheckInterval);
        }
        if (taken) return true;
        if (PyErr_CheckSignals() != 0) return false;
    }
}

using ReadLock = std::shared_lock<WriterFirstMutex>;
using WriteLock = std::unique_lock<WriterFirstMutex>;

// Takes the engine lock shared into `lock` (see waitWithSignals). Readers
// wait behind a waiting writer.
inline bool takeEngineLock(WriterFirstMutex& mutex, ReadLock& lock) {
    lock = ReadLock(mutex, std::defer_lock);
    if (lock.try_lock()) return true;
    return waitWithSignals([&](std::chrono::milliseconds slice) { return lock.try_lock_for(slice); });
}

// Takes the engine lock exclusively into `lock` (see waitWithSignals). The
// writer stays registered for its whole wait, so readers that arrive while
// it waits queue behind it: overlapping long reads cannot keep it out.
inline bool takeEngineLock(WriterFirstMutex& mutex, WriteLock& lock) {
    lock = WriteLock(mutex, std::defer_lock);
    if (lock.try_lock()) return true;
    WriterFirstMutex::WriterWait wait(mutex);
    if (!waitWithSignals([&](std::chrono::milliseconds slice) { return wait.lockWithin(slice); })) {
        return false;
    }
    lock = WriteLock(mutex, std::adopt_lock);
    return true;
}

// Runs `work` (which must not touch Python objects) with the interpreter lock
// released when `release` is true. False with a Python exception set when it
// threw.
template <typename Work>
inline bool runCore(bool release, Work&& work) {
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
    return !translateCapturedException(error);
}

// Texts of the tokens its streams have decoded (core_stream.cpp).
struct TokenTexts;

struct CoreTokenizerObject {
    PyObject_HEAD
    // Constructed in place by tp_new once the object is allocated and
    // destroyed by tp_dealloc when `constructed` says it was.
    CoreEngine engine;
    bool constructed;   // engine is constructed (tp_alloc zeroes the rest)
    TokenTexts* texts;  // made by the first stream that needs it; may be null
};

// Frees what CoreTokenizerObject::texts holds (null is fine).
void dropTokenTexts(TokenTexts* texts) noexcept;

inline CoreEngine& engineOf(PyObject* self) {
    return reinterpret_cast<CoreTokenizerObject*>(self)->engine;
}

// What one brevix._core module object holds: its types (strong references),
// one set per module object, so two module objects made from the one
// definition never share a type.
struct CoreModuleState {
    PyObject* coreTokenizerType;
    PyObject* pieceCounterType;
};

// The definition of brevix._core (core_module.cpp).
extern PyModuleDef coreModuleDef;

// The state of the brevix._core module that made `type` (or a base of it),
// or null when no such module made it. Never sets an exception.
CoreModuleState* coreModuleStateOf(PyTypeObject* type);

// True for a CoreTokenizer (or an instance of a subclass).
bool isCoreTokenizer(PyObject* obj);

// False with RuntimeError set when called from the progress callback of this
// tokenizer's own training, which would wait for itself.
bool refuseReentry(PyObject* self);

// Puts "<label>[index]: " in front of the pending exception's message.
void prefixPendingError(const char* label, std::size_t index);

// Methods of CoreTokenizer (core_codec.cpp, core_training.cpp).
PyObject* coreEncode(PyObject* self, const BoundArgs& args);
PyObject* coreEncodeBatch(PyObject* self, const BoundArgs& args);
PyObject* coreCount(PyObject* self, const BoundArgs& args);
PyObject* coreCountBatch(PyObject* self, const BoundArgs& args);
PyObject* coreEncodeOffsets(PyObject* self, const BoundArgs& args);
PyObject* coreDecode(PyObject* self, PyObject* ids);
PyObject* coreDecodeBatch(PyObject* self, const BoundArgs& args);
PyObject* coreTokenBytes(PyObject* self, const BoundArgs& args);
PyObject* coreTrain(PyObject* self, const BoundArgs& args);
PyObject* coreTrainPieces(PyObject* self, const BoundArgs& args);

}  // namespace brevix
