#include "convert.h"

#include <algorithm>

#include <climits>
#include <cstring>

#include "callframe.h"
#include "core_errors.h"
#include "pyref.h"

// Performance notes. The usual corpus arrives as an exact list of small ints,
// read by index with no iterator and no method calls. bytes/bytearray corpora
// are widened in one loop, and 1-D integer array.array / NumPy arrays are read
// through the buffer protocol instead of making an int object per item; both
// give exactly what iterating them gives (other formats, non-native byte
// order and multi-dimensional arrays take the general path). Result lists are
// made at their final length and filled with shared ints for -128..255, the
// base tokens that dominate encoder output. None of this is timed in tests.
//
// Reading a list for decode (10 MB of English text, 3.7M ids from encode):
// - Exact ints of one digit are read from the object (type, size, digit)
//   without PyLong_AsLong and without taking a reference: 0.29 -> 0.51 GB/s
//   for the whole decode method. Everything else keeps the full path.
// - Asking for the item 64 ahead: about +5-8%; 16 ahead was within noise.
// - IdStream (decode only) hands ids to the core in blocks of 4096, so the
//   15 MB id array is never written nor read back: 0.56 -> 0.75 GB/s from a
//   list, 1.03 -> 1.2 GB/s from array('i').
// - What is left is memory traffic: a list from encode holds ~2.9M distinct
//   int objects (about 90 MB of 32-byte blocks) behind a 30 MB pointer
//   array, all read for 10 MB of output. The same list with shared int
//   objects decodes at about 0.9 GB/s.

namespace brevix {

namespace {

bool isNativeByteOrder(char prefix) {
    const std::uint16_t probe = 1;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    const bool little = first == 1;
    return prefix == '@' || prefix == '=' || (prefix == '<' && little) ||
           ((prefix == '>' || prefix == '!') && !little);
}

}  // namespace

int integerSignedness(const char* format) {
    if (format == nullptr) return 0;  // no format means unsigned bytes
    if (*format && std::strchr("@=<>!", *format)) {
        if (!isNativeByteOrder(*format)) return -1;
        ++format;
    }
    if (format[0] == '\0' || format[1] != '\0') return -1;
    if (std::strchr("bhilqn", format[0])) return 1;
    if (std::strchr("BHILQN", format[0])) return 0;
    return -1;
}


namespace {


// The message PyLong_AsLong gives where long is 32 bits wide, used for every
// value outside the id range so that 64-bit builds refuse the same values.
void setIdOverflow() {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
}

bool fitsInt32(long long value) { return value >= INT32_MIN && value <= INT32_MAX; }

// --- Python-int-to-int32 ---

// The object's __int__ result as an exact int (new reference), or nullptr.
// A strict int subclass is accepted after a DeprecationWarning, as int() does.
PyObject* callIntSlot(PyObject* obj) {
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    PyRef result(number->nb_int(obj));
    if (!result || PyLong_CheckExact(result.get())) return result.release();
    const char* typeName = Py_TYPE(result.get())->tp_name;
    if (!PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                     typeName);
        return nullptr;
    }
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an "
                         "instance of a strict subclass of int is deprecated, and may be "
                         "removed in a future version of Python.",
                         typeName) < 0) {
        return nullptr;
    }
    return result.release();
}

// --- sequence-to-id-array ---

bool appendId(std::vector<int>& corpus, int id) {
    if (corpus.size() >= kMaxCorpusLength) {
        checkCorpusLength(corpus.size() + 1);
        return false;
    }
    corpus.push_back(id);  // may throw; translated by corpusFromPy
    return true;
}

bool appendItem(std::vector<int>& corpus, PyObject* item) {
    const int id = int32FromPy(item);
    if (id == -1 && PyErr_Occurred()) return false;
    return appendId(corpus, id);
}

// Byte values 0..255, as iterating bytes or bytearray gives them.
bool widenBytes(PyObject* obj, std::vector<int>& corpus) {
    const bool isBytes = PyBytes_CheckExact(obj);
    const auto* data = reinterpret_cast<const unsigned char*>(
        isBytes ? PyBytes_AS_STRING(obj) : PyByteArray_AS_STRING(obj));
    const Py_ssize_t length = isBytes ? PyBytes_GET_SIZE(obj) : PyByteArray_GET_SIZE(obj);
    if (!checkCorpusLength(static_cast<std::size_t>(length))) return false;
    corpus.assign(data, data + length);
    return true;
}

Py_ssize_t currentLength(PyObject* sequence) {
    return PyList_CheckExact(sequence) ? PyList_GET_SIZE(sequence) : PyTuple_GET_SIZE(sequence);
}

// The value of an exact int of at most one digit, read straight from its
// digits: no call, no reference taken, nothing that can run Python code.
// False for anything else (int subclasses such as bool, bigger ints), which
// the general path reads by value. The digits are read only where the int
// layout is known (BREVIX_KNOWN_LAYOUT on 3.11); everywhere else every item
// takes the general path, which uses public API only.
bool readSmallExactInt(PyObject* item, int& id) {
#if BREVIX_KNOWN_LAYOUT && PY_VERSION_HEX < 0x030C0000
    if (!PyLong_CheckExact(item)) return false;
    const Py_ssize_t size = Py_SIZE(item);
    if (size < -1 || size > 1) return false;
    // One 30-bit digit always fits a signed 32-bit id.
    static_assert(PyLong_SHIFT <= 30, "one digit must fit a signed 32-bit id");
    if (size == 0) {
        id = 0;  // a zero int need not hold a digit at all
        return true;
    }
    const int digit = static_cast<int>(reinterpret_cast<PyLongObject*>(item)->ob_digit[0]);
    id = size < 0 ? -digit : digit;
    return true;
#else
    // 3.12 changed how an int records its size, and other layouts are not
    // known: leave every item to the full path rather than misread it.
    (void)item;
    (void)id;
    return false;
#endif
}

// The item array as it stands (a list's moves when the list is resized).
PyObject** currentItems(PyObject* sequence) {
    return PySequence_Fast_ITEMS(sequence);
}

constexpr Py_ssize_t kPrefetchAhead = 64;

bool walkListOrTuple(PyObject* sequence, std::vector<int>& corpus) {
    const PyRef held = PyRef::borrowed(sequence);
    corpus.reserve(static_cast<std::size_t>(currentLength(sequence)));
    for (Py_ssize_t i = 0; i < currentLength(sequence); ++i) {
        // Item objects are scattered in memory; asking for one a few items
        // ahead hides most of the wait for its header.
        if (kPrefetchAhead > 0 && i + kPrefetchAhead < currentLength(sequence)) {
            __builtin_prefetch(currentItems(sequence)[i + kPrefetchAhead]);
        }
        PyObject* borrowed = currentItems(sequence)[i];
        int id = 0;
        if (readSmallExactInt(borrowed, id)) {
            if (!appendId(corpus, id)) return false;
            continue;
        }
        // The item's __int__ may shrink the list and drop the item.
        const PyRef item = PyRef::borrowed(borrowed);
        if (!appendItem(corpus, item.get())) return false;
    }
    return true;
}

bool walkIterator(PyObject* obj, std::vector<int>& corpus, const TracebackSite*& failedAt) {
    failedAt = &site::kCorpusIteration;
    const PyRef iterator(PyObject_GetIter(obj));
    if (!iterator) return false;
    iternextfunc next = Py_TYPE(iterator.get())->tp_iternext;
    for (;;) {
        const PyRef item(next(iterator.get()));
        if (!item) break;
        if (!appendItem(corpus, item.get())) {
            failedAt = &site::kCorpusItem;
            return false;
        }
    }
    if (!PyErr_Occurred()) return true;
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return false;
    PyErr_Clear();
    return true;
}

// --- Buffer fast path for array.array and NumPy arrays ---

class BufferView {
public:
    explicit BufferView(PyObject* obj) {
        held_ = PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) == 0;
        if (!held_) PyErr_Clear();  // not a buffer after all: take the general path
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool held() const { return held_; }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

template <typename Signed, typename Unsigned>
long long loadItem(const char* at, bool isSigned) {
    if (isSigned) {
        Signed value;
        std::memcpy(&value, at, sizeof value);
        return static_cast<long long>(value);
    }
    Unsigned value;
    std::memcpy(&value, at, sizeof value);
    // Unsigned 64-bit values beyond the id range only need to stay out of it.
    return value > static_cast<Unsigned>(INT32_MAX) ? LLONG_MAX : static_cast<long long>(value);
}

// Reads one item of `size` bytes; false for a size no integer format has.
bool readBufferItem(const char* at, Py_ssize_t size, bool isSigned, long long& value) {
    switch (size) {
        case 1:
            value = loadItem<std::int8_t, std::uint8_t>(at, isSigned);
            return true;
        case 2:
            value = loadItem<std::int16_t, std::uint16_t>(at, isSigned);
            return true;
        case 4:
            value = loadItem<std::int32_t, std::uint32_t>(at, isSigned);
            return true;
        case 8:
            value = loadItem<std::int64_t, std::uint64_t>(at, isSigned);
            return true;
        default:
            return false;
    }
}

enum class FastPath { Taken, Failed, NotApplicable };

bool isArrayLike(PyObject* obj) {
    const char* name = Py_TYPE(obj)->tp_name;
    return std::strcmp(name, "array.array") == 0 || std::strcmp(name, "numpy.ndarray") == 0;
}

// One-dimensional integer buffers of exact array.array and numpy.ndarray
// give the same values as iterating them, without an int object per item.
FastPath readIntegerBuffer(PyObject* obj, std::vector<int>& corpus) {
    if (!isArrayLike(obj)) return FastPath::NotApplicable;
    const BufferView buffer(obj);
    if (!buffer.held()) return FastPath::NotApplicable;
    const Py_buffer& view = buffer.view();
    const int signedness = integerSignedness(view.format);
    if (view.ndim != 1 || signedness < 0) return FastPath::NotApplicable;
    const Py_ssize_t count = view.shape[0];
    const Py_ssize_t stride = view.strides ? view.strides[0] : view.itemsize;
    if (!checkCorpusLength(static_cast<std::size_t>(count))) return FastPath::Failed;
    corpus.reserve(static_cast<std::size_t>(count));
    const char* at = static_cast<const char*>(view.buf);
    for (Py_ssize_t i = 0; i < count; ++i, at += stride) {
        long long value = 0;
        if (!readBufferItem(at, view.itemsize, signedness == 1, value)) {
            corpus.clear();
            return FastPath::NotApplicable;
        }
        if (!fitsInt32(value)) {
            setIdOverflow();
            return FastPath::Failed;
        }
        corpus.push_back(static_cast<int>(value));
    }
    return FastPath::Taken;
}

// Picks the path for `obj`; on failure points `failedAt` at the entry to add.
bool fillCorpus(PyObject* obj, std::vector<int>& corpus, const TracebackSite*& failedAt) {
    failedAt = &site::kCorpusItem;
    if (PyBytes_CheckExact(obj) || PyByteArray_CheckExact(obj)) return widenBytes(obj, corpus);
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) return walkListOrTuple(obj, corpus);
    switch (readIntegerBuffer(obj, corpus)) {
        case FastPath::Taken:
            return true;
        case FastPath::Failed:
            return false;
        case FastPath::NotApplicable:
            break;
    }
    return walkIterator(obj, corpus, failedAt);
}

// Shared ints for the ids -128 .. -128 + size - 1, referenced for the life
// of the process (one cache per extension module): -128..255 from module
// initialisation, grown on demand towards the largest vocabulary in use.
constexpr int kLowestId = -128;
constexpr int kMaxSharedIds = (1 << 17) + 128;
std::vector<PyObject*> sharedIds;

PyObject* newIdInt(int id) {
    const std::size_t slot = static_cast<std::size_t>(static_cast<long long>(id) - kLowestId);
    if (slot < sharedIds.size()) return Py_NewRef(sharedIds[slot]);
    return PyLong_FromLong(id);
}

}  // namespace

bool growSharedIdCache(int vocabSize) {
    const std::size_t want =
        static_cast<std::size_t>(std::min(static_cast<long long>(vocabSize) - kLowestId,
                                          static_cast<long long>(kMaxSharedIds)));
    if (sharedIds.size() >= want) return true;
    const bool reserved = callCore([&] { sharedIds.reserve(want); });
    if (!reserved) return false;
    while (sharedIds.size() < want) {
        PyObject* value = PyLong_FromLong(kLowestId + static_cast<long>(sharedIds.size()));
        if (value == nullptr) return false;
        sharedIds.push_back(value);  // reserved: cannot throw
    }
    return true;
}

bool initSmallIdCache() { return growSharedIdCache(256); }

PyObject* newIdList(const int* ids, std::size_t count) {
    if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = newIdInt(ids[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

Int32Read readInt32(PyObject* intObject, int& out) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(intObject, &overflow);
    if (value == -1 && PyErr_Occurred()) return Int32Read::Failed;
    if (overflow != 0 || !fitsInt32(value)) return Int32Read::OutOfRange;
    out = static_cast<int>(value);
    return Int32Read::Read;
}

int int32FromPy(PyObject* obj) {
    PyRef converted;
    PyObject* value = obj;
    if (!PyLong_Check(obj)) {
        converted.reset(callIntSlot(obj));
        if (!converted) return -1;
        value = converted.get();
    }
    int result = -1;
    switch (readInt32(value, result)) {
        case Int32Read::Read:
            return result;
        case Int32Read::OutOfRange:
            setIdOverflow();
            return -1;
        case Int32Read::Failed:
            break;
    }
    return -1;
}

bool corpusFromPy(PyObject* obj, std::vector<int>& corpus) {
    corpus.clear();
    const TracebackSite* failedAt = &site::kCorpusItem;
    bool ok = false;
    // An append that cannot allocate is reported at the item's line.
    if (!callCore([&] { ok = fillCorpus(obj, corpus, failedAt); })) failedAt = &site::kCorpusItem;
    if (ok) return true;
    std::vector<int>().swap(corpus);
    addTracebackEntry(*failedAt);
    return false;
}

PyObject* corpusToList(const std::vector<int>& corpus) {
    if (corpus.size() > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        addTracebackEntry(site::kCorpusTooLong);
        return nullptr;
    }
    const Py_ssize_t length = static_cast<Py_ssize_t>(corpus.size());
    PyRef list(PyList_New(length));
    if (!list) {
        addTracebackEntry(site::kCorpusList);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < length; ++i) {
        PyObject* item = newIdInt(corpus[static_cast<std::size_t>(i)]);
        if (!item) {
            addTracebackEntry(site::kCorpusListItem);
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
}

bool byteStringFromPy(PyObject* obj, std::string& text) {
    char* data = nullptr;
    Py_ssize_t length = 0;
    if (PyByteArray_Check(obj)) {
        data = PyByteArray_AS_STRING(obj);
        length = PyByteArray_GET_SIZE(obj);
    } else if (PyBytes_AsStringAndSize(obj, &data, &length) < 0) {
        addTracebackEntry(site::kTextNotBytes);
        return false;
    }
    return callCore(site::kTextCopy, [&] { text.assign(data, static_cast<std::size_t>(length)); });
}

std::vector<int> idsFromIterable(PyObject* obj) {
    std::vector<int> ids;
    requirePython(corpusFromPy(obj, ids));
    return ids;
}

PyObject* listFromIds(const std::vector<int>& ids) {
    PyObject* list = corpusToList(ids);
    requirePython(list != nullptr);
    return list;
}

std::string stringFromBytes(PyObject* obj) {
    std::string text;
    requirePython(byteStringFromPy(obj, text));
    return text;
}

PyObject* bytesFromString(std::string_view bytes) {
    PyObject* result =
        PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    requirePython(result != nullptr);
    return result;
}

PyObject* listFromSizes(const std::vector<std::size_t>& sizes) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(sizes.size())));
    requirePython(static_cast<bool>(list));
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        PyObject* item = PyLong_FromSize_t(sizes[i]);
        requirePython(item != nullptr);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

int int32FromInt(PyObject* obj) {
    const int value = int32FromPy(obj);
    requirePython(!(value == -1 && PyErr_Occurred()));
    return value;
}

PyRef fastSequence(PyObject* obj, const char* what) {
    PyRef seq(PySequence_Fast(obj, what));
    requirePython(static_cast<bool>(seq));
    return seq;
}

HeldBuffer::HeldBuffer(PyObject* obj) {
    requirePython(PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) == 0);
}

IdStream::IdStream(PyObject* obj) {
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        held_ = PyRef::borrowed(obj);
        kind_ = PyList_CheckExact(obj) ? Kind::List : Kind::Tuple;
        count_ = static_cast<std::size_t>(currentLength(obj));
        return;
    }
    if (!isArrayLike(obj)) return;
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();  // the full conversion finds out again and decides
        return;
    }
    const int signedness = integerSignedness(view_.format);
    const Py_ssize_t size = view_.itemsize;
    const bool integerSize = size == 1 || size == 2 || size == 4 || size == 8;
    if (view_.ndim != 1 || signedness < 0 || !integerSize ||
        static_cast<std::size_t>(view_.shape[0]) > kMaxCorpusLength) {
        PyBuffer_Release(&view_);
        return;
    }
    kind_ = Kind::Buffer;
    isSigned_ = signedness == 1;
    count_ = static_cast<std::size_t>(view_.shape[0]);
}

IdStream::~IdStream() {
    if (kind_ == Kind::Buffer) PyBuffer_Release(&view_);
}

std::size_t IdStream::next(int* block, std::size_t capacity) {
    std::size_t n = 0;
    if (kind_ == Kind::Buffer) {
        const Py_ssize_t stride = view_.strides ? view_.strides[0] : view_.itemsize;
        const char* at = static_cast<const char*>(view_.buf) + position_ * stride;
        for (; n < capacity && position_ < view_.shape[0]; ++n, ++position_, at += stride) {
            long long value = 0;
            if (!readBufferItem(at, view_.itemsize, isSigned_, value) || !fitsInt32(value)) {
                return kGaveUp;
            }
            block[n] = static_cast<int>(value);
        }
        return n;
    }
    if (kind_ == Kind::None) return kGaveUp;
    PyObject* sequence = held_.get();
    Py_ssize_t at = position_;  // a local, so it stays in a register
    for (; n < capacity; ++n, ++at) {
        const Py_ssize_t length = currentLength(sequence);
        if (at >= length) break;
        PyObject** items = currentItems(sequence);
        if (at + kPrefetchAhead < length) __builtin_prefetch(items[at + kPrefetchAhead]);
        if (!readSmallExactInt(items[at], block[n])) return kGaveUp;
    }
    position_ = at;
    if (static_cast<std::size_t>(at) > kMaxCorpusLength) return kGaveUp;
    return n;
}

char* BytesBuilder::reserve(std::size_t, std::size_t capacity) {
    if (capacity > static_cast<std::size_t>(PY_SSIZE_T_MAX) - sizeof(PyBytesObject)) {
        PyErr_NoMemory();
        throw BytesBuildFailed{};
    }
    const auto size = static_cast<Py_ssize_t>(capacity);
    if (!bytes_) {
        bytes_.reset(PyBytes_FromStringAndSize(nullptr, size));
    } else {
        // Resizing drops the reference on failure and sets the pointer to null.
        PyObject* grown = bytes_.release();
        if (_PyBytes_Resize(&grown, size) == 0) bytes_.reset(grown);
    }
    if (!bytes_) throw BytesBuildFailed{};
    return PyBytes_AS_STRING(bytes_.get());
}

PyObject* BytesBuilder::finish(std::size_t length) {
    if (!bytes_) return PyBytes_FromStringAndSize(nullptr, 0);  // nothing was asked for
    PyObject* trimmed = bytes_.release();
    if (_PyBytes_Resize(&trimmed, static_cast<Py_ssize_t>(length)) < 0) return nullptr;
    return trimmed;
}

void BytesBuilder::addFailureEntry() { addTracebackEntry(site::kBytesToPy); }

}  // namespace brevix
