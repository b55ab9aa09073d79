// Turning a C++ exception raised by the core into a pending Python exception.
// Header-only so that brevix._internal can run the same translation in tests.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "data.h"
#include "pyref.h"

namespace brevix {

namespace detail {

// OSError (or the errno subclass the interpreter picks) with errno, strerror
// and the path as a bytes filename, as open() would report it.
inline void setFileError(const data::FileError& e) {
    PyRef filename(PyBytes_FromStringAndSize(e.path().data(),
                                             static_cast<Py_ssize_t>(e.path().size())));
    if (!filename) return;
    errno = e.errnoValue();
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
}

// The message is the core's text read as UTF-8; bytes that are not valid
// UTF-8 are replaced rather than turning the error into a UnicodeDecodeError.
inline void setWithUtf8Message(PyObject* type, const char* text) {
    PyRef message(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)),
                                       "replace"));
    if (message) PyErr_SetObject(type, message.get());
}

// Matches a std::exception against the table, most specific rows first; the
// order is part of the contract (ios_base::failure is a runtime_error but must
// become OSError, length_error falls through to RuntimeError).
inline void setFromStdException(const std::exception& e) {
    PyObject* type = PyExc_RuntimeError;
    if (dynamic_cast<const std::bad_alloc*>(&e)) {
        type = PyExc_MemoryError;
    } else if (dynamic_cast<const std::bad_cast*>(&e) || dynamic_cast<const std::bad_typeid*>(&e)) {
        type = PyExc_TypeError;
    } else if (dynamic_cast<const std::domain_error*>(&e) ||
               dynamic_cast<const std::invalid_argument*>(&e)) {
        type = PyExc_ValueError;
    } else if (auto* fileError = dynamic_cast<const data::FileError*>(&e)) {
        setFileError(*fileError);
        return;
    } else if (dynamic_cast<const std::ios_base::failure*>(&e)) {
        type = PyExc_IOError;
    } else if (dynamic_cast<const std::out_of_range*>(&e)) {
        type = PyExc_IndexError;
    } else if (dynamic_cast<const std::overflow_error*>(&e)) {
        type = PyExc_OverflowError;
    } else if (dynamic_cast<const std::range_error*>(&e) ||
               dynamic_cast<const std::underflow_error*>(&e)) {
        type = PyExc_ArithmeticError;
    }
    setWithUtf8Message(type, e.what());
}

}  // namespace detail

// Call only from inside a catch block. Leaves exactly one pending Python
// exception: one already pending wins and the C++ one is dropped. Never
// throws, even if rethrowing or building the message runs out of memory.
inline void translateCoreException() noexcept {
    if (PyErr_Occurred()) return;
    try {
        try {
            throw;
        } catch (const std::exception& e) {
            detail::setFromStdException(e);
        } catch (...) {
            PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
        }
    } catch (...) {
        // Only reachable if the handlers above fail themselves.
        if (!PyErr_Occurred()) PyErr_NoMemory();
    }
}

}  // namespace brevix
