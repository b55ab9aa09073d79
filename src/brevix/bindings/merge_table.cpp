#include "merge_table.h"

#include <optional>
#include <utility>
#include <vector>

#include "convert.h"
#include "core_errors.h"
#include "pyref.h"
#include "pytokenizer.h"
#include "exact/straightforward.h"

namespace brevix {

namespace {

constexpr int kFirstMergeId = 256;

// One field of a merge: an int inside the signed 32-bit range.
bool readField(PyObject* value, Py_ssize_t index, const char* field, int& out) {
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "merge %zd: %s must be an int, not %.200s", index, field,
                     Py_TYPE(value)->tp_name);
        return false;
    }
    switch (readInt32(value, out)) {
        case Int32Read::Read:
            return true;
        case Int32Read::OutOfRange:
            PyErr_Format(PyExc_ValueError, "merge %zd: %s %R is outside the signed 32-bit range",
                         index, field, value);
            return false;
        case Int32Read::Failed:
            break;
    }
    return false;
}

// (left, right, id) from any sequence of exactly three ints.
bool readMerge(PyObject* item, Py_ssize_t index, MergeTriple& out) {
    PyRef fields(PySequence_Fast(item, "each merge must be a (left, right, id) sequence"));
    if (!fields) return false;
    if (PySequence_Fast_GET_SIZE(fields.get()) != 3) {
        PyErr_Format(PyExc_ValueError, "merge %zd: expected 3 fields, got %zd", index,
                     PySequence_Fast_GET_SIZE(fields.get()));
        return false;
    }
    PyObject** f = PySequence_Fast_ITEMS(fields.get());
    return readField(f[0], index, "left", out[0]) && readField(f[1], index, "right", out[1]) &&
           readField(f[2], index, "id", out[2]);
}

}  // namespace

bool mergesFromPy(PyObject* obj, std::vector<MergeTriple>& out) {
    PyRef items(PySequence_Fast(obj, "merges must be a sequence of (left, right, id)"));
    if (!items) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    if (n > static_cast<Py_ssize_t>(INT32_MAX) - kFirstMergeId) {
        PyErr_SetString(PyExc_ValueError, "too many merges for 32-bit token ids");
        return false;
    }
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        MergeTriple m{};
        if (!readMerge(PySequence_Fast_GET_ITEM(items.get(), i), i, m)) return false;
        out.push_back(m);
    }
    return true;
}

namespace {

// A new list of (left, right, id) tuples, one for each merge, its fields as
// `fieldsOf` gives them.
template <typename Merge, typename FieldsOf>
PyObject* tripleList(const std::vector<Merge>& merges, FieldsOf fieldsOf) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(merges.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < merges.size(); ++i) {
        const MergeTriple m = fieldsOf(merges[i]);
        PyObject* item = Py_BuildValue("(iii)", m[0], m[1], m[2]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
}

}  // namespace

PyObject* mergesToList(const std::vector<MergeTriple>& merges) {
    return tripleList(merges, [](const MergeTriple& m) { return m; });
}

PyObject* mergesToList(const std::vector<bpe::Merge>& merges) {
    return tripleList(merges, [](const bpe::Merge& m) { return MergeTriple{m.left, m.right, m.id}; });
}

namespace {

// Records the merges in id order. The core skips a pair it already knows,
// which would shift every later id, so a repeated pair is refused here.
bool recordMerges(const std::vector<MergeTriple>& merges,
                  bytepairtokenizer::BytePairTokenizer& tok) {
    for (std::size_t i = 0; i < merges.size(); ++i) {
        const auto [left, right, id] = merges[i];
        if (id != tok.nextVocabIndex) {
            PyErr_Format(PyExc_ValueError, "merge %zu: id %d, expected %d", i, id,
                         tok.nextVocabIndex);
            return false;
        }
        updateVocab(tok.vocab, tok.revVocab, DTYPE_BYTEPAIR{left, right}, tok.nextVocabIndex,
                    tok.vocabSize);
        if (tok.nextVocabIndex != id + 1) {
            PyErr_Format(PyExc_ValueError, "merge %zu: pair (%d, %d) is already merged", i, left,
                         right);
            return false;
        }
    }
    tok.refreshTableIndex();
    return true;
}

}  // namespace

PyObject* mergesToList(const bytepairtokenizer::BytePairTokenizer& tokenizer) {
    std::vector<MergeTriple> merges;
    const int count = tokenizer.nextVocabIndex - kFirstMergeId;
    const bool ran = callCore([&] {
        merges.reserve(static_cast<std::size_t>(count > 0 ? count : 0));
        for (int id = kFirstMergeId; id < tokenizer.nextVocabIndex; ++id) {
            const auto entry = tokenizer.revVocab.find(id);
            if (entry == tokenizer.revVocab.end()) {
                // The core keeps ids 256..nextVocabIndex-1 in revVocab; a gap
                // means the state was damaged, which must not pass silently.
                PyErr_Format(PyExc_RuntimeError, "merge table has no entry for id %d", id);
                throw PythonErrorSet{};
            }
            merges.push_back(MergeTriple{entry->second[0], entry->second[1], id});
        }
    });
    return ran ? mergesToList(merges) : nullptr;
}

bool mergesFromPy(PyObject* merges, bytepairtokenizer::BytePairTokenizer& fresh) {
    std::vector<MergeTriple> read;
    bool recorded = false;
    const bool ran = callCore([&] {
        recorded = mergesFromPy(merges, read) && recordMerges(read, fresh);
    });
    return ran && recorded;
}

void replaceMerges(bytepairtokenizer::BytePairTokenizer& target,
                   bytepairtokenizer::BytePairTokenizer& fresh) noexcept {
    target.swapTables(fresh);
}

PyObject* lowLevelMerges(PyObject*, const BoundArgs& args) {
    PyBytePairTokenizerObject* low = asLowLevelTokenizer(args[0]);
    if (low == nullptr) return nullptr;
    return mergesToList(low->c_bpt);
}

PyObject* setLowLevelMerges(PyObject*, const BoundArgs& args) {
    PyBytePairTokenizerObject* low = asLowLevelTokenizer(args[0]);
    if (low == nullptr) return nullptr;
    std::optional<bytepairtokenizer::BytePairTokenizer> fresh;
    if (!callCore([&] { fresh.emplace(); })) return nullptr;
    if (!mergesFromPy(args[1], *fresh)) return nullptr;
    replaceMerges(low->c_bpt, *fresh);
    Py_RETURN_NONE;
}

// brevix.tokenizer.PyBytePairTokenizer, looked up at the first call and kept
// for the life of the process (in each extension module): brevix.tokenizer is
// initialised once per process and its class never changes.
PyBytePairTokenizerObject* asLowLevelTokenizer(PyObject* obj) {
    static PyObject* cls = nullptr;
    if (cls == nullptr) {
        PyRef module(PyImport_ImportModule("brevix.tokenizer"));
        if (!module) return nullptr;
        PyRef found(PyObject_GetAttrString(module.get(), "PyBytePairTokenizer"));
        if (!found) return nullptr;
        if (!PyType_Check(found.get())) {
            PyErr_SetString(PyExc_TypeError, "brevix.tokenizer.PyBytePairTokenizer is not a class");
            return nullptr;
        }
        cls = found.release();
    }
    if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(cls))) {
        PyErr_Format(PyExc_TypeError, "expected a PyBytePairTokenizer, got %.200s",
                     Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    auto* tokenizer = reinterpret_cast<PyBytePairTokenizerObject*>(obj);
    return refuseWhileFitting(tokenizer) ? tokenizer : nullptr;
}

bool refuseWhileFitting(PyBytePairTokenizerObject* obj) {
    if (!obj->fitting) return true;
    PyErr_SetString(PyExc_RuntimeError,
                    "the tokenizer is fitting: it cannot be used from a signal handler that "
                    "fit runs");
    return false;
}

}  // namespace brevix
