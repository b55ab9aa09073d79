// The class PyBytePairTokenizer: its type object, the life of its instances
// and the function objects that make up its methods.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "pytokenizer.h"

namespace brevix {

extern PyTypeObject PyBytePairTokenizerType;

// PyType_Ready on the class; from then on its attributes are fixed from Python.
bool readyTokenizerType();

// Moves __reduce_cython__ and __setstate_cython__ of the class to __reduce__
// and __setstate__, so pickling and copying meet the refusal.
bool installPicklingRefusal();

// Puts `function` into the class namespace under `name`, replacing any entry.
bool setClassAttribute(const char* name, PyObject* function);

// The core tokenizer inside an instance (of the class or a subclass).
inline bytepairtokenizer::BytePairTokenizer& coreOf(PyObject* self) {
    return reinterpret_cast<PyBytePairTokenizerObject*>(self)->c_bpt;
}

inline PyBytePairTokenizerObject* instanceOf(PyObject* self) {
    return reinterpret_cast<PyBytePairTokenizerObject*>(self);
}

}  // namespace brevix
