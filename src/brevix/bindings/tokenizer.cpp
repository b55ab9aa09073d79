// Placeholder module; the real binding replaces this file.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef tokenizer_module = {PyModuleDef_HEAD_INIT, "tokenizer", nullptr, 0,
                                       nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_tokenizer(void) { return PyModule_Create(&tokenizer_module); }
