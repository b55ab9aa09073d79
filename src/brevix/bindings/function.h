// The function objects of brevix.tokenizer: the four tokenizer methods, the
// corpus functions and the pickling stubs. Like Python functions they carry a
// name, qualified name, module, docstring and a code object listing their
// parameters (so inspect.signature works), and bind to an instance when
// fetched from a class.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "callframe.h"

namespace brevix {

// Runs the body of a function once its arguments are bound: `self` is the
// instance for methods (nullptr otherwise), `args` one borrowed reference per
// parameter. Returns a new reference, or nullptr with an exception set and
// the body's traceback entries added.
using FunctionBody = PyObject* (*)(PyObject* self, PyObject* const* args);

// Everything fixed about one function, known at compile time.
struct FunctionTraits {
    ParameterList params;       // bare name and parameters after self
    const char* qualname;       // "PyBytePairTokenizer.fit"
    const char* doc;
    TracebackSite site;         // code object's file and first line; binding failures
                                // are reported here
    bool isMethod;              // takes self as the first positional argument
    PyTypeObject* selfType;     // required type of self, nullptr for any object
    FunctionBody body;
};

// The Python-visible functions of brevix.tokenizer, declared in one table
// (function_table.cpp): the class's working methods, stored under their own
// names, and the module-level functions in the order they enter the
// namespace.
struct FunctionTable {
    const FunctionTraits* begin;
    const FunctionTraits* end;
};
extern const FunctionTable kClassMethods;
extern const FunctionTable kModuleFunctions;

// Makes the function type ready; call once before newFunction.
bool readyFunctionType();

// A new function object for `traits` (which must outlive it), with `module` as
// __module__ and `globals` as __globals__.
PyObject* newFunction(const FunctionTraits* traits, PyObject* module, PyObject* globals);

}  // namespace brevix
