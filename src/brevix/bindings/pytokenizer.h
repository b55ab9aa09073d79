// Layout of a PyBytePairTokenizer instance, shared by the public module and
// the private _internal module (which reads and restores merge tables).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "exact/tokenizer.h"

struct PyBytePairTokenizerObject {
    PyObject_HEAD
    // Constructed in place at allocation, destroyed at deallocation.
    bytepairtokenizer::BytePairTokenizer c_bpt;
    // A fit is running on this instance (zeroed by the allocation). Python
    // code that fit runs between merges (signal handlers) must not reach
    // the tables it is training.
    bool fitting;
};

namespace brevix {

// The instance behind `obj` when it is a brevix.tokenizer.PyBytePairTokenizer
// (or subclass), else null with TypeError set. The class is looked up once,
// not imported again on every call (merge_table.cpp).
// Refused (null with RuntimeError) while the instance is fitting, as for
// every use of the instance from a signal handler that fit runs.
PyBytePairTokenizerObject* asLowLevelTokenizer(PyObject* obj);

// False with RuntimeError set when `obj`, a PyBytePairTokenizer, is fitting:
// a signal handler run between merges may not use or change the tables fit
// is training.
bool refuseWhileFitting(PyBytePairTokenizerObject* obj);

// Marks an instance as fitting for a scope.
class FittingMark {
public:
    explicit FittingMark(PyBytePairTokenizerObject* obj) : obj_(obj) { obj_->fitting = true; }
    ~FittingMark() { obj_->fitting = false; }
    FittingMark(const FittingMark&) = delete;
    FittingMark& operator=(const FittingMark&) = delete;

private:
    PyBytePairTokenizerObject* obj_;
};

}  // namespace brevix
