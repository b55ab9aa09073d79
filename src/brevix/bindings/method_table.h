// Entries of a PyMethodDef table for functions with any of the C API's
// calling conventions, without a cast at every row:
//
//   {"set_merges", brevix::fastcall(setMerges), METH_FASTCALL, "doc"},
//   {"train", brevix::withKeywords(train), METH_VARARGS | METH_KEYWORDS, "doc"},
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core_errors.h"

namespace brevix {

using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);
using FastcallKeywordsFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t,
                                               PyObject*);
using KeywordsFunction = PyObject* (*)(PyObject*, PyObject*, PyObject*);

// The interpreter calls through the PyCFunction slot with the signature the
// flags name; the cast goes through a generic function pointer type so that
// -Wcast-function-type stays quiet.
template <typename Function>
PyCFunction asMethodSlot(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// METH_FASTCALL
inline PyCFunction fastcall(FastcallFunction f) { return asMethodSlot(f); }
// METH_FASTCALL | METH_KEYWORDS
inline PyCFunction fastcallWithKeywords(FastcallKeywordsFunction f) { return asMethodSlot(f); }
// METH_VARARGS | METH_KEYWORDS
inline PyCFunction withKeywords(KeywordsFunction f) { return asMethodSlot(f); }

// Guarded entries: the body runs inside the one translation of C++
// exceptions (core_errors.h), so nothing it throws, wherever it throws from,
// reaches the interpreter. A table built only of guarded entries holds that
// by construction:
//
//   {"decode", brevix::guarded<coreDecode>(), METH_O, "doc"},
//   {"train", brevix::guardedFastcall<coreTrain>(), METH_FASTCALL, "doc"},
namespace detail {

template <PyCFunction Body>
PyObject* guardedBody(PyObject* self, PyObject* arg) noexcept {
    return callCoreForObject([&] { return Body(self, arg); });
}

template <FastcallFunction Body>
PyObject* guardedFastcallBody(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return callCoreForObject([&] { return Body(self, args, nargs); });
}

template <newfunc Body>
PyObject* guardedNewBody(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return callCoreForObject([&] { return Body(type, args, kwargs); });
}

}  // namespace detail

// METH_O and METH_NOARGS, guarded.
template <PyCFunction Body>
PyCFunction guarded() {
    return detail::guardedBody<Body>;
}

// METH_FASTCALL, guarded.
template <FastcallFunction Body>
PyCFunction guardedFastcall() {
    return fastcall(detail::guardedFastcallBody<Body>);
}

// A type's tp_new, guarded (for a Py_tp_new slot).
template <newfunc Body>
void* guardedNew() {
    return reinterpret_cast<void*>(detail::guardedNewBody<Body>);
}

}  // namespace brevix
