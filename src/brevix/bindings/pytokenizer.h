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
