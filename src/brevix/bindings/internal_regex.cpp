// brevix._internal hooks for the general pattern engine:
//
//   regex_split(pattern, data, chunk=0) -> list[int]
//   regex_split_timed(pattern, data, repeat=1) -> (best seconds, pieces)
//
// `pattern` is a str, `data` any bytes-like object. regex_split returns the
// end offset of every piece; with chunk > 0 it resumes the splitter from the
// last piece end, letting `chunk` more pieces through per call. A pattern that
// does not compile raises ValueError("invalid pattern at position N: ...").
#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "convert.h"
#include "core_errors.h"
#include "binding_table.h"
#include "internal.h"
#include "pyref.h"
#include "text/regex_splitter.h"

namespace brevix {

namespace {

using brevix::PyRef;
using brevix::requirePython;
using brevix::text::PatternError;
using brevix::text::Splitter;

// The splitter of a str pattern; a PatternError becomes the ValueError
// message that names the byte offset.
std::unique_ptr<Splitter> regexSplitterFor(PyObject* pattern) {
    if (!PyUnicode_Check(pattern)) {
        PyErr_SetString(PyExc_TypeError, "pattern must be a str");
        throw brevix::PythonErrorSet{};
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(pattern, &size);
    requirePython(utf8 != nullptr);
    try {
        return brevix::text::makeRegexSplitter(std::string_view(utf8, static_cast<std::size_t>(size)));
    } catch (const PatternError& e) {
        throw std::invalid_argument("invalid pattern at position " + std::to_string(e.position()) +
                                    ": " + e.what());
    }
}

// Every piece end of `text`, in calls of `chunk` more pieces each (one call
// when chunk is 0).
std::vector<std::size_t> splitInChunks(const Splitter& splitter, std::string_view text,
                                       std::size_t chunk) {
    std::vector<std::size_t> ends;
    if (chunk == 0) {
        splitter.split(text, 0, ends, static_cast<std::size_t>(-1));
        return ends;
    }
    std::size_t from = 0;
    while (from < text.size()) {
        const std::size_t before = ends.size();
        from = splitter.split(text, from, ends, ends.size() + chunk);
        if (ends.size() == before) throw std::logic_error("the splitter made no progress");
    }
    return ends;
}

PyObject* regexSplit(PyObject*, const BoundArgs& args) {
    const Py_ssize_t chunk = args.ssizeOr(2, 0);
    if (chunk < 0) throw std::invalid_argument("chunk must not be negative");
    const std::unique_ptr<Splitter> splitter = regexSplitterFor(args[0]);
    const brevix::HeldBuffer view(args[1]);
    const std::vector<std::size_t> ends =
        splitInChunks(*splitter, view.bytes(), static_cast<std::size_t>(chunk));
    return brevix::listFromSizes(ends);
}

PyObject* regexSplitTimed(PyObject*, const BoundArgs& args) {
    const int repeat = args.int32Or(2, 1);
    if (repeat < 1) throw std::invalid_argument("repeat must be at least 1");
    const std::unique_ptr<Splitter> splitter = regexSplitterFor(args[0]);
    const brevix::HeldBuffer view(args[1]);
    double best = 0.0;
    std::vector<std::size_t> ends;
    for (int i = 0; i < repeat; ++i) {
        ends.clear();
        const auto start = std::chrono::steady_clock::now();
        splitter->split(view.bytes(), 0, ends, static_cast<std::size_t>(-1));
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (i == 0 || took.count() < best) best = took.count();
    }
    return Py_BuildValue("(dn)", best, static_cast<Py_ssize_t>(ends.size()));
}

}  // namespace

namespace {

const FunctionRow kRows[] = {
    {"regex_split", {"pattern", "data", optional("chunk", "0")}, regexSplit,
     "-> piece end offsets of data split by pattern"},
    {"regex_split_timed", {"pattern", "data", optional("repeat", "1")}, regexSplitTimed,
     "-> (best seconds of the core call, pieces)"},
};

}  // namespace

PyMethodDef* regexMethods() {
    return methodTable<kRows>(TableKind::ModuleFunctions);
}

}  // namespace brevix
