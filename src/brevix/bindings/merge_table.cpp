#include "merge_table.h"

#include <utility>
#include <vector>

#include "convert.h"
#include "core_errors.h"
#include "pyref.h"
#include "straightforward.h"

namespace brevix {

namespace {

constexpr int kFirstMergeId = 256;

struct Merge {
    int left;
    int right;
    int id;
};

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
bool readMerge(PyObject* item, Py_ssize_t index, Merge& out) {
    PyRef fields(PySequence_Fast(item, "each merge must be a (left, right, id) sequence"));
    if (!fields) return false;
    if (PySequence_Fast_GET_SIZE(fields.get()) != 3) {
        PyErr_Format(PyExc_ValueError, "merge %zd: expected 3 fields, got %zd", index,
                     PySequence_Fast_GET_SIZE(fields.get()));
        return false;
    }
    PyObject** f = PySequence_Fast_ITEMS(fields.get());
    return readField(f[0], index, "left", out.left) &&
           readField(f[1], index, "right", out.right) && readField(f[2], index, "id", out.id);
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
    return true;
}

// Records the merges in id order. The core skips a pair it already knows,
// which would shift every later id, so a repeated pair is refused here.
bool recordMerges(const std::vector<Merge>& merges, bytepairtokenizer::BytePairTokenizer& tok) {
    for (std::size_t i = 0; i < merges.size(); ++i) {
        const Merge& m = merges[i];
        if (m.id != tok.nextVocabIndex) {
            PyErr_Format(PyExc_ValueError, "merge %zu: id %d, expected %d", i, m.id,
                         tok.nextVocabIndex);
            return false;
        }
        updateVocab(tok.vocab, tok.revVocab, DTYPE_BYTEPAIR{m.left, m.right}, tok.nextVocabIndex,
                    tok.vocabSize);
        if (tok.nextVocabIndex != m.id + 1) {
            PyErr_Format(PyExc_ValueError, "merge %zu: pair (%d, %d) is already merged", i,
                         m.left, m.right);
            return false;
        }
    }
    return true;
}

}  // namespace

PyObject* mergesToList(const bytepairtokenizer::BytePairTokenizer& tokenizer) {
    const Py_ssize_t count = tokenizer.nextVocabIndex - kFirstMergeId;
    PyRef result(PyList_New(count > 0 ? count : 0));
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const int id = static_cast<int>(kFirstMergeId + i);
        const auto entry = tokenizer.revVocab.find(id);
        if (entry == tokenizer.revVocab.end()) {
            // The core keeps ids 256..nextVocabIndex-1 in revVocab; a gap
            // means the state was damaged, which must not pass silently.
            PyErr_Format(PyExc_RuntimeError, "merge table has no entry for id %d", id);
            return nullptr;
        }
        PyObject* item = Py_BuildValue("(iii)", entry->second[0], entry->second[1], id);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(result.get(), i, item);  // steals item
    }
    return result.release();
}

bool mergesFromPy(PyObject* merges, bytepairtokenizer::BytePairTokenizer& fresh) {
    std::vector<Merge> read;
    bool recorded = false;
    const bool ran = callCore([&] {
        recorded = readMerges(merges, read) && recordMerges(read, fresh);
    });
    return ran && recorded;
}

void replaceMerges(bytepairtokenizer::BytePairTokenizer& target,
                   bytepairtokenizer::BytePairTokenizer& fresh) noexcept {
    // Member by member: swapping the tables and counters cannot throw.
    target.vocab.swap(fresh.vocab);
    target.revVocab.swap(fresh.revVocab);
    std::swap(target.nextVocabIndex, fresh.nextVocabIndex);
    std::swap(target.vocabSize, fresh.vocabSize);
}

}  // namespace brevix
