// The bodies of the Python-visible functions of brevix.tokenizer, which
// function_table.cpp lists. Each runs once the arguments are bound (see
// FunctionBody in function.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "callframe.h"

namespace brevix {

// The working methods of PyBytePairTokenizer (tokenizer_methods.cpp).
PyObject* fitBody(PyObject* self, PyObject* const* args);
PyObject* encodeBody(PyObject* self, PyObject* const* args);
PyObject* encodeCorpusBody(PyObject* self, PyObject* const* args);
PyObject* decodeBody(PyObject* self, PyObject* const* args);

// The corpus-file functions (corpus_functions.cpp).
PyObject* dataLoaderBody(PyObject* self, PyObject* const* args);
PyObject* dataSaverBody(PyObject* self, PyObject* const* args);

// Module-level pickling stubs, which refuse whatever they are given
// (tokenizer_class.cpp).
PyObject* reduceStubBody(PyObject* self, PyObject* const* args);
PyObject* setstateStubBody(PyObject* self, PyObject* const* args);
// The parameter of __setstate_cython__, shared by the class's method and the
// module-level stub.
extern const ParameterList kSetstateParameterList;

}  // namespace brevix
