// The frame every Python call into brevix.tokenizer passes through: the
// module's own words for arguments refused by count or keyword, and
// traceback entries that name the module's function and a fixed line.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "core_errors.h"
#include "traceback_lines.h"

namespace brevix {

// Sets TypeError "name() takes exactly <expected> positional argument(s)
// (<given> given)": the module's refusal of a call with too few or too many
// arguments.
void refuseArgumentCount(const char* name, Py_ssize_t expected, Py_ssize_t given);

// The refusal of a function that takes no arguments at all: any positional
// argument gets the count message. Returns false with TypeError set.
bool refusePositionalArguments(const char* name, Py_ssize_t given);

// The refusal of a keyword for a function that takes none (or not this
// one): TypeError naming the keyword, or saying keywords must be strings.
void refuseKeyword(const char* name, PyObject* keyword);

// Globals of the frames made for traceback entries: the module namespace.
// A reference is kept for the life of the process.
void setTracebackGlobals(PyObject* moduleDict);
PyObject* tracebackGlobalsForEntries();

// Adds the entry of `site` to the traceback of the pending exception,
// keeping its type and value. If the entry cannot be made, the error raised
// while making it replaces the pending exception. Adds nothing before the
// module has set its traceback globals.
void addTracebackEntry(const TracebackSite& site) noexcept;

// True when the entries added by addTracebackEntry show their fixed lines:
// always where CPython's internal frame layout is known (BREVIX_KNOWN_LAYOUT);
// elsewhere as the running interpreter's public frame API gives them, checked
// once on a throwaway entry (otherwise the entries show the function and file
// but a line the interpreter derives). Needs the interpreter lock.
bool tracebackEntriesShowFixedLines() noexcept;

// Adds the entry of `site` and returns the failure value, so bodies can end
// with `return failAt(site);`.
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
