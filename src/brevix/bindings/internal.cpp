// brevix._internal: private hooks into the core, for the test suite, the
// benchmark and brevix.model. Not part of the public API. Initialised in
// phases (PEP 489): the module holds no state, so every module object made
// from its definition is independent.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "core_errors.h"
#include "internal.h"

namespace brevix {

namespace {

// Every file's table, one after the other, ended by one null entry.
std::vector<PyMethodDef> collectMethods() {
    std::vector<PyMethodDef> all;
    for (const PyMethodDef* table :
         {engineMethods(), modelMethods(), bindingMethods(), callMethods(), byteTrainingMethods(),
          bpeMethods(), piecesMethods(), textMethods(), regexMethods()}) {
        for (const PyMethodDef* m = table; m->ml_name != nullptr; ++m) all.push_back(*m);
    }
    all.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    return all;
}

PyModuleDef_Slot moduleSlots[] = {
    {0, nullptr},
};

}  // namespace

PyModuleDef internalModuleDef = {PyModuleDef_HEAD_INIT, "brevix._internal",
                                 "Private hooks into the brevix core.", 0, nullptr,
                                 moduleSlots, nullptr, nullptr, nullptr};

}  // namespace brevix

PyMODINIT_FUNC PyInit__internal(void) {
    // Collected here rather than at static initialisation: the tables are
    // built from rows that are themselves static data of other files.
    static std::vector<PyMethodDef> methods;
    if (methods.empty() && !brevix::callCore([] { methods = brevix::collectMethods(); })) {
        return nullptr;
    }
    brevix::internalModuleDef.m_methods = methods.data();
    return PyModuleDef_Init(&brevix::internalModuleDef);
}
