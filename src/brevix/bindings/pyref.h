// PyRef: owns one strong reference to a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace brevix {

// Holds one strong reference and drops it on destruction. Construction steals
// the reference it is given (the usual case: the result of a C API call that
// returns a new reference); borrowed() takes a new reference to a borrowed
// pointer. release() hands the reference back to the caller, typically to
// return it to the interpreter.
class PyRef {
public:
    PyRef() noexcept = default;
    explicit PyRef(PyObject* stolen) noexcept : obj_(stolen) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    // A new owner of a borrowed reference (incref'd here).
    static PyRef borrowed(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return PyRef(obj);
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Gives up ownership without dropping the reference.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

    // Drops the current reference (if any) and steals `stolen`.
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = std::exchange(obj_, stolen);
        Py_XDECREF(old);
    }

private:
    PyObject* obj_ = nullptr;
};

}  // namespace brevix
