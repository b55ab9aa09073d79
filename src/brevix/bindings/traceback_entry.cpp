// Traceback entries as real frames. A frame made with PyFrame_New has not
// executed, so on 3.11 its line would come from the code object's line table;
// the frame's own f_lineno is set instead, which only the interpreter's
// internal frame struct exposes.
#include "callframe.h"

#include <map>
#include <new>
#include <string>
#include <tuple>

#ifndef Py_BUILD_CORE
#define Py_BUILD_CORE 1
#endif
#include <frameobject.h>
#include <internal/pycore_frame.h>

#include "pyref.h"

namespace brevix {

namespace {

using CodeKey = std::tuple<std::string, std::string, int>;

// Empty code objects by (file, function, line). Allocated once and never
// destroyed: its references must not be dropped after the interpreter is gone.
std::map<CodeKey, PyObject*>& codeCache() {
    static auto* cache = new std::map<CodeKey, PyObject*>();
    return *cache;
}

// A new reference to the code object for this entry, or nullptr with an
// error set.
PyObject* codeForEntry(const char* functionName, int line, const char* fileName) {
    CodeKey key;
    try {
        key = CodeKey(fileName, functionName, line);
        auto found = codeCache().find(key);
        if (found != codeCache().end()) return Py_NewRef(found->second);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(fileName, functionName, line));
    if (!code) return nullptr;
    try {
        codeCache().emplace(std::move(key), Py_NewRef(code));
    } catch (const std::bad_alloc&) {
        Py_DECREF(code);  // the cache's reference; not caching is harmless
    }
    return code;
}

}  // namespace

void addTracebackEntry(const char* functionName, int line, const char* fileName) noexcept {
    PyObject* globals = tracebackGlobalsForEntries();
    if (!globals) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef code(codeForEntry(functionName, line, fileName));
    PyRef frame;
    if (code) {
        frame.reset(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    }
    if (!frame) {
        // The error raised while making the entry takes the place of the
        // pending one.
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return;
    }
    reinterpret_cast<PyFrameObject*>(frame.get())->f_lineno = line;
    PyErr_Restore(type, value, traceback);
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace brevix
