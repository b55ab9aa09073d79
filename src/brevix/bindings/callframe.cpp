#include "callframe.h"

namespace brevix {

namespace {

PyObject* tracebackGlobals = nullptr;

}  // namespace

void refuseArgumentCount(const char* name, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name, "exactly", expected, expected == 1 ? "" : "s", given);
}

bool refusePositionalArguments(const char* name, Py_ssize_t given) {
    if (given == 0) return true;
    refuseArgumentCount(name, 0, given);
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
