// brevix._internal hooks into text splitting and its Unicode tables, for the
// test suite and the benchmark:
//
//   split(pattern, data, chunk=0) -> list[int]    piece end offsets
//   split_timed(pattern, data, repeat=1) -> (wall, cpu, pieces)
//   well_known_patterns() -> dict[str, str]       "gpt2", "cl100k", "o200k"
//   unicode_version() -> str
//   unicode_category(cp) -> str
//   unicode_table(what) -> bytes                  one value per code point
//   case_variants(cp) -> list[int]
//   matches_ignoring_case(a, b) -> bool
//   utf8_decode(data, pos) -> (cp, length)
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "convert.h"
#include "core_errors.h"
#include "binding_table.h"
#include "internal.h"
#include "pyref.h"
#include "text/make_splitter.h"
#include "text/unicode_classes.h"
#include "text/utf8.h"

namespace brevix {

namespace {

using brevix::PyRef;
using brevix::requirePython;

constexpr const char* kCategoryNames[] = {
    "Cn", "Lu", "Ll", "Lt", "Lm", "Lo", "Mn", "Mc", "Me", "Nd", "Nl", "No", "Pc", "Pd", "Ps",
    "Pe", "Pi", "Pf", "Po", "Sm", "Sc", "Sk", "So", "Zs", "Zl", "Zp", "Cc", "Cf", "Cs", "Co"};

// The pattern argument (a str) as its UTF-8 bytes.
std::string_view patternUtf8(PyObject* pattern) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(pattern, &size);
    requirePython(utf8 != nullptr);
    return {utf8, static_cast<std::size_t>(size)};
}

// All piece ends of `data`: one call, or calls whose limit grows by `chunk`;
// each call must stop at its last piece's end.
std::vector<std::size_t> splitAll(const text::Splitter& splitter, std::string_view data,
                                  std::size_t chunk) {
    std::vector<std::size_t> ends;
    if (chunk == 0) {
        splitter.split(data, 0, ends, static_cast<std::size_t>(-1));
        return ends;
    }
    std::size_t pos = 0;
    for (std::size_t limit = chunk; pos < data.size(); limit += chunk) {
        const std::size_t before = ends.size();
        pos = splitter.split(data, pos, ends, limit);
        if (ends.size() == before || pos != ends.back()) {
            throw std::logic_error("a resumed split did not stop at its last piece");
        }
    }
    return ends;
}

PyObject* splitHook(PyObject*, const BoundArgs& args) {
    PyObject* pattern = args.str(0);
    const Py_ssize_t chunk = args.ssizeOr(2, 0);
    if (chunk < 0) {
        PyErr_SetString(PyExc_ValueError, "chunk must be 0 or more");
        return nullptr;
    }
    const HeldBuffer buffer(args[1]);
    const auto splitter = text::makeSplitter(patternUtf8(pattern));
    return listFromSizes(splitAll(*splitter, buffer.bytes(), static_cast<std::size_t>(chunk)));
}

// The CPU time of the calling thread: on a shared machine, what a timing
// should count rather than the wall clock.
double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

PyObject* splitTimedHook(PyObject*, const BoundArgs& args) {
    PyObject* pattern = args.str(0);
    const int repeat = args.int32Or(2, 1);
    if (repeat < 1) {
        PyErr_SetString(PyExc_ValueError, "repeat must be at least 1");
        return nullptr;
    }
    const HeldBuffer buffer(args[1]);
    const auto splitter = text::makeSplitter(patternUtf8(pattern));
    std::vector<std::size_t> ends;
    ends.reserve(buffer.bytes().size() / 2 + 1);
    double bestWall = 0, bestCpu = 0;
    for (int r = 0; r < repeat; ++r) {
        ends.clear();
        const auto wallStart = std::chrono::steady_clock::now();
        const double cpuStart = threadCpuSeconds();
        splitter->split(buffer.bytes(), 0, ends, static_cast<std::size_t>(-1));
        const double cpu = threadCpuSeconds() - cpuStart;
        const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wallStart;
        if (r == 0 || wall.count() < bestWall) bestWall = wall.count();
        if (r == 0 || cpu < bestCpu) bestCpu = cpu;
    }
    return Py_BuildValue("(ddn)", bestWall, bestCpu, static_cast<Py_ssize_t>(ends.size()));
}

PyObject* wellKnownPatternsHook(PyObject*, const BoundArgs&) {
    const std::pair<const char*, std::string_view> patterns[] = {
        {"gpt2", text::kGpt2Pattern}, {"cl100k", text::kCl100kPattern}, {"o200k", text::kO200kPattern}};
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [name, pattern] : patterns) {
        PyRef value(PyUnicode_DecodeUTF8(pattern.data(), static_cast<Py_ssize_t>(pattern.size()),
                                         "strict"));
        if (!value || PyDict_SetItemString(dict.get(), name, value.get()) != 0) return nullptr;
    }
    return dict.release();
}

PyObject* unicodeVersionHook(PyObject*, const BoundArgs&) {
    return PyUnicode_FromString(text::unicodeVersion());
}

// A code point argument: an int in 0..U+10FFFF.
bool toCodePoint(PyObject* obj, char32_t& cp) {
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || value > static_cast<long>(text::kMaxCodePoint)) {
        PyErr_Format(PyExc_ValueError, "not a code point: %ld", value);
        return false;
    }
    cp = static_cast<char32_t>(value);
    return true;
}

PyObject* unicodeCategoryHook(PyObject*, const BoundArgs& args) {
    char32_t cp = 0;
    if (!toCodePoint(args[0], cp)) return nullptr;
    return PyUnicode_FromString(kCategoryNames[static_cast<int>(text::categoryOf(cp))]);
}

using TableValue = std::uint32_t (*)(char32_t);

// The tables unicode_table serves: the category index, 0/1 for a class, or
// the case fold.
struct TableRow {
    const char* name;
    TableValue value;
};
constexpr TableRow kTables[] = {
    {"category", [](char32_t cp) { return std::uint32_t(text::categoryOf(cp)); }},
    {"letter", [](char32_t cp) { return std::uint32_t(text::isLetter(cp)); }},
    {"number", [](char32_t cp) { return std::uint32_t(text::isNumber(cp)); }},
    {"mark", [](char32_t cp) { return std::uint32_t(text::isMark(cp)); }},
    {"space", [](char32_t cp) { return std::uint32_t(text::isSpace(cp)); }},
    {"word", [](char32_t cp) { return std::uint32_t(text::isWord(cp)); }},
    {"digit", [](char32_t cp) { return std::uint32_t(text::isDigit(cp)); }},
    {"fold", [](char32_t cp) { return std::uint32_t(text::foldCase(cp)); }},
};

PyObject* unicodeTableHook(PyObject*, const BoundArgs& args) {
    const char* name = PyUnicode_AsUTF8(args[0]);
    if (name == nullptr) return nullptr;
    const TableRow* row = nullptr;
    for (const TableRow& r : kTables) {
        if (std::strcmp(r.name, name) == 0) row = &r;
    }
    if (row == nullptr) {
        PyErr_Format(PyExc_ValueError, "unknown table %s", name);
        return nullptr;
    }
    const std::size_t width = std::strcmp(name, "fold") == 0 ? 4 : 1;
    const std::size_t count = std::size_t(text::kMaxCodePoint) + 1;
    PyRef out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * width)));
    if (!out) return nullptr;
    char* bytes = PyBytes_AS_STRING(out.get());
    for (std::size_t cp = 0; cp < count; ++cp) {
        const std::uint32_t value = row->value(static_cast<char32_t>(cp));
        if (width == 4) std::memcpy(bytes + 4 * cp, &value, 4);
        else bytes[cp] = static_cast<char>(value);
    }
    return out.release();
}

PyObject* caseVariantsHook(PyObject*, const BoundArgs& args) {
    char32_t cp = 0;
    if (!toCodePoint(args[0], cp)) return nullptr;
    char32_t variants[text::kMaxCaseVariants];
    const std::size_t n = text::caseVariants(cp, variants);
    PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = PyLong_FromUnsignedLong(variants[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* matchesIgnoringCaseHook(PyObject*, const BoundArgs& args) {
    char32_t a = 0, b = 0;
    if (!toCodePoint(args[0], a) || !toCodePoint(args[1], b)) return nullptr;
    return PyBool_FromLong(text::matchesIgnoringCase(a, b));
}

PyObject* utf8DecodeHook(PyObject*, const BoundArgs& args) {
    const Py_ssize_t pos = args.ssize(1);
    const HeldBuffer buffer(args[0]);
    if (pos < 0 || static_cast<std::size_t>(pos) >= buffer.bytes().size()) {
        PyErr_SetString(PyExc_IndexError, "pos is outside the data");
        return nullptr;
    }
    const text::Utf8Unit unit = text::decodeUtf8(buffer.bytes(), static_cast<std::size_t>(pos));
    return Py_BuildValue("(kI)", static_cast<unsigned long>(unit.cp), unit.length);
}

}  // namespace

namespace {

const FunctionRow kRows[] = {
    {"split", {"pattern", "data", optional("chunk", "0")}, splitHook,
     "-> list[int]\nEnd offsets of the pieces of data; chunk > 0 resumes with limits growing by chunk."},
    {"split_timed", {"pattern", "data", optional("repeat", "1")}, splitTimedHook,
     "-> (wall, cpu, pieces)\nThe fastest of repeat splits of data by wall clock and by thread CPU time, in seconds."},
    {"well_known_patterns", {}, wellKnownPatternsHook,
     "-> dict[str, str]\nThe patterns that have hand-written scanners."},
    {"unicode_version", {}, unicodeVersionHook,
     "-> str\nThe Unicode version of the splitters' tables."},
    {"unicode_category", {"cp"}, unicodeCategoryHook,
     "-> str\nThe general category of a code point."},
    {"unicode_table", {"what"}, unicodeTableHook,
     "-> bytes\nPer code point: 'category' (index), 'letter', 'number', 'mark', 'space', 'word',\n'digit' (0/1), one byte each; 'fold' (native uint32)."},
    {"case_variants", {"cp"}, caseVariantsHook,
     "-> list[int]\nThe code points cp matches under (?i), cp first."},
    {"matches_ignoring_case", {"a", "b"}, matchesIgnoringCaseHook, "-> bool"},
    {"utf8_decode", {"data", "pos"}, utf8DecodeHook,
     "-> (cp, length)\nThe UTF-8 unit at byte pos of data."},
};

}  // namespace

PyMethodDef* textMethods() {
    return methodTable<kRows>(TableKind::ModuleFunctions);
}

}  // namespace brevix
