// One way to bind a function of brevix._core or brevix._internal: a row of a
// declarative table names the function, its parameters (name, default,
// keyword-only) and its body. One generic entry binds the vectorcall
// arguments (METH_FASTCALL | METH_KEYWORDS) to the parameters and runs the
// body inside the one translation of C++ exceptions (core_errors.h). The
// PyMethodDef entries and their docstrings, text signature included (so
// inspect.signature works), are derived from the rows:
//
//   const FunctionRow kRows[] = {
//       {"split", {"pattern", "data", optional("chunk", "0")}, splitHook, "piece ends"},
//   };
//   PyMethodDef* methods = methodTable<kRows>(TableKind::ModuleFunctions);
//
// A body reads its arguments through BoundArgs, whose converters set the
// Python exception and throw PythonErrorSet on a bad argument, so a body
// needs no error path for them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "core_errors.h"
#include "method_table.h"

namespace brevix {

// The largest parameter list of any function in a table.
inline constexpr std::size_t kMaxTableParameters = 8;

// One parameter: its name, the default shown in the text signature (null for
// a required parameter) and whether it can only be given by keyword.
struct Param {
    const char* name = nullptr;
    const char* defaultText = nullptr;
    bool keywordOnly = false;

    constexpr Param() = default;
    // A required parameter, positional or keyword.
    constexpr Param(const char* required) : name(required) {}
    constexpr Param(const char* n, const char* d, bool k) : name(n), defaultText(d), keywordOnly(k) {}
};

// An optional parameter, positional or keyword; `shown` is its default as the
// signature shows it (the body supplies the value).
constexpr Param optional(const char* name, const char* shown) { return Param(name, shown, false); }

// An optional parameter that can only be given by keyword.
constexpr Param keywordOnly(const char* name, const char* shown) { return Param(name, shown, true); }

struct FunctionRow;

// The arguments of one call, bound to the row's parameters: one borrowed
// reference per parameter, null for an optional one not given. The
// converters name the function and parameter in their errors, which they
// raise by setting the Python exception and throwing PythonErrorSet.
class BoundArgs {
public:
    BoundArgs(const FunctionRow& row, PyObject* const* values) : row_(row), values_(values) {}

    // The argument, null when an optional parameter was not given.
    PyObject* operator[](std::size_t i) const { return values_[i]; }
    bool given(std::size_t i) const { return values_[i] != nullptr; }
    // The argument, or `fallback` (borrowed) when not given.
    PyObject* objectOr(std::size_t i, PyObject* fallback) const {
        return values_[i] ? values_[i] : fallback;
    }

    // An int in the range of int (as an index: bool and __index__ count).
    int int32(std::size_t i) const;
    int int32Or(std::size_t i, int fallback) const { return given(i) ? int32(i) : fallback; }
    // An unsigned int, taken modulo 2**32 like the C API's "I".
    unsigned uint32(std::size_t i) const;
    // A Py_ssize_t.
    Py_ssize_t ssize(std::size_t i) const;
    Py_ssize_t ssizeOr(std::size_t i, Py_ssize_t fallback) const {
        return given(i) ? ssize(i) : fallback;
    }
    // A long long.
    long long int64(std::size_t i) const;
    long long int64Or(std::size_t i, long long fallback) const {
        return given(i) ? int64(i) : fallback;
    }
    // The truth of any object.
    bool flag(std::size_t i) const;
    bool flagOr(std::size_t i, bool fallback) const { return given(i) ? flag(i) : fallback; }
    // A str as UTF-8 without NUL characters, valid while the argument lives.
    const char* utf8(std::size_t i) const;
    const char* utf8Or(std::size_t i, const char* fallback) const {
        return given(i) ? utf8(i) : fallback;
    }
    // utf8, or null for None or when not given.
    const char* utf8OrNull(std::size_t i) const {
        return given(i) && values_[i] != Py_None ? utf8(i) : nullptr;
    }
    // A str object (borrowed).
    PyObject* str(std::size_t i) const;
    // A bytes object (borrowed).
    PyObject* bytes(std::size_t i) const;
    // The bytes of a read-only bytes-like object, valid while it lives.
    std::string_view readOnlyBytes(std::size_t i) const;

private:
    [[noreturn]] void refuse(std::size_t i, const char* expected) const;

    const FunctionRow& row_;
    PyObject* const* values_;
};

// Runs once the arguments are bound: `self` is the instance for a method and
// the module for a module function.
using TableBody = PyObject* (*)(PyObject* self, const BoundArgs& args);

// Everything about one function: name, parameters (the unused tail of
// `params` is empty), body and the docstring's text after the signature; a
// class method's body gets the class as `self`.
struct FunctionRow {
    const char* name;
    Param params[kMaxTableParameters];
    TableBody body;
    const char* doc;
    bool classMethod = false;
};

// Whether the rows of a table are methods of a type (their signature starts
// with $self) or functions of a module ($module).
enum class TableKind { Methods, ModuleFunctions };

// Binds a vectorcall argument vector to `row`'s parameters into `out` (one
// entry per parameter, null for an optional one not given). False with
// TypeError set, in CPython's words, for too many positional arguments, an
// unknown or repeated keyword, or a required parameter not given.
bool bindRowArguments(const FunctionRow& row, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** out) noexcept;

// Binds the arguments and runs the body of `row`; nothing it throws gets past
// it (bad_alloc is MemoryError).
PyObject* callRow(const FunctionRow& row, PyObject* self, PyObject* const* args,
                  size_t nargsf, PyObject* kwnames) noexcept;

// The docstring of `row`: its text signature ("name($self, a, *, b=None)"),
// "--", a blank line and its doc. Kept for the life of the process.
const char* rowDocstring(const FunctionRow& row, TableKind kind);

// callRow for the C API's other convention, a tuple and a dict (either may
// be null): for a type's tp_new, whose row's body gets the type as `self`.
PyObject* callRowWithTuple(const FunctionRow& row, PyObject* self, PyObject* args,
                           PyObject* kwargs) noexcept;

namespace detail {

template <const FunctionRow& Row>
PyObject* tableNewEntry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return callRowWithTuple(Row, reinterpret_cast<PyObject*>(type), args, kwargs);
}

template <const auto& Rows, std::size_t I>
PyObject* tableEntry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames) noexcept {
    return callRow(Rows[I], self, args, static_cast<size_t>(nargsf), kwnames);
}

template <const auto& Rows, std::size_t... I>
std::vector<PyMethodDef> methodDefs(TableKind kind, std::index_sequence<I...>) {
    return {PyMethodDef{Rows[I].name, fastcallWithKeywords(tableEntry<Rows, I>),
                        METH_FASTCALL | METH_KEYWORDS | (Rows[I].classMethod ? METH_CLASS : 0),
                        rowDocstring(Rows[I], kind)}...,
            PyMethodDef{nullptr, nullptr, 0, nullptr}};
}

}  // namespace detail

// The PyMethodDef table of `Rows` (an array of FunctionRow), ended by a null
// entry; built on the first call (which may throw bad_alloc) and kept for the
// life of the process.
template <const auto& Rows>
PyMethodDef* methodTable(TableKind kind) {
    constexpr std::size_t count = sizeof(Rows) / sizeof(Rows[0]);
    static std::vector<PyMethodDef> defs =
        detail::methodDefs<Rows>(kind, std::make_index_sequence<count>());
    return defs.data();
}

// methodTable, or null with MemoryError set: for a module's init function.
template <const auto& Rows>
PyMethodDef* methodTableOrNull(TableKind kind) noexcept {
    try {
        return methodTable<Rows>(kind);
    } catch (...) {
        translateCoreException();
        return nullptr;
    }
}

// A type's tp_new (for a Py_tp_new slot) that binds its arguments to `Row`
// and runs the row's body with the type as `self`.
template <const FunctionRow& Row>
void* tableNew() {
    return reinterpret_cast<void*>(detail::tableNewEntry<Row>);
}

}  // namespace brevix
