// One way to bind a function of brevix._core, brevix._internal and
// brevix.tokenizer: a row of a declarative table names the function, its
// parameters (name, default, keyword-only) and its body. One generic entry
// binds the vectorcall arguments (METH_FASTCALL | METH_KEYWORDS) to the
// parameters and runs the body inside the one translation of C++ exceptions
// (core_errors.h). The PyMethodDef entries and their docstrings, text
// signature included (so inspect.signature works), are derived from the
// rows:
//
//   const FunctionRow kRows[] = {
//       {"split", {"pattern", "data", optional("chunk", "0")}, splitHook, "piece ends"},
//   };
//   PyMethodDef* methods = methodTable<kRows>(TableKind::ModuleFunctions);
//
// Two optional columns, which only brevix.tokenizer fills, keep that
// module's surface exact: `binder` words the argument errors its own way,
// and `site` places the function in tracebacks (module, class, line, file),
// which also gives its qualified name and a docstring that is the signature
// with C types:
//
//   {"decode", {typed("vector[int]", "encoded")}, decodeBody, nullptr, false,
//    bindAllRequired, {kTokenizerModuleName, kTokenizerClassName, 26, kModuleFile}},
//
// A body reads its arguments through BoundArgs, whose converters set the
// Python exception and throw PythonErrorSet on a bad argument, so a body
// needs no error path for them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core_errors.h"
#include "traceback_lines.h"

namespace brevix {

// The largest parameter list of any function in a table.
inline constexpr std::size_t kMaxTableParameters = 8;

// One parameter: its name, the default shown in the text signature (null for
// a required parameter), whether it can only be given by keyword, and the C
// type a docstring with C types shows before the name (null: none).
struct Param {
    const char* name = nullptr;
    const char* defaultText = nullptr;
    bool keywordOnly = false;
    const char* typeText = nullptr;

    constexpr Param() = default;
    // A required parameter, positional or keyword.
    constexpr Param(const char* required) : name(required) {}
    constexpr Param(const char* n, const char* d, bool k, const char* t = nullptr)
        : name(n), defaultText(d), keywordOnly(k), typeText(t) {}
};

// An optional parameter, positional or keyword; `shown` is its default as the
// signature shows it (the body supplies the value).
constexpr Param optional(const char* name, const char* shown) { return Param(name, shown, false); }

// An optional parameter that can only be given by keyword.
constexpr Param keywordOnly(const char* name, const char* shown) { return Param(name, shown, true); }

// A required parameter whose docstring shows its C type: typed("int", "n_iter").
constexpr Param typed(const char* type, const char* name) {
    return Param(name, nullptr, false, type);
}

struct FunctionRow;

// Where a row's function stands: the module and class (null for a module
// function) that qualify its name, and the line and file of the traceback
// entry its failures add. The default, line 0, is no site: no entry, and
// the name and docstring of an ordinary row.
struct RowSite {
    const char* module = nullptr;
    const char* owner = nullptr;
    int line = 0;
    const char* file = nullptr;
};

// Binds a vectorcall argument vector to a row's parameters into `out` (one
// entry per parameter, null for an optional one not given). False with
// TypeError set.
using ArgumentBinder = bool (*)(const FunctionRow& row, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames, PyObject** out) noexcept;

// The arguments of one call, bound to the row's parameters: one borrowed
// reference per parameter, null for an optional one not given. The
// converters name the function and parameter in their errors, which they
// raise by setting the Python exception and throwing PythonErrorSet.
class BoundArgs {
public:
    BoundArgs(const FunctionRow& row, PyObject* const* values) : row_(row), values_(values) {}

    // The entry of the row's site (a row with a site only), for a body that
    // adds its own entries: `return failAt(args.site());`.
    TracebackSite site() const;

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
// the module for a module function (null for a function object of
// brevix.tokenizer that is not a method, function.h).
using TableBody = PyObject* (*)(PyObject* self, const BoundArgs& args);

// Everything about one function: name, parameters (the unused tail of
// `params` is empty), body and the docstring's text after the signature
// (null for none); a class method's body gets the class as `self`. The
// optional columns: `binder`, null for bindRowArguments, and `site` (see
// RowSite). A row with a site adds its entry when anything escapes the body
// and, when it has parameters, when binding them fails.
struct FunctionRow {
    const char* name;
    Param params[kMaxTableParameters];
    TableBody body;
    const char* doc;
    bool classMethod = false;
    ArgumentBinder binder = nullptr;
    RowSite site = {};
};

// The number of parameters of `row`.
std::size_t parameterCount(const FunctionRow& row);

// Whether `row` has a site.
inline bool hasSite(const FunctionRow& row) { return row.site.line != 0; }

// The entry of `row`'s site.
constexpr TracebackSite rowSite(const FunctionRow& row) {
    return {row.site.module, row.site.owner, row.name, row.site.line, row.site.file};
}

// The qualified name: "Owner.name" for a row whose site names a class, else
// the name.
std::string rowQualifiedName(const FunctionRow& row);

// Whether the rows of a table are methods of a type (their signature starts
// with $self) or functions of a module ($module).
enum class TableKind { Methods, ModuleFunctions };

// The default binder: TypeError, in CPython's words, for too many
// positional arguments, an unknown or repeated keyword, or a required
// parameter not given.
bool bindRowArguments(const FunctionRow& row, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** out) noexcept;

// brevix.tokenizer's binder, for rows whose parameters are all required: a
// missing or surplus argument is refused by count ("f() takes exactly 2
// positional arguments (1 given)"), a missing one before any stray keyword;
// then the first keyword not used, in call order, is refused as unexpected,
// as not a string, or as "got multiple values" when its parameter was given
// by position.
bool bindAllRequired(const FunctionRow& row, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out) noexcept;

// Binds with the row's binder (bindRowArguments when it names none).
bool bindArguments(const FunctionRow& row, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out) noexcept;

// Runs the body of `row` on arguments already bound; anything it throws is
// translated (bad_alloc is MemoryError), with the entry of its site added.
PyObject* runRowBody(const FunctionRow& row, PyObject* self, PyObject* const* bound) noexcept;

// Binds the arguments and runs the body of `row`; nothing it throws gets past
// it. A row with a site and parameters adds its entry when binding fails.
PyObject* callRow(const FunctionRow& row, PyObject* self, PyObject* const* args,
                  size_t nargsf, PyObject* kwnames) noexcept;

// The docstring of `row`: its text signature ("name($self, a, *, b=None)"),
// "--", a blank line and its doc. A row with a site shows its signature with
// C types instead, no text signature: "Owner.name(self, vector[int] corpus)",
// then its doc (if any) after a blank line. Kept for the life of the process.
const char* rowDocstring(const FunctionRow& row, TableKind kind);

// callRow for the C API's other convention, a tuple and a dict (either may
// be null): for a type's tp_new, whose row's body gets the type as `self`.
PyObject* callRowWithTuple(const FunctionRow& row, PyObject* self, PyObject* args,
                           PyObject* kwargs) noexcept;

// The interpreter calls through the PyCFunction slot with the signature the
// flags name; the cast goes through a generic function pointer type so that
// -Wcast-function-type stays quiet.
template <typename Function>
PyCFunction asMethodSlot(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

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
    return {PyMethodDef{Rows[I].name, asMethodSlot(tableEntry<Rows, I>),
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
