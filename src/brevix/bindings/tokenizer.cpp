// brevix.tokenizer: module creation and initialisation (multi-phase). The
// module supports one interpreter per process and a single initialisation:
// later imports get back the module object made the first time.
#include <cstddef>
#include <cstdint>

#include "callframe.h"
#include "convert.h"
#include "function.h"
#include "pyref.h"
#include "tokenizer_class.h"
#include "version_check.h"

namespace brevix {

namespace {

// Process-wide state, written only by the create and exec steps under the
// interpreter lock. The module reference is never dropped at process exit.
PyObject* recordedModule = nullptr;
std::int64_t firstInterpreterId = -1;

// --- Create step ---

bool checkSingleInterpreter() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return false;
    if (firstInterpreterId == -1) {
        firstInterpreterId = current;
    } else if (current != firstInterpreterId) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return false;
    }
    return true;
}

// Copies importSpec.<attribute> into the module namespace as `name`. A missing
// attribute is skipped; None is copied unless `skipNone`.
bool copyImportSpecAttribute(PyObject* importSpec, PyObject* dict, const char* attribute,
                             const char* name, bool skipNone) {
    PyRef value(PyObject_GetAttrString(importSpec, attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (skipNone && value.get() == Py_None) return true;
    return PyDict_SetItemString(dict, name, value.get()) == 0;
}

PyObject* createModule(PyObject* importSpec, PyModuleDef*) {
    if (!checkSingleInterpreter()) return nullptr;
    if (recordedModule) return Py_NewRef(recordedModule);
    PyRef name(PyObject_GetAttrString(importSpec, "name"));
    if (!name) return nullptr;
    PyRef module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    const bool copied =
        dict && copyImportSpecAttribute(importSpec, dict, "loader", "__loader__", false) &&
        copyImportSpecAttribute(importSpec, dict, "origin", "__file__", false) &&
        copyImportSpecAttribute(importSpec, dict, "parent", "__package__", false) &&
        copyImportSpecAttribute(importSpec, dict, "submodule_search_locations", "__path__", true);
    if (!copied) return nullptr;
    return module.release();
}

// --- Exec step ---

// A step that failed from the module table on: the module's init entry, at
// its own line or at the line and file of a function that could not be
// installed.
int failExec(int line = site::kInit.line, const char* file = site::kInit.file) {
    TracebackSite at = site::kInit;
    at.line = line;
    at.file = file;
    addTracebackEntry(at);
    return -1;
}

// Adds a function object for each row, by `add`; a failure is reported at
// the function's own line.
template <std::size_t N, typename Add>
int installFunctions(const FunctionRow (&rows)[N], PyTypeObject* selfType, PyObject* moduleName,
                     PyObject* globals, Add&& add) {
    for (const FunctionRow& row : rows) {
        PyRef function(newFunction(row, selfType, moduleName, globals));
        if (!function || !add(row.name, function.get())) return failExec(row.site.line, row.site.file);
    }
    return 0;
}

// Registers the module under its full name unless an entry exists already.
bool ensureInModuleTable(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyRef key(PyUnicode_FromString(kTokenizerModuleName));
    if (!key) return false;
    if (PyDict_GetItemWithError(modules, key.get())) return true;
    if (PyErr_Occurred()) return false;
    return PyDict_SetItem(modules, key.get(), module) == 0;
}

// Replaces the class's working methods with function objects, then adds the
// module's functions.
int installFunctionObjects(PyObject* module, PyObject* moduleName, PyObject* globals) {
    auto toClass = [](const char* name, PyObject* function) {
        return setClassAttribute(name, function);
    };
    auto toModule = [module](const char* name, PyObject* function) {
        return PyModule_AddObjectRef(module, name, function) == 0;
    };
    if (installFunctions(kClassMethodRows, &PyBytePairTokenizerType, moduleName, globals,
                         toClass) < 0 ||
        installFunctions(kPicklingRows, nullptr, moduleName, globals, toModule) < 0 ||
        installFunctions(kCorpusFunctionRows, nullptr, moduleName, globals, toModule) < 0) {
        return -1;
    }
    PyRef test(PyDict_New());
    if (!test || PyModule_AddObjectRef(module, "__test__", test.get()) < 0) return failExec();
    return 0;
}

int runExecSteps(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    if (!globals) return -1;
    PyRef builtins(PyImport_ImportModule("builtins"));
    if (!builtins || PyModule_AddObjectRef(module, "__builtins__", builtins.get()) < 0) return -1;
    setTracebackGlobals(globals);
    if (!warnIfRuntimeVersionDiffers()) return -1;
    PyRef moduleName(PyUnicode_InternFromString(kTokenizerModuleName));
    if (!moduleName || !readyFunctionType() || !initSmallIdCache()) return -1;

    if (!ensureInModuleTable(module)) return failExec();
    if (!readyTokenizerType() ||
        PyModule_AddObjectRef(module, "PyBytePairTokenizer",
                              reinterpret_cast<PyObject*>(&PyBytePairTokenizerType)) < 0 ||
        !installPicklingRefusal()) {
        return failExec();
    }
    return installFunctionObjects(module, moduleName.get(), globals);
}

int execModule(PyObject* module) {
    if (recordedModule) {
        if (recordedModule == module) return 0;  // a later import: nothing runs again
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'tokenizer' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    recordedModule = Py_NewRef(module);
    if (runExecSteps(module) == 0) return 0;
    Py_CLEAR(recordedModule);  // a later import starts afresh
    return -1;
}

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_create, reinterpret_cast<void*>(createModule)},
    {Py_mod_exec, reinterpret_cast<void*>(execModule)},
    {0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT, "tokenizer", nullptr, 0, nullptr, moduleSlots, nullptr, nullptr,
    nullptr,
};

}  // namespace
}  // namespace brevix

PyMODINIT_FUNC PyInit_tokenizer(void) { return PyModuleDef_Init(&brevix::moduleDef); }
