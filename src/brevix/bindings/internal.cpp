// brevix._internal: private hooks into the core, for the test suite, the
// benchmark and brevix.model. Not part of the public API.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "internal.h"

namespace {

std::vector<PyMethodDef> collectMethods() {
    std::vector<PyMethodDef> all;
    for (const PyMethodDef* table :
         {brevix_engine_methods, brevix_model_methods, brevix_binding_methods,
          brevix_call_methods, brevix_byte_training_methods, brevix_bpe_methods,
          brevix_pieces_methods, brevix_text_methods, brevix_regex_methods}) {
        for (const PyMethodDef* m = table; m->ml_name != nullptr; ++m) all.push_back(*m);
    }
    all.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    return all;
}

PyModuleDef internalModule = {PyModuleDef_HEAD_INIT, "brevix._internal",
                              "Private hooks into the brevix core.", 0, nullptr,
                              nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__internal(void) {
    // Collected here rather than at static initialisation: the tables' rows
    // are themselves filled in at static initialisation, in another order.
    static std::vector<PyMethodDef> methods = collectMethods();
    internalModule.m_methods = methods.data();
    return PyModule_Create(&internalModule);
}
