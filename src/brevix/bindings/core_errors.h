// Turning a C++ exception raised by the core into a pending Python exception:
// the one translation every extension module of brevix uses, and the
// call-the-core helpers built on it. Header-only; needs no other binding
// source, so any module can include it.
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
#include <utility>

#include "corpus/corpus_files.h"
#include "pyref.h"

namespace brevix {

namespace detail {

// OSError (or the errno subclass the interpreter picks) with errno, strerror
// and the path as a bytes filename, as open() would report it. Memory
// exhaustion (ENOMEM, as when a file cannot be mapped) is MemoryError.
inline void setFileError(const data::FileError& e) {
    if (e.errnoValue() == ENOMEM) {
        PyErr_Format(PyExc_MemoryError, "%s", e.what());
        return;
    }
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
// become OSError, length_error falls through to RuntimeError). length_error
// stays RuntimeError for every module, as brevix.tokenizer promises: code
// that sizes an allocation from its input checks the size first and raises
// the error meant for it (MemoryError in corpusToList).
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

// Thrown by binding code that has already set the Python exception, to leave
// a call made through callCore or callCoreForObject early.
struct PythonErrorSet {};

// Throws PythonErrorSet unless `ok`: for Python C API results inside a
// callCore body (`requirePython(list != nullptr);`).
inline void requirePython(bool ok) {
    if (!ok) throw PythonErrorSet{};
}

// Call only from inside a catch block. Leaves exactly one pending Python
// exception: one already pending wins and the C++ one is dropped. Never
// throws, even if rethrowing or building the message runs out of memory.
inline void translateCoreException() noexcept {
    if (PyErr_Occurred()) return;
    try {
        try {
            throw;
        } catch (const PythonErrorSet&) {
            // The Python exception was set before the throw; reaching here
            // means it was lost, which is a bug of the binding.
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
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

// Translates an exception captured with std::current_exception() where the
// interpreter lock was released, once the lock is held again. Nothing to do
// for a null `error`; returns whether there was one.
inline bool translateCapturedException(const std::exception_ptr& error) noexcept {
    if (!error) return false;
    try {
        std::rethrow_exception(error);
    } catch (...) {
        translateCoreException();
    }
    return true;
}

// Runs `call` (typically one call into the core). Returns true when it
// returned normally; false when it threw, with the exception translated into
// the pending Python exception. Nothing ever unwinds past it.
template <typename Call>
[[nodiscard]] bool callCore(Call&& call) noexcept {
    try {
        std::forward<Call>(call)();
        return true;
    } catch (...) {
        translateCoreException();
        return false;
    }
}

// Runs `body`, which returns a new reference or nullptr with an exception
// set, and translates anything it throws: for functions whose whole body
// mixes core calls and Python C API calls (see requirePython).
template <typename Body>
PyObject* callCoreForObject(Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        translateCoreException();
        return nullptr;
    }
}

}  // namespace brevix
