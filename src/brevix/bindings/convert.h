// Shims between Python objects and core values. Every shim copies: the core
// never holds a Python object and Python never sees a core value. A failing
// shim leaves one pending exception with its own traceback entry added (file
// "<stringsource>"); its caller then adds the entry of the binding function.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brevix {

// Lengths and counts in the core are signed 32-bit.
inline constexpr std::size_t kMaxCorpusLength = INT32_MAX;

// Returns false with OverflowError set when a corpus of `length` ids would be
// longer than the core can count.
inline bool checkCorpusLength(std::size_t length) {
    if (length <= kMaxCorpusLength) return true;
    PyErr_Format(PyExc_OverflowError,
                 "corpus of %zu ids is too long: a tokenizer takes at most %zu ids", length,
                 kMaxCorpusLength);
    return false;
}

// Creates the cached ints for the ids -128..255 (base tokens and bytes) that
// result lists share. Call once at module initialisation.
bool initSmallIdCache();

// Python int (or an object with __int__) -> signed 32-bit id or count. -1 is
// a valid result; failure is -1 with an exception set. Adds no traceback
// entry: the caller's entry covers it.
int int32FromPyShim(PyObject* obj);

// Any iterable of integers -> corpus. Exact lists and tuples are walked by
// index, re-reading the length before each item so a list changed by an
// item's __int__ is followed as it stands.
bool corpusFromPyShim(PyObject* obj, std::vector<int>& corpus);

// Corpus -> new list of int.
PyObject* corpusToListShim(const std::vector<int>& corpus);

// bytes, bytearray or a subclass of either -> byte string, NUL bytes kept.
bool byteStringFromPyShim(PyObject* obj, std::string& text);

// Byte string -> new bytes, unchanged (no text decoding).
PyObject* byteStringToBytesShim(const std::string& text);

}  // namespace brevix
