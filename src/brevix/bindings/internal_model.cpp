// Reading and restoring the merge table of a PyBytePairTokenizer, for
// brevix.model (saving and loading models).
//
//   get_merges(tok) -> list[tuple[int, int, int]]   (left, right, id), id order
//   set_merges(tok, merges) -> None                  replaces the core state
//
// A merge table is fully described by its merges in id order: encoding looks
// pairs up by key only and training recounts its statistics from scratch, so
// restoring the merges through updateVocab in id order gives a tokenizer that
// behaves exactly like the one they were read from.
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "internal.h"
#include "pytokenizer.h"

namespace {

// Owns one reference to a Python object; releases it on scope exit.
class PyRef {
public:
    // Takes over a new reference (may be null: the call that made it failed).
    explicit PyRef(PyObject* owned = nullptr) noexcept : p_(owned) {}
    ~PyRef() { Py_XDECREF(p_); }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (typically back to Python).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    PyObject* p_;
};

constexpr int kFirstMergeId = 256;

struct Merge {
    int left;
    int right;
    int id;
};

// Returns the tokenizer object, or null with TypeError set when `obj` is not
// a brevix.tokenizer.PyBytePairTokenizer (or subclass). The class is looked up
// on every call so that the check follows the module actually imported.
PyBytePairTokenizerObject* asTokenizer(PyObject* obj) {
    PyRef module(PyImport_ImportModule("brevix.tokenizer"));
    if (!module) return nullptr;
    PyRef cls(PyObject_GetAttrString(module.get(), "PyBytePairTokenizer"));
    if (!cls) return nullptr;
    if (!PyType_Check(cls.get())) {
        PyErr_SetString(PyExc_TypeError,
                        "brevix.tokenizer.PyBytePairTokenizer is not a class");
        return nullptr;
    }
    if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(cls.get()))) {
        PyErr_Format(PyExc_TypeError, "expected a PyBytePairTokenizer, got %.200s",
                     Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    return reinterpret_cast<PyBytePairTokenizerObject*>(obj);
}

// Sets the pending Python exception for a C++ exception caught by the caller.
void translateCurrentException() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
    }
}

// ---- get_merges ---------------------------------------------------------

PyObject* mergeToTuple(const DTYPE_BYTEPAIR& pair, int id) {
    return Py_BuildValue("(iii)", pair[0], pair[1], id);
}

PyObject* getMerges(PyObject* /*module*/, PyObject* arg) {
    PyBytePairTokenizerObject* tok = asTokenizer(arg);
    if (tok == nullptr) return nullptr;
    const bytepairtokenizer::BytePairTokenizer& core = tok->c_bpt;

    const Py_ssize_t count = core.nextVocabIndex - kFirstMergeId;
    PyRef result(PyList_New(count > 0 ? count : 0));
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const int id = static_cast<int>(kFirstMergeId + i);
        auto entry = core.revVocab.find(id);
        if (entry == core.revVocab.end()) {
            // The core keeps ids 256..nextVocabIndex-1 in revVocab; a gap
            // means the state was damaged, which must not pass silently.
            PyErr_Format(PyExc_RuntimeError, "merge table has no entry for id %d", id);
            return nullptr;
        }
        PyObject* item = mergeToTuple(entry->second, id);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(result.get(), i, item);  // steals item
    }
    return result.release();
}

// ---- set_merges ---------------------------------------------------------

// Reads one int field of a merge; ValueError when it is outside int32.
bool readInt32Field(PyObject* value, Py_ssize_t index, const char* field, int& out) {
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "merge %zd: %s must be an int, not %.200s", index,
                     field, Py_TYPE(value)->tp_name);
        return false;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
        PyErr_Format(PyExc_ValueError,
                     "merge %zd: %s %R is outside the signed 32-bit range", index, field,
                     value);
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

// Reads (left, right, id) from any sequence of exactly three ints.
bool readMerge(PyObject* item, Py_ssize_t index, Merge& out) {
    PyRef fields(PySequence_Fast(item, "each merge must be a (left, right, id) sequence"));
    if (!fields) return false;
    if (PySequence_Fast_GET_SIZE(fields.get()) != 3) {
        PyErr_Format(PyExc_ValueError, "merge %zd: expected 3 fields, got %zd", index,
                     PySequence_Fast_GET_SIZE(fields.get()));
        return false;
    }
    PyObject** f = PySequence_Fast_ITEMS(fields.get());
    return readInt32Field(f[0], index, "left", out.left) &&
           readInt32Field(f[1], index, "right", out.right) &&
           readInt32Field(f[2], index, "id", out.id);
}

std::uint64_t pairKey(int left, int right) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(left)) << 32) |
           static_cast<std::uint32_t>(right);
}

// Checks what the core's invariants need: ids 256, 257, ... in order and no
// pair recorded twice (updateVocab would silently skip a repeated pair and
// every later id would shift).
bool validateMerges(const std::vector<Merge>& merges) {
    std::unordered_set<std::uint64_t> seen;
    seen.reserve(merges.size());
    for (std::size_t i = 0; i < merges.size(); ++i) {
        const Merge& m = merges[i];
        const long long expected = kFirstMergeId + static_cast<long long>(i);
        if (m.id != expected) {
            PyErr_Format(PyExc_ValueError, "merge %zu: id %d, expected %lld", i, m.id,
                         expected);
            return false;
        }
        if (!seen.insert(pairKey(m.left, m.right)).second) {
            PyErr_Format(PyExc_ValueError, "merge %zu: pair (%d, %d) is already merged", i,
                         m.left, m.right);
            return false;
        }
    }
    return true;
}

bool readMerges(PyObject* obj, std::vector<Merge>& out) {
    PyRef items(PySequence_Fast(obj, "merges must be a sequence of (left, right, id)"));
    if (!items) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    if (n > static_cast<Py_ssize_t>(INT32_MAX) - kFirstMergeId) {
        PyErr_SetString(PyExc_ValueError, "too many merges for 32-bit token ids");
        return false;
    }
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Merge m{};
        if (!readMerge(PySequence_Fast_GET_ITEM(items.get(), i), i, m)) return false;
        out.push_back(m);
    }
    return validateMerges(out);
}

// Records the merges in a fresh core tokenizer, in id order.
bytepairtokenizer::BytePairTokenizer buildTokenizer(const std::vector<Merge>& merges) {
    bytepairtokenizer::BytePairTokenizer fresh;
    for (const Merge& m : merges) {
        const DTYPE_BYTEPAIR pair{m.left, m.right};
        updateVocab(fresh.vocab, fresh.revVocab, pair, fresh.nextVocabIndex,
                    fresh.vocabSize);
    }
    return fresh;
}

PyObject* setMerges(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "set_merges() takes exactly 2 arguments (%zd given)",
                     nargs);
        return nullptr;
    }
    PyBytePairTokenizerObject* tok = asTokenizer(args[0]);
    if (tok == nullptr) return nullptr;

    try {
        std::vector<Merge> merges;
        if (!readMerges(args[1], merges)) return nullptr;
        bytepairtokenizer::BytePairTokenizer fresh = buildTokenizer(merges);
        // Swapping member by member cannot throw, so the tokenizer is either
        // fully replaced or left exactly as it was.
        bytepairtokenizer::BytePairTokenizer& core = tok->c_bpt;
        core.vocab.swap(fresh.vocab);
        core.revVocab.swap(fresh.revVocab);
        std::swap(core.nextVocabIndex, fresh.nextVocabIndex);
        std::swap(core.vocabSize, fresh.vocabSize);
        core.rebuildTableIndex();  // never throws; a stale index is only slower
    } catch (...) {
        translateCurrentException();
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef brevix_model_methods[] = {
    {"get_merges", getMerges, METH_O,
     "get_merges(tok) -> list of (left, right, id) in id order"},
    {"set_merges", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(setMerges)),
     METH_FASTCALL,
     "set_merges(tok, merges): replace tok's merge table by exactly these merges\n"
     "(ids consecutive from 256); ValueError leaves tok unchanged"},
    {nullptr, nullptr, 0, nullptr},
};
