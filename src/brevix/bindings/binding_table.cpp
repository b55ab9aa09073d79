#include "binding_table.h"

#include <climits>
#include <cstring>
#include <deque>
#include <string>

#include "callframe.h"

namespace brevix {

std::size_t parameterCount(const FunctionRow& row) {
    std::size_t n = 0;
    while (n < kMaxTableParameters && row.params[n].name != nullptr) ++n;
    return n;
}

std::string rowQualifiedName(const FunctionRow& row) {
    std::string name = row.site.owner != nullptr ? row.site.owner : "";
    if (!name.empty()) name += '.';
    return name + row.name;
}

namespace {

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

// Index of the keyword in `kwnames` that names `parameter`, or -1. Keywords
// that are not str never match; they are refused later.
Py_ssize_t findKeyword(PyObject* kwnames, const char* parameter) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, parameter) == 0) {
            return i;
        }
    }
    return -1;
}

// Some keywords were not used to fill a parameter: the first of them, in
// call order, decides the message.
void refuseLeftoverKeywords(const FunctionRow& row, std::size_t count, PyObject* kwnames,
                            Py_ssize_t nargs) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        const Py_ssize_t index = PyUnicode_Check(key) ? parameterIndex(row, count, key) : -1;
        if (index < 0) {
            refuseKeyword(row.name, key);
            return;
        }
        if (index < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         row.name, key);
            return;
        }
    }
}

}  // namespace

bool bindAllRequired(const FunctionRow& row, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out) noexcept {
    const Py_ssize_t count = static_cast<Py_ssize_t>(parameterCount(row));
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > count || (nkw == 0 && nargs < count)) {
        refuseArgumentCount(row.name, count, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    Py_ssize_t used = 0;
    for (Py_ssize_t i = nargs; i < count; ++i) {
        const Py_ssize_t k = findKeyword(kwnames, row.params[i].name);
        if (k < 0) {
            // A missing parameter is reported before any stray keyword.
            refuseArgumentCount(row.name, count, i);
            return false;
        }
        out[i] = args[nargs + k];
        ++used;
    }
    if (used < nkw) {
        refuseLeftoverKeywords(row, static_cast<std::size_t>(count), kwnames, nargs);
        return false;
    }
    return true;
}

bool bindArguments(const FunctionRow& row, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out) noexcept {
    const ArgumentBinder binder = row.binder != nullptr ? row.binder : bindRowArguments;
    return binder(row, args, nargs, kwnames, out);
}

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
        const Py_ssize_t index = PyUnicode_Check(key) ? parameterIndex(row, count, key) : -1;
        if (index < 0) {
            refuseKeyword(row.name, key);
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

PyObject* runRowBody(const FunctionRow& row, PyObject* self, PyObject* const* bound) noexcept {
    try {
        return row.body(self, BoundArgs(row, bound));
    } catch (...) {
        translateCoreException();
        if (hasSite(row)) addTracebackEntry(rowSite(row));
        return nullptr;
    }
}

PyObject* callRow(const FunctionRow& row, PyObject* self, PyObject* const* args, size_t nargsf,
                  PyObject* kwnames) noexcept {
    PyObject* bound[kMaxTableParameters];
    if (!bindArguments(row, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
        // Without parameters there is nothing to bind: the refusal comes
        // before the function's own frame.
        if (hasSite(row) && parameterCount(row) > 0) addTracebackEntry(rowSite(row));
        return nullptr;
    }
    return runRowBody(row, self, bound);
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

namespace {

// "Owner.name(self, vector[int] corpus)", then the doc after a blank line.
std::string signatureWithTypes(const FunctionRow& row) {
    std::string doc = rowQualifiedName(row) + '(';
    const char* separator = "";
    if (row.site.owner != nullptr) {
        doc += "self";
        separator = ", ";
    }
    for (std::size_t i = 0; i < parameterCount(row); ++i) {
        doc += separator;
        separator = ", ";
        if (row.params[i].typeText != nullptr) {
            doc += row.params[i].typeText;
            doc += ' ';
        }
        doc += row.params[i].name;
    }
    doc += ')';
    if (row.doc != nullptr) {
        doc += "\n\n";
        doc += row.doc;
    }
    return doc;
}

// "name($self, a, *, b=None)", "--", a blank line and the doc.
std::string textSignatureAndDoc(const FunctionRow& row, TableKind kind) {
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
    if (row.doc != nullptr) doc += row.doc;
    return doc;
}

}  // namespace

const char* rowDocstring(const FunctionRow& row, TableKind kind) {
    // Deque: adding a docstring never moves the ones handed out.
    static std::deque<std::string> docstrings;
    docstrings.push_back(hasSite(row) ? signatureWithTypes(row) : textSignatureAndDoc(row, kind));
    return docstrings.back().c_str();
}

// ---- converters -------------------------------------------------------------------

TracebackSite BoundArgs::site() const { return rowSite(row_); }

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
