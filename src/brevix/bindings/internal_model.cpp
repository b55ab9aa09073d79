// Reading and restoring the merge table of a PyBytePairTokenizer, for
// brevix.model (saving and loading models).
//
//   get_merges(tok) -> list[tuple[int, int, int]]   (left, right, id), id order
//   set_merges(tok, merges) -> None                  replaces the core state
#include <optional>

#include "core_errors.h"
#include "internal.h"
#include "merge_table.h"
#include "method_table.h"
#include "pyref.h"
#include "pytokenizer.h"

namespace {

using bytepairtokenizer::BytePairTokenizer;

// brevix.tokenizer.PyBytePairTokenizer, looked up at the first call and kept
// for the life of the process: brevix.tokenizer is initialised once per
// process and its class never changes.
PyTypeObject* tokenizerType() {
    static PyObject* cls = nullptr;
    if (cls) return reinterpret_cast<PyTypeObject*>(cls);
    brevix::PyRef module(PyImport_ImportModule("brevix.tokenizer"));
    if (!module) return nullptr;
    brevix::PyRef found(PyObject_GetAttrString(module.get(), "PyBytePairTokenizer"));
    if (!found) return nullptr;
    if (!PyType_Check(found.get())) {
        PyErr_SetString(PyExc_TypeError, "brevix.tokenizer.PyBytePairTokenizer is not a class");
        return nullptr;
    }
    cls = found.release();
    return reinterpret_cast<PyTypeObject*>(cls);
}

// The tokenizer object, or null with TypeError set when `obj` is not a
// brevix.tokenizer.PyBytePairTokenizer (or subclass).
PyBytePairTokenizerObject* asTokenizer(PyObject* obj) {
    PyTypeObject* type = tokenizerType();
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(obj, type)) {
        PyErr_Format(PyExc_TypeError, "expected a PyBytePairTokenizer, got %.200s",
                     Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    return reinterpret_cast<PyBytePairTokenizerObject*>(obj);
}

PyObject* getMerges(PyObject* /*module*/, PyObject* arg) {
    PyBytePairTokenizerObject* tok = asTokenizer(arg);
    if (tok == nullptr) return nullptr;
    return brevix::mergesToList(tok->c_bpt);
}

PyObject* setMerges(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "set_merges() takes exactly 2 arguments (%zd given)",
                     nargs);
        return nullptr;
    }
    PyBytePairTokenizerObject* tok = asTokenizer(args[0]);
    if (tok == nullptr) return nullptr;
    std::optional<BytePairTokenizer> fresh;
    if (!brevix::callCore([&] { fresh.emplace(); })) return nullptr;
    if (!brevix::mergesFromPy(args[1], *fresh)) return nullptr;
    brevix::replaceMerges(tok->c_bpt, *fresh);
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef brevix_model_methods[] = {
    {"get_merges", getMerges, METH_O, "get_merges(tok) -> list of (left, right, id) in id order"},
    {"set_merges", brevix::fastcall(setMerges), METH_FASTCALL,
     "set_merges(tok, merges): replace tok's merge table by exactly these merges\n"
     "(ids consecutive from 256); ValueError leaves tok unchanged"},
    {nullptr, nullptr, 0, nullptr},
};
