// Traceback entries as real frames. A frame made with PyFrame_New has not
// executed, so its line comes from the code object (made to start at the
// entry's line). Where CPython's internal frame layout is known
// (BREVIX_KNOWN_LAYOUT, 3.11 to 3.13), the frame's own f_lineno is set as
// well, which pins the line whatever the interpreter derives; elsewhere only
// public API is used, and whether the lines come out as fixed is checked at
// run time (tracebackEntriesShowFixedLines).
#include "callframe.h"

#include <map>
#include <new>
#include <string>
#include <tuple>

#include <frameobject.h>

// The frame struct is internal to CPython: its f_lineno is known to be there
// in 3.11 to 3.13, the versions the build enables BREVIX_KNOWN_LAYOUT for.
#if BREVIX_KNOWN_LAYOUT
#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030E0000
#error "BREVIX_KNOWN_LAYOUT is for CPython 3.11 to 3.13 only"
#endif
#ifndef Py_BUILD_CORE
#define Py_BUILD_CORE 1
#endif
#include <internal/pycore_frame.h>
#endif

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

// Adds the entry to the pending exception's traceback with frames that see
// `globals`; on failure the error raised instead replaces the pending one.
void addEntryWithGlobals(PyObject* globals, const char* functionName, int line,
                         const char* fileName) noexcept {
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
#if BREVIX_KNOWN_LAYOUT
    reinterpret_cast<PyFrameObject*>(frame.get())->f_lineno = line;
#endif
    PyErr_Restore(type.release(), value.release(), traceback.release());
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

// The function an entry names: the parts of `site` that are set, joined by
// dots ("brevix.tokenizer.PyBytePairTokenizer.fit").
std::string shownName(const TracebackSite& site) {
    std::string name;
    for (const char* part : {site.module, site.owner, site.function}) {
        if (part == nullptr) continue;
        if (!name.empty()) name += '.';
        name += part;
    }
    return name;
}

#if !BREVIX_KNOWN_LAYOUT
// True when an entry made through the public API alone shows the line asked
// for: one entry at an unusual line on a throwaway exception, read back from
// the traceback. Leaves no error set.
bool publicEntriesShowFixedLines() {
    constexpr int kProbeLine = 4099;
    // Without __builtins__ in them, the frame takes the interpreter's.
    PyRef globals(PyDict_New());
    if (!globals) {
        PyErr_Clear();
        return false;
    }
    PyObject *rawType, *rawValue, *rawTraceback;
    PyErr_Fetch(&rawType, &rawValue, &rawTraceback);
    PyRef savedType(rawType), savedValue(rawValue), savedTraceback(rawTraceback);

    PyErr_SetString(PyExc_RuntimeError, "traceback line probe");
    addEntryWithGlobals(globals.get(), "probe", kProbeLine, "<probe>");
    PyErr_Fetch(&rawType, &rawValue, &rawTraceback);
    PyRef type(rawType), value(rawValue), traceback(rawTraceback);
    bool fixed = false;
    if (traceback) {
        PyRef lineObject(PyObject_GetAttrString(traceback.get(), "tb_lineno"));
        fixed = lineObject && PyLong_AsLong(lineObject.get()) == kProbeLine;
    }
    PyErr_Clear();
    PyErr_Restore(savedType.release(), savedValue.release(), savedTraceback.release());
    return fixed;
}
#endif

}  // namespace

bool tracebackEntriesShowFixedLines() noexcept {
#if BREVIX_KNOWN_LAYOUT
    return true;
#else
    static const bool fixed = publicEntriesShowFixedLines();
    return fixed;
#endif
}

void addTracebackEntry(const TracebackSite& site) noexcept {
    PyObject* globals = tracebackGlobalsForEntries();
    if (!globals) return;
    std::string name;
    try {
        name = shownName(site);
    } catch (...) {
        PyErr_NoMemory();  // only allocation can fail here
        return;
    }
    addEntryWithGlobals(globals, name.c_str(), site.line, site.file);
}

}  // namespace brevix
