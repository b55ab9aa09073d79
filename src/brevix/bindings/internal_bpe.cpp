// brevix._internal hooks into standard byte-pair encoding (brevix::bpe), for
// the tests, the fuzzer and the benchmark:
//
//   special_find(specials, text, start=0, chosen=None)
//       -> (start, length, index, id) | None
//
// `specials` is a sequence of (bytes, id); `chosen` the indices of the tokens
// to look for (None: all of them).
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "bpe/special_tokens.h"
#include "convert.h"
#include "core_errors.h"
#include "internal.h"
#include "method_table.h"
#include "pyref.h"

namespace {

namespace bpe = brevix::bpe;
using brevix::PyRef;
using brevix::requirePython;

// A list or tuple view of any sequence (new reference).
PyRef sequenceShim(PyObject* obj, const char* what) {
    PyRef seq(PySequence_Fast(obj, what));
    requirePython(static_cast<bool>(seq));
    return seq;
}

std::string bytesShim(PyObject* obj) {
    std::string text;
    requirePython(brevix::byteStringFromPyShim(obj, text));
    return text;
}

int int32Shim(PyObject* obj) {
    const int value = brevix::int32FromPyShim(obj);
    requirePython(!(value == -1 && PyErr_Occurred()));
    return value;
}

std::size_t indexShim(PyObject* obj) {
    const Py_ssize_t value = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
    requirePython(!(value == -1 && PyErr_Occurred()));
    if (value < 0) {
        PyErr_SetString(PyExc_ValueError, "an index must not be negative");
        throw brevix::PythonErrorSet{};
    }
    return static_cast<std::size_t>(value);
}

std::vector<std::size_t> indicesShim(PyObject* obj) {
    PyRef seq = sequenceShim(obj, "indices must be a sequence of ints");
    std::vector<std::size_t> indices;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        indices.push_back(indexShim(PySequence_Fast_GET_ITEM(seq.get(), i)));
    }
    return indices;
}

// A sequence of (bytes, id) pairs.
bpe::SpecialTokens specialsShim(PyObject* obj) {
    std::vector<bpe::SpecialToken> tokens;
    if (obj != nullptr && obj != Py_None) {
        PyRef seq = sequenceShim(obj, "special tokens must be a sequence of (bytes, id)");
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
            PyObject* bytes = nullptr;
            PyObject* id = nullptr;
            requirePython(PyArg_ParseTuple(item, "OO;a special token is (bytes, id)", &bytes, &id));
            tokens.push_back(bpe::SpecialToken{bytesShim(bytes), int32Shim(id)});
        }
    }
    return bpe::SpecialTokens(std::move(tokens));
}

PyObject* specialMatchShim(const std::optional<bpe::SpecialMatch>& match) {
    if (!match) Py_RETURN_NONE;
    return Py_BuildValue("(nnni)", static_cast<Py_ssize_t>(match->start),
                         static_cast<Py_ssize_t>(match->length),
                         static_cast<Py_ssize_t>(match->token), static_cast<int>(match->id));
}

PyObject* specialFindHook(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"specials", "text", "start", "chosen", nullptr};
    PyObject* specialsObj = nullptr;
    PyObject* textObj = nullptr;
    Py_ssize_t start = 0;
    PyObject* chosenObj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|nO", const_cast<char**>(names), &specialsObj,
                                     &textObj, &start, &chosenObj)) {
        return nullptr;
    }
    return brevix::callCoreForObject([&]() -> PyObject* {
        const bpe::SpecialTokens specials = specialsShim(specialsObj);
        const std::string text = bytesShim(textObj);
        const bpe::SpecialMatcher matcher =
            chosenObj == Py_None ? bpe::SpecialMatcher::all(specials)
                                 : bpe::SpecialMatcher(specials, indicesShim(chosenObj));
        if (start < 0) start = 0;
        return specialMatchShim(matcher.find(text, static_cast<std::size_t>(start)));
    });
}

}  // namespace

PyMethodDef brevix_bpe_methods[] = {
    {"special_find", brevix::withKeywords(specialFindHook), METH_VARARGS | METH_KEYWORDS,
     "special_find(specials, text, start=0, chosen=None) -> (start, length, index, id) | None\n"
     "The leftmost-longest special token of `chosen` (indices; None: all) at or after start."},
    {nullptr, nullptr, 0, nullptr},
};
