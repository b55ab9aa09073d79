// The frame every Python call into brevix.tokenizer passes through: binding
// vectorcall arguments to named parameters, and traceback entries that name
// the module's function and a fixed line.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "core_errors.h"
#include "traceback_lines.h"

namespace brevix {

// The largest parameter list of any function of the module.
inline constexpr Py_ssize_t kMaxParameters = 3;

// Names one function's parameters for binding. `name` is the bare name used
// in the TypeError messages; `self` is not a parameter.
struct ParameterList {
    const char* name;
    const char* const* names;
    Py_ssize_t count;
};

// Binds a vectorcall argument vector (positional args, then the values of
// `kwnames`) to `params`, writing one borrowed reference per parameter into
// `out`. Every parameter is required. Returns false with TypeError set.
bool bindArguments(const ParameterList& params, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out);

// The refusal of a function that takes no arguments at all: any positional
// argument gets the count message. Returns false with TypeError set.
bool refusePositionalArguments(const char* name, Py_ssize_t given);

// The refusal of a keyword for a function that takes none.
void refuseKeyword(const char* name, PyObject* keyword);

// Globals of the frames made for traceback entries: the module namespace.
// A reference is kept for the life of the process.
void setTracebackGlobals(PyObject* moduleDict);
PyObject* tracebackGlobalsForEntries();

// Adds one entry (function name, line, file name) to the traceback of the
// pending exception, keeping its type and value. If the entry cannot be made,
// the error raised while making it replaces the pending exception.
void addTracebackEntry(const char* functionName, int line, const char* fileName) noexcept;

// True when the entries added by addTracebackEntry show their fixed lines:
// always where CPython's internal frame layout is known (BREVIX_KNOWN_LAYOUT);
// elsewhere as the running interpreter's public frame API gives them, checked
// once on a throwaway entry (otherwise the entries show the function and file
// but a line the interpreter derives). Needs the interpreter lock.
bool tracebackEntriesShowFixedLines() noexcept;

inline void addTracebackEntry(const TracebackSite& site) noexcept {
    addTracebackEntry(site.function, site.line, site.file);
}

// Adds the entry of `site` and returns the failure value, so bodies can end
// with `return failAt(site::kFit);`.
inline PyObject* failAt(const TracebackSite& site) noexcept {
    addTracebackEntry(site);
    return nullptr;
}

// callCore (core_errors.h) that also adds the entry of `site` when the call
// failed: the pattern of every binding function that calls into the core.
template <typename Call>
[[nodiscard]] bool callCore(const TracebackSite& site, Call&& call) noexcept {
    if (callCore(std::forward<Call>(call))) return true;
    addTracebackEntry(site);
    return false;
}

}  // namespace brevix
