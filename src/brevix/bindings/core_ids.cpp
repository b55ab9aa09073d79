#include "core_ids.h"

#include "convert.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

namespace brevix {

// ---- TextView ---------------------------------------------------------------

namespace {

// Whether a buffer holds single bytes (formats B, b, c or none): any other
// item is not text, and reading its memory as text would encode or train on
// its representation.
bool singleBytes(const Py_buffer& view) {
    if (view.itemsize != 1) return false;
    const char* format = view.format;
    if (format == nullptr) return true;
    if (*format == '@' || *format == '=' || *format == '<' || *format == '>' || *format == '!') {
        ++format;
    }
    return (format[0] == 'B' || format[0] == 'b' || format[0] == 'c') && format[1] == '\0';
}

}  // namespace

TextView::~TextView() {
    if (hasView_) PyBuffer_Release(&view_);
}

bool TextView::open(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        Py_ssize_t length = 0;
        // The UTF-8 form is cached in the str, which owner_ keeps alive.
        data_ = PyUnicode_AsUTF8AndSize(obj, &length);
        if (data_ == nullptr) return false;
        owner_ = PyRef::borrowed(obj);
        size_ = static_cast<std::size_t>(length);
        return true;
    }
    if (!PyObject_CheckBuffer(obj)) {
        PyErr_Format(PyExc_TypeError, "expected str or a bytes-like object, not %.200s",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    if (PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) return false;
    hasView_ = true;
    if (!singleBytes(view_)) {
        PyErr_Format(PyExc_TypeError,
                     "expected str or a bytes-like object of single bytes, not %.200s of "
                     "%zd-byte items (format '%s')",
                     Py_TYPE(obj)->tp_name, view_.itemsize, view_.format ? view_.format : "B");
        return false;
    }
    data_ = static_cast<const char*>(view_.buf);
    size_ = static_cast<std::size_t>(view_.len);
    return true;
}

// ---- BufferIds --------------------------------------------------------------

namespace {

template <typename T>
bool idInRange(T value, int limit) {
    if constexpr (std::is_unsigned_v<T>) {
        return static_cast<unsigned long long>(value) < static_cast<unsigned long long>(limit);
    } else {
        return static_cast<long long>(value) >= 0 && static_cast<long long>(value) < limit;
    }
}

template <typename T>
std::size_t readBlock(const char* base, Py_ssize_t stride, std::size_t n, int limit, int* block,
                      std::size_t& bad) {
    for (std::size_t i = 0; i < n; ++i) {
        T value;
        std::memcpy(&value, base + static_cast<Py_ssize_t>(i) * stride, sizeof value);
        if (!idInRange(value, limit)) {
            bad = i;
            return i;
        }
        block[i] = static_cast<int>(value);
    }
    return n;
}

}  // namespace

BufferIds::~BufferIds() {
    if (hasView_) PyBuffer_Release(&view_);
}

BufferIds::Open BufferIds::open(PyObject* obj) {
    if (PyBytes_Check(obj) || PyByteArray_Check(obj) || PyUnicode_Check(obj) ||
        !PyObject_CheckBuffer(obj)) {
        return Open::NotABuffer;
    }
    if (PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_STRIDES) != 0) return Open::Failed;
    hasView_ = true;
    if (view_.ndim != 1) {
        PyErr_Format(PyExc_TypeError, "token ids must be a one-dimensional array, not %d-dimensional",
                     view_.ndim);
        return Open::Failed;
    }
    const std::size_t size = static_cast<std::size_t>(view_.itemsize);
    const int signedness = integerSignedness(view_.format);
    kind_ = signedness == 1 ? 'i' : 'u';
    if (signedness < 0 || (size != 1 && size != 2 && size != 4 && size != 8)) {
        PyErr_Format(PyExc_TypeError, "token ids must be integers, not an array of format '%s'",
                     view_.format ? view_.format : "B");
        return Open::Failed;
    }
    itemSize_ = size;
    count_ = static_cast<std::size_t>(view_.shape ? view_.shape[0] : view_.len / view_.itemsize);
    return Open::Yes;
}

std::size_t BufferIds::next(int* block, std::size_t capacity) {
    if (failed_) return kGaveUp;
    const std::size_t n = std::min(capacity, count_ - position_);
    if (n == 0) return 0;
    const Py_ssize_t stride = view_.strides ? view_.strides[0] : view_.itemsize;
    const char* base = static_cast<const char*>(view_.buf) + static_cast<Py_ssize_t>(position_) * stride;
    std::size_t bad = 0;
    std::size_t done = 0;
    // Signed widths as positive codes, unsigned ones as negative.
    const int code = kind_ == 'i' ? static_cast<int>(itemSize_) : -static_cast<int>(itemSize_);
    switch (code) {
        case 1: done = readBlock<std::int8_t>(base, stride, n, limit_, block, bad); break;
        case 2: done = readBlock<std::int16_t>(base, stride, n, limit_, block, bad); break;
        case 4: done = readBlock<std::int32_t>(base, stride, n, limit_, block, bad); break;
        case 8: done = readBlock<std::int64_t>(base, stride, n, limit_, block, bad); break;
        case -1: done = readBlock<std::uint8_t>(base, stride, n, limit_, block, bad); break;
        case -2: done = readBlock<std::uint16_t>(base, stride, n, limit_, block, bad); break;
        case -4: done = readBlock<std::uint32_t>(base, stride, n, limit_, block, bad); break;
        default: done = readBlock<std::uint64_t>(base, stride, n, limit_, block, bad); break;
    }
    if (done < n) {
        failed_ = true;
        badIndex_ = position_ + bad;
        badValue_ = valueAt(badIndex_);
        return kGaveUp;
    }
    position_ += n;
    return n;
}

const std::int32_t* BufferIds::contiguousInt32() const {
    const bool dense = view_.strides == nullptr || view_.strides[0] == view_.itemsize;
    const bool aligned = reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(std::int32_t) == 0;
    if (!hasView_ || kind_ != 'i' || itemSize_ != sizeof(std::int32_t) || !dense || !aligned) return nullptr;
    return static_cast<const std::int32_t*>(view_.buf);
}

long long BufferIds::valueAt(std::size_t i) const {
    const Py_ssize_t stride = view_.strides ? view_.strides[0] : view_.itemsize;
    const char* p = static_cast<const char*>(view_.buf) + static_cast<Py_ssize_t>(i) * stride;
    if (kind_ == 'i') {
        switch (itemSize_) {
            case 1: { std::int8_t v; std::memcpy(&v, p, 1); return v; }
            case 2: { std::int16_t v; std::memcpy(&v, p, 2); return v; }
            case 4: { std::int32_t v; std::memcpy(&v, p, 4); return v; }
            default: { std::int64_t v; std::memcpy(&v, p, 8); return v; }
        }
    }
    switch (itemSize_) {
        case 1: { std::uint8_t v; std::memcpy(&v, p, 1); return v; }
        case 2: { std::uint16_t v; std::memcpy(&v, p, 2); return v; }
        case 4: { std::uint32_t v; std::memcpy(&v, p, 4); return v; }
        default: {
            std::uint64_t v;
            std::memcpy(&v, p, 8);
            return v > static_cast<std::uint64_t>(LLONG_MAX) ? LLONG_MAX : static_cast<long long>(v);
        }
    }
}

bool BufferIds::readAll(std::vector<int>& out) {
    out.resize(count_);
    std::size_t filled = 0;
    while (filled < count_) {
        const std::size_t n = next(out.data() + filled, count_ - filled);
        if (n == kGaveUp) return false;
        filled += n;
    }
    return true;
}

// ---- iterables ----------------------------------------------------------------

bool idsFromIterable(PyObject* obj, std::vector<int>& out, Py_ssize_t& overflowAt,
                     PyRef& overflowValue) {
    overflowAt = -1;
    PyRef items(PySequence_Fast(obj, "token ids must be an iterable of integers"));
    if (!items) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        PyRef index;
        if (!PyLong_Check(item)) {
            index.reset(PyNumber_Index(item));
            if (!index) return false;
            item = index.get();
        }
        int value = 0;
        switch (readInt32(item, value)) {
            case Int32Read::Read:
                out.push_back(value);
                break;
            case Int32Read::OutOfRange:
                overflowAt = i;
                overflowValue = PyRef::borrowed(item);
                return true;
            case Int32Read::Failed:
                return false;
        }
    }
    return true;
}

}  // namespace brevix
