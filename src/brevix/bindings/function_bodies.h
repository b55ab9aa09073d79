// The bodies of the Python-visible functions of brevix.tokenizer, which
// function_table.cpp lists. Each runs once the arguments are bound (see
// TableBody in binding_table.h) and adds its own traceback entries, at the
// site of its row (BoundArgs::site).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "binding_table.h"

namespace brevix {

// The working methods of PyBytePairTokenizer (tokenizer_methods.cpp).
PyObject* fitBody(PyObject* self, const BoundArgs& args);
PyObject* encodeBody(PyObject* self, const BoundArgs& args);
PyObject* encodeCorpusBody(PyObject* self, const BoundArgs& args);
PyObject* decodeBody(PyObject* self, const BoundArgs& args);

// The corpus-file functions (corpus_functions.cpp).
PyObject* dataLoaderBody(PyObject* self, const BoundArgs& args);
PyObject* dataSaverBody(PyObject* self, const BoundArgs& args);

// The pickling methods and their module-level stubs, which refuse whatever
// they are given (tokenizer_class.cpp).
PyObject* refusePicklingBody(PyObject* self, const BoundArgs& args);

}  // namespace brevix
