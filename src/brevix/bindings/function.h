// The function objects of brevix.tokenizer, made from rows of the binding
// table (binding_table.h) that have a site: the class's working methods, the
// corpus functions and the module-level pickling stubs. Like Python
// functions they carry a name, qualified name, module, docstring and a code
// object listing their parameters (so inspect.signature works), and bind to
// an instance when fetched from a class. A row whose site names a class is
// a method: its first positional argument is `self`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "binding_table.h"

namespace brevix {

// The rows of brevix.tokenizer's functions (function_table.cpp): the class's
// working methods, stored under their own names; the pickling methods, which
// the class holds as __reduce__ and __setstate__ and the module as
// functions; and the corpus functions. The module's functions enter its
// namespace in the order of the pickling rows, then the corpus rows.
extern const FunctionRow kClassMethodRows[4];
extern const FunctionRow kPicklingRows[2];
extern const FunctionRow kCorpusFunctionRows[2];

// Makes the function type ready; call once before newFunction.
bool readyFunctionType();

// A new function object for `row` (which must outlive it), with `module` as
// __module__ and `globals` as __globals__. A method refuses a `self` that is
// not of `selfType` (null: any object).
PyObject* newFunction(const FunctionRow& row, PyTypeObject* selfType, PyObject* module,
                      PyObject* globals);

}  // namespace brevix
