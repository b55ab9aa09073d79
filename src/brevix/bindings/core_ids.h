// Reading texts and token ids from Python objects for brevix._core. Texts
// are borrowed in place (a buffer view or the UTF-8 of a str) so the core can
// read them without the interpreter lock; ids from arrays are read through
// the buffer protocol without an int object per item.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "exact/expander.h"
#include "pyref.h"

namespace brevix {

// The bytes of a text argument: a str as UTF-8, or any C-contiguous buffer.
// Holds what keeps them alive; destroy with the interpreter lock held.
class TextView {
public:
    TextView() = default;
    TextView(const TextView&) = delete;
    TextView& operator=(const TextView&) = delete;
    ~TextView();

    // False with TypeError set for anything but str and contiguous buffers
    // of single bytes (a NumPy int64 array is not text), or with the
    // buffer's own error.
    bool open(PyObject* obj);
    const char* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    PyRef owner_;
    Py_buffer view_{};
    bool hasView_ = false;
    const char* data_ = nullptr;
    std::size_t size_ = 0;
};

// A one-dimensional integer buffer (array.array, NumPy arrays, memoryviews
// of them) read a block at a time. Every id is checked against
// 0..vocabSize-1; the first that fails stops the reading (the source gives
// up) and is kept for the error message. No Python code runs while it reads,
// so it may be used without the interpreter lock.
class BufferIds final : public bytepairtokenizer::IdSource {
public:
    BufferIds() = default;
    BufferIds(const BufferIds&) = delete;
    BufferIds& operator=(const BufferIds&) = delete;
    ~BufferIds();

    // Whether `obj` is read this way: it has the buffer protocol and is not
    // a text type. TypeError when it is an array of something other than
    // integers, or has more than one dimension.
    enum class Open { Yes, NotABuffer, Failed };
    Open open(PyObject* obj);

    void setLimit(int vocabSize) { limit_ = vocabSize; }
    std::size_t expected() const { return count_; }
    std::size_t next(int* block, std::size_t capacity) override;

    // The ids themselves when they are contiguous native int32 (NumPy's
    // int32 arrays, encode's own output), else nullptr: read in place, no
    // copy a block at a time. Their range is not checked.
    const std::int32_t* contiguousInt32() const;

    // Reads everything into `out`; false when an id is out of range.
    bool readAll(std::vector<int>& out);

    // The index of the next id to read, and a way back to an earlier one
    // (the ids before it were read without failing).
    std::size_t position() const { return position_; }
    void seek(std::size_t position) { position_ = position; }

    bool failed() const { return failed_; }
    long long badValue() const { return badValue_; }
    std::size_t badIndex() const { return badIndex_; }

private:
    long long valueAt(std::size_t i) const;

    Py_buffer view_{};
    bool hasView_ = false;
    char kind_ = 0;  // 'i' signed, 'u' unsigned
    std::size_t itemSize_ = 0;
    std::size_t count_ = 0;
    std::size_t position_ = 0;
    int limit_ = 256;
    bool failed_ = false;
    long long badValue_ = 0;
    std::size_t badIndex_ = 0;
};

// Ids of a list, tuple or any other iterable of integers (each item an int
// or an object with __index__). A value outside the signed 32-bit range
// ends the reading: `overflowAt` receives its index and `overflowValue` the
// item, and the ids before it are in `out`. False with an exception set for
// anything else (not iterable, an item that is not an integer).
bool idsFromIterable(PyObject* obj, std::vector<int>& out, Py_ssize_t& overflowAt,
                     PyRef& overflowValue);

}  // namespace brevix
