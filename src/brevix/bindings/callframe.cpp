#include "callframe.h"

namespace brevix {

namespace {

void setCountError(const char* name, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name, "exactly", expected, expected == 1 ? "" : "s", given);
}

// Index of the keyword in `kwnames` that names `parameter`, or -1. Keywords
// that are not str never match; they are refused later.
Py_ssize_t findKeyword(PyObject* kwnames, const char* parameter) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, parameter) == 0) {
            return i;
        }
    }
    return -1;
}

Py_ssize_t parameterIndex(const ParameterList& params, PyObject* key) {
    for (Py_ssize_t i = 0; i < params.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, params.names[i]) == 0) return i;
    }
    return -1;
}

// Some keywords were not used to fill a parameter: the first of them, in
// call order, decides the message.
void refuseLeftoverKeywords(const ParameterList& params, PyObject* kwnames, Py_ssize_t nargs) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", params.name);
            return;
        }
        const Py_ssize_t index = parameterIndex(params, key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         params.name, key);
            return;
        }
        if (index < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         params.name, key);
            return;
        }
    }
}

PyObject* tracebackGlobals = nullptr;

}  // namespace

bool bindArguments(const ParameterList& params, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > params.count || (nkw == 0 && nargs < params.count)) {
        setCountError(params.name, params.count, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    Py_ssize_t used = 0;
    for (Py_ssize_t i = nargs; i < params.count; ++i) {
        const Py_ssize_t k = findKeyword(kwnames, params.names[i]);
        if (k < 0) {
            // A missing parameter is reported before any stray keyword.
            setCountError(params.name, params.count, i);
            return false;
        }
        out[i] = args[nargs + k];
        ++used;
    }
    if (used < nkw) {
        refuseLeftoverKeywords(params, kwnames, nargs);
        return false;
    }
    return true;
}

bool refusePositionalArguments(const char* name, Py_ssize_t given) {
    if (given == 0) return true;
    setCountError(name, 0, given);
    return false;
}

void refuseKeyword(const char* name, PyObject* keyword) {
    if (PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name,
                     keyword);
    } else {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
    }
}

void setTracebackGlobals(PyObject* moduleDict) {
    // Kept alive even if a failed initialisation drops the module.
    Py_XINCREF(moduleDict);
    Py_XSETREF(tracebackGlobals, moduleDict);
}

PyObject* tracebackGlobalsForEntries() { return tracebackGlobals; }

}  // namespace brevix
