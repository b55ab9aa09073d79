// Hooks into the binding's boundary helpers for the test suite: the core
// exception translation, the corpus length limit and the version warning,
// none of which a test can reach through the public module without
// allocating gigabytes or running another interpreter.
#include <cstring>
#include <ios>
#include <new>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include "callframe.h"
#include "convert.h"
#include "core_errors.h"
#include "binding_table.h"
#include "internal.h"
#include "version_check.h"

namespace brevix {

namespace {

struct NotAStdException {};

// Throws the C++ exception named `kind`, as the core would.
[[noreturn]] void throwCoreFailure(const std::string& kind, const std::string& text) {
    if (kind == "bad_alloc") throw std::bad_alloc();
    if (kind == "bad_cast") throw std::bad_cast();
    if (kind == "bad_typeid") throw std::bad_typeid();
    if (kind == "domain_error") throw std::domain_error(text);
    if (kind == "invalid_argument") throw std::invalid_argument(text);
    if (kind == "ios_base_failure") throw std::ios_base::failure(text);
    if (kind == "file_error") throw data::FileError(ENOSPC, text);
    if (kind == "out_of_range") throw std::out_of_range(text);
    if (kind == "overflow_error") throw std::overflow_error(text);
    if (kind == "range_error") throw std::range_error(text);
    if (kind == "underflow_error") throw std::underflow_error(text);
    if (kind == "length_error") throw std::length_error(text);
    if (kind == "logic_error") throw std::logic_error(text);
    if (kind == "runtime_error") throw std::runtime_error(text);
    if (kind == "int") throw 42;
    throw NotAStdException{};
}

// _translate_core_exception(kind: str, text: bytes, pending: bool) raises
// what the translation makes of that C++ exception; with `pending`, a
// ZeroDivisionError is set first and must win.
PyObject* translateHook(PyObject*, const BoundArgs& args) {
    const char* kind = args.utf8(0);
    const std::string_view text = args.readOnlyBytes(1);
    const bool pending = args.flag(2);
    try {
        if (pending) PyErr_SetString(PyExc_ZeroDivisionError, "already pending");
        throwCoreFailure(kind, std::string(text));
    } catch (...) {
        brevix::translateCoreException();
    }
    return nullptr;
}

// _check_corpus_length(n): None if a corpus of n ids is accepted.
PyObject* corpusLengthHook(PyObject*, const BoundArgs& args) {
    const unsigned long long length = PyLong_AsUnsignedLongLong(args[0]);
    if (length == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    if (!brevix::checkCorpusLength(length)) return nullptr;
    Py_RETURN_NONE;
}

// _check_runtime_version(major, minor): the import-time version warning.
PyObject* versionHook(PyObject*, const BoundArgs& args) {
    const int major = args.int32(0);
    const int minor = args.int32(1);
    if (!brevix::warnOnVersionMismatch(major, minor)) return nullptr;
    Py_RETURN_NONE;
}

// known_layout(): whether brevix.tokenizer was built on CPython's internal
// frame and int layouts (BREVIX_KNOWN_LAYOUT) or on public API only.
PyObject* knownLayoutHook(PyObject*, const BoundArgs&) {
    return PyBool_FromLong(BREVIX_KNOWN_LAYOUT);
}

// exact_tracebacks(): whether brevix.tokenizer's traceback entries show their
// fixed lines in this interpreter.
PyObject* exactTracebacksHook(PyObject*, const BoundArgs&) {
    return PyBool_FromLong(brevix::tracebackEntriesShowFixedLines());
}

}  // namespace

namespace {

const FunctionRow kRows[] = {
    {"_translate_core_exception", {"kind", "text", "pending"}, translateHook,
     "Raise the Python exception the binding makes of a named C++ exception."},
    {"_check_corpus_length", {"n"}, corpusLengthHook,
     "Refuse a corpus length the core cannot hold (OverflowError)."},
    {"_check_runtime_version", {"major", "minor"}, versionHook,
     "Run the import-time interpreter version check against major, minor."},
    {"known_layout", {}, knownLayoutHook,
     "Whether brevix.tokenizer uses CPython's internal layouts (else public API only)."},
    {"exact_tracebacks", {}, exactTracebacksHook,
     "Whether brevix.tokenizer's traceback entries show their fixed lines."},
};

}  // namespace

PyMethodDef* bindingMethods() {
    return methodTable<kRows>(TableKind::ModuleFunctions);
}

}  // namespace brevix
