// Conversions with the low-level class: reading and replacing the merge table
// of a brevix.tokenizer.PyBytePairTokenizer.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>
#include <vector>

#include "core_calls.h"
#include "pyref.h"
#include "pytokenizer.h"

namespace brevix {

namespace {

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

}  // namespace

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

}  // namespace brevix
