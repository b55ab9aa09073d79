// Conversions between Python objects and core values, named for their
// direction. Every conversion copies: the core never holds a Python object
// and Python never sees a core value. The first set reports failure by its
// result, leaving one pending exception with its own traceback entry added
// (file "<stringsource>") for brevix.tokenizer, whose caller then adds the
// entry of the binding function; the second set, for bodies of the binding
// table, throws PythonErrorSet instead (binding_table.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core_errors.h"
#include "exact/expander.h"
#include "pyref.h"

namespace brevix {

// Lengths and counts in the core are signed 32-bit.
inline constexpr std::size_t kMaxCorpusLength = INT32_MAX;

// Returns false with OverflowError set when a corpus of `length` ids would be
// longer than the core can count. Takes the widest unsigned type so that a
// length beyond size_t (on 32-bit builds) is refused, not truncated.
inline bool checkCorpusLength(unsigned long long length) {
    if (length <= kMaxCorpusLength) return true;
    PyErr_Format(PyExc_OverflowError,
                 "corpus of %llu ids is too long: a tokenizer takes at most %zu ids", length,
                 kMaxCorpusLength);
    return false;
}

// Creates the cached ints for the ids -128..255 (base tokens and bytes) that
// result lists share. Call once at module initialisation.
bool initSmallIdCache();

// Extends the shared ints to the ids of a vocabulary of `vocabSize` (up to
// 2^17 of them, about 4 MB per process). False with MemoryError set when it
// could not grow; the ids beyond the cache are then allocated one by one,
// so a caller may clear the error and go on.
bool growSharedIdCache(int vocabSize);

// New list of `count` ids, referencing the shared ints where cached, or
// nullptr with an exception set. Adds no traceback entry.
PyObject* newIdList(const int* ids, std::size_t count);

// The struct-module format of a buffer's items: 1 for a signed integer
// format, 0 for unsigned (no format means unsigned bytes), -1 for anything
// else (floats, bools, chars, non-native byte order).
int integerSignedness(const char* format);

// How reading an int as a signed 32-bit value went.
enum class Int32Read {
    Read,        // `out` holds the value
    OutOfRange,  // an int outside the signed 32-bit range; no exception set
    Failed,      // an exception is set
};

// The one int32 reader: an int (or subclass; nothing is called on it) as a
// signed 32-bit value. Callers word the out-of-range error themselves.
Int32Read readInt32(PyObject* intObject, int& out);

// Python int (or an object with __int__) -> signed 32-bit id or count. -1 is
// a valid result; failure is -1 with an exception set. Adds no traceback
// entry: the caller's entry covers it.
int int32FromPy(PyObject* obj);

// Any iterable of integers -> corpus. Exact lists and tuples are walked by
// index, re-reading the length before each item so a list changed by an
// item's __int__ is followed as it stands.
bool corpusFromPy(PyObject* obj, std::vector<int>& corpus);

// Corpus -> new list of int.
PyObject* corpusToList(const std::vector<int>& corpus);

// bytes, bytearray or a subclass of either -> byte string, NUL bytes kept.
bool byteStringFromPy(PyObject* obj, std::string& text);

// --- For bodies that throw PythonErrorSet on failure ---

// corpusFromPy: any iterable of ints -> ids.
std::vector<int> idsFromIterable(PyObject* obj);

// corpusToList: ids -> new list of int.
PyObject* listFromIds(const std::vector<int>& ids);

// byteStringFromPy: bytes, bytearray or a subclass -> byte string.
std::string stringFromBytes(PyObject* obj);

// A byte string -> new bytes object.
PyObject* bytesFromString(std::string_view bytes);

// Offsets or counts -> new list of int.
PyObject* listFromSizes(const std::vector<std::size_t>& sizes);

// int32FromPy: an int (or an object with __int__) -> signed 32-bit value.
int int32FromInt(PyObject* obj);

// A list or tuple view of any sequence (new reference); TypeError `what`
// for anything else.
PyRef fastSequence(PyObject* obj, const char* what);

// A simple buffer view of a bytes-like object, held (so its bytes stay put)
// until the holder goes.
class HeldBuffer {
public:
    explicit HeldBuffer(PyObject* obj);
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() { PyBuffer_Release(&view_); }
    std::string_view bytes() const {
        return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
};

// Sequence-to-id-array a block at a time, for an exact list or tuple, or a
// one-dimensional integer array.array or NumPy array. Gives up
// (IdSource::kGaveUp) at the first item the full conversion would treat in
// any other way than reading a value that fits (an int subclass, a big int,
// an object with __int__, a value out of range, a changed length), so that
// the caller can start over with corpusFromPy: nothing observable has
// happened until then. No Python code runs while it reads.
class IdStream final : public bytepairtokenizer::IdSource {
public:
    explicit IdStream(PyObject* obj);
    IdStream(const IdStream&) = delete;
    IdStream& operator=(const IdStream&) = delete;
    ~IdStream();

    // False when `obj` is none of the above; nothing is read then.
    bool usable() const { return kind_ != Kind::None; }
    std::size_t expected() const { return count_; }
    std::size_t next(int* block, std::size_t capacity) override;

private:
    enum class Kind { None, List, Tuple, Buffer };
    PyRef held_;
    Kind kind_ = Kind::None;
    Py_buffer view_{};
    bool isSigned_ = false;
    std::size_t count_ = 0;
    Py_ssize_t position_ = 0;
};

// Thrown by BytesBuilder::reserve with the Python exception already set.
struct BytesBuildFailed {};

// Byte-string-to-bytes without the intermediate string: the core writes
// straight into a bytes object that grows as asked and is trimmed to the
// bytes written at the end. Grows by resizing in place, which for large
// objects moves pages rather than copying them.
class BytesBuilder final : public bytepairtokenizer::ByteSink {
public:
    // Throws BytesBuildFailed (MemoryError set) when the object cannot grow.
    char* reserve(std::size_t used, std::size_t capacity) override;

    // The bytes object holding the first `length` bytes written (new
    // reference), or nullptr with an exception set.
    PyObject* finish(std::size_t length);

    // Adds the conversion's traceback entry to the pending exception of a
    // failed reserve() or finish().
    static void addFailureEntry();

private:
    PyRef bytes_;
};

}  // namespace brevix
