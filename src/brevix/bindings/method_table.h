// Entries of a PyMethodDef table for functions with any of the C API's
// calling conventions, without a cast at every row:
//
//   {"set_merges", brevix::fastcall(setMerges), METH_FASTCALL, "doc"},
//   {"train", brevix::withKeywords(train), METH_VARARGS | METH_KEYWORDS, "doc"},
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace brevix {

using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);
using FastcallKeywordsFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t,
                                               PyObject*);
using KeywordsFunction = PyObject* (*)(PyObject*, PyObject*, PyObject*);

// The interpreter calls through the PyCFunction slot with the signature the
// flags name; the cast goes through a generic function pointer type so that
// -Wcast-function-type stays quiet.
template <typename Function>
PyCFunction asMethodSlot(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// METH_FASTCALL
inline PyCFunction fastcall(FastcallFunction f) { return asMethodSlot(f); }
// METH_FASTCALL | METH_KEYWORDS
inline PyCFunction fastcallWithKeywords(FastcallKeywordsFunction f) { return asMethodSlot(f); }
// METH_VARARGS | METH_KEYWORDS
inline PyCFunction withKeywords(KeywordsFunction f) { return asMethodSlot(f); }

}  // namespace brevix
