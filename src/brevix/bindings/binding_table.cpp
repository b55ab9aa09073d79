#include "binding_table.h"

#include <climits>
#include <cstring>
#include <deque>
#include <string>

namespace brevix {

namespace {

std::size_t parameterCount(const FunctionRow& row) {
    std::size_t n = 0;
    while (n < kMaxTableParameters && row.params[n].name != nullptr) ++n;
    return n;
}

// Parameters that can be given by position: those before the first
// keyword-only one.
std::size_t positionalCount(const FunctionRow& row, std::size_t count) {
    std::size_t n = 0;
    while (n < count && !row.params[n].keywordOnly) ++n;
    return n;
}

void refuseTooManyPositional(const FunctionRow& row, std::size_t positional, Py_ssize_t given) {
    std::size_t required = 0;
    while (required < positional && row.params[required].defaultText == nullptr) ++required;
    const char* bound = required == positional ? "exactly" : "at most";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %s %zu positional argument%s (%zd given)",
                 row.name, bound, positional, positional == 1 ? "" : "s", given);
}

// Index of the parameter named `key`, or -1.
Py_ssize_t parameterIndex(const FunctionRow& row, std::size_t count, PyObject* key) {
    for (std::size_t i = 0; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, row.params[i].name) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

}  // namespace

bool bindRowArguments(const FunctionRow& row, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** out) noexcept {
    const std::size_t count = parameterCount(row);
    const std::size_t positional = positionalCount(row, count);
    if (nargs < 0 || static_cast<std::size_t>(nargs) > positional) {
        refuseTooManyPositional(row, positional, nargs);
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) out[i] = nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", row.name);
            return false;
        }
        const Py_ssize_t index = parameterIndex(row, count, key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'",
                         row.name, key);
            return false;
        }
        if (out[index] != nullptr) {
            PyErr_Format(PyExc_TypeError,
                         "argument for %.200s() given by name ('%U') and position (%zd)",
                         row.name, key, index + 1);
            return false;
        }
        out[index] = args[nargs + k];
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (out[i] == nullptr && row.params[i].defaultText == nullptr) {
            PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %zu)",
                         row.name, row.params[i].name, i + 1);
            return false;
        }
    }
    return true;
}

PyObject* callRow(const FunctionRow& row, PyObject* self, PyObject* const* args, size_t nargsf,
                  PyObject* kwnames) noexcept {
    PyObject* bound[kMaxTableParameters];
    if (!bindRowArguments(row, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
    return callCoreForObject([&] { return row.body(self, BoundArgs(row, bound)); });
}

PyObject* callRowWithTuple(const FunctionRow& row, PyObject* self, PyObject* args,
                           PyObject* kwargs) noexcept {
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nargs + nkw > static_cast<Py_ssize_t>(kMaxTableParameters)) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes at most %zu arguments (%zd given)", row.name,
                     kMaxTableParameters, nargs + nkw);
        return nullptr;
    }
    PyObject* vector[kMaxTableParameters];
    for (Py_ssize_t i = 0; i < nargs; ++i) vector[i] = PyTuple_GET_ITEM(args, i);
    PyRef kwnames;
    if (nkw > 0) {
        kwnames = PyRef(PyTuple_New(nkw));
        if (!kwnames) return nullptr;
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t pos = 0, k = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
            vector[nargs + k] = value;
            ++k;
        }
    }
    return callRow(row, self, vector, static_cast<size_t>(nargs), kwnames.get());
}

const char* rowDocstring(const FunctionRow& row, TableKind kind) {
    // Deque: adding a docstring never moves the ones handed out.
    static std::deque<std::string> docstrings;
    std::string doc = row.name;
    doc += row.classMethod ? "($type" : kind == TableKind::Methods ? "($self" : "($module";
    bool keywordOnlyStarted = false;
    for (std::size_t i = 0; i < parameterCount(row); ++i) {
        const Param& param = row.params[i];
        doc += ", ";
        if (param.keywordOnly && !keywordOnlyStarted) {
            doc += "*, ";
            keywordOnlyStarted = true;
        }
        doc += param.name;
        if (param.defaultText != nullptr) {
            doc += '=';
            doc += param.defaultText;
        }
    }
    doc += ")\n--\n\n";
    doc += row.doc;
    docstrings.push_back(std::move(doc));
    return docstrings.back().c_str();
}

// ---- converters -------------------------------------------------------------------

void BoundArgs::refuse(std::size_t i, const char* expected) const {
    PyErr_Format(PyExc_TypeError, "%.200s() argument '%s' must be %s, not %.50s", row_.name,
                 row_.params[i].name, expected, Py_TYPE(values_[i])->tp_name);
    throw PythonErrorSet{};
}

int BoundArgs::int32(std::size_t i) const {
    const long value = PyLong_AsLong(values_[i]);
    requirePython(!(value == -1 && PyErr_Occurred()));
    if (value < INT_MIN || value > INT_MAX) {
        PyErr_Format(PyExc_OverflowError, "%.200s() argument '%s' does not fit in an int",
                     row_.name, row_.params[i].name);
        throw PythonErrorSet{};
    }
    return static_cast<int>(value);
}

unsigned BoundArgs::uint32(std::size_t i) const {
    if (!PyLong_Check(values_[i])) refuse(i, "int");
    const unsigned long value = PyLong_AsUnsignedLongMask(values_[i]);
    requirePython(!(value == static_cast<unsigned long>(-1) && PyErr_Occurred()));
    return static_cast<unsigned>(value);
}

Py_ssize_t BoundArgs::ssize(std::size_t i) const {
    PyRef index(PyNumber_Index(values_[i]));
    requirePython(static_cast<bool>(index));
    const Py_ssize_t value = PyLong_AsSsize_t(index.get());
    requirePython(!(value == -1 && PyErr_Occurred()));
    return value;
}

long long BoundArgs::int64(std::size_t i) const {
    const long long value = PyLong_AsLongLong(values_[i]);
    requirePython(!(value == -1 && PyErr_Occurred()));
    return value;
}

bool BoundArgs::flag(std::size_t i) const {
    const int truth = PyObject_IsTrue(values_[i]);
    requirePython(truth >= 0);
    return truth != 0;
}

const char* BoundArgs::utf8(std::size_t i) const {
    if (!PyUnicode_Check(values_[i])) refuse(i, "str");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(values_[i], &size);
    requirePython(text != nullptr);
    if (std::strlen(text) != static_cast<std::size_t>(size)) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        throw PythonErrorSet{};
    }
    return text;
}

PyObject* BoundArgs::str(std::size_t i) const {
    if (!PyUnicode_Check(values_[i])) refuse(i, "str");
    return values_[i];
}

PyObject* BoundArgs::bytes(std::size_t i) const {
    if (!PyBytes_Check(values_[i])) refuse(i, "bytes");
    return values_[i];
}

std::string_view BoundArgs::readOnlyBytes(std::size_t i) const {
    PyObject* obj = values_[i];
    if (PyBytes_Check(obj)) {
        return {PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
    }
    Py_buffer view;
    if (!PyObject_CheckBuffer(obj) || PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) != 0) {
        PyErr_Clear();
        refuse(i, "a read-only bytes-like object");
    }
    // Like the C API's "y#": the memory of a read-only object stays put
    // while the object lives.
    const bool readOnly = view.readonly != 0;
    const std::string_view bytes(static_cast<const char*>(view.buf),
                                 static_cast<std::size_t>(view.len));
    PyBuffer_Release(&view);
    if (!readOnly) refuse(i, "a read-only bytes-like object");
    return bytes;
}

}  // namespace brevix
