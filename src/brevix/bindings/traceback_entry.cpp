// Traceback entries as real frames. A frame made with PyFrame_New has not
// executed, so on 3.11 to 3.13 its line would come from the code object's line table;
// the frame's own f_lineno is set instead, which only the interpreter's
// internal frame struct exposes.
#include "callframe.h"

#include <map>
#include <new>
#include <string>
#include <tuple>

// The frame struct is internal to CPython: its f_lineno is known to be there
// in 3.11 to 3.13, the versions brevix is tested on.
#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030E0000
#error "brevix builds against CPython 3.11 to 3.13: traceback entries use the internal frame layout"
#endif

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
    } catch (...) {
        return PyErr_NoMemory();  // only allocation can fail here
    }
    PyRef code(reinterpret_cast<PyObject*>(PyCode_NewEmpty(fileName, functionName, line)));
    if (!code) return nullptr;
    try {
        codeCache().emplace(std::move(key), code.get());
        Py_INCREF(code.get());  // the cache's own reference, kept for the process
    } catch (...) {
        // Out of memory for the cache entry; not caching is harmless.
    }
    return code.release();
}

}  // namespace

void addTracebackEntry(const char* functionName, int line, const char* fileName) noexcept {
    PyObject* globals = tracebackGlobalsForEntries();
    if (!globals) return;
    PyObject *rawType, *rawValue, *rawTraceback;
    PyErr_Fetch(&rawType, &rawValue, &rawTraceback);
    PyRef type(rawType), value(rawValue), traceback(rawTraceback);
    PyRef code(codeForEntry(functionName, line, fileName));
    PyRef frame;
    if (code) {
        frame.reset(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    }
    // If the entry cannot be made, the error raised while making it takes
    // the place of the pending one (dropped with the PyRefs).
    if (!frame) return;
    reinterpret_cast<PyFrameObject*>(frame.get())->f_lineno = line;
    PyErr_Restore(type.release(), value.release(), traceback.release());
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace brevix
