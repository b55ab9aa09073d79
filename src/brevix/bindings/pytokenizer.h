// Layout of a PyBytePairTokenizer instance, shared by the public module and
// the private _internal module (which reads and restores merge tables).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "tokenizer.h"

struct PyBytePairTokenizerObject {
    PyObject_HEAD
    // Constructed in place at allocation, destroyed at deallocation.
    bytepairtokenizer::BytePairTokenizer c_bpt;
};

namespace brevix {

// The instance behind `obj` when it is a brevix.tokenizer.PyBytePairTokenizer
// (or subclass), else null with TypeError set. The class is looked up once,
// not imported again on every call (merge_table.cpp).
PyBytePairTokenizerObject* asLowLevelTokenizer(PyObject* obj);

}  // namespace brevix
