#include "tokenizer_class.h"

#include <new>

#include "callframe.h"
#include "core_errors.h"
#include "function.h"
#include "function_bodies.h"

namespace brevix {

namespace {

constexpr const char* kPicklingRefusal =
    "self.c_bpt cannot be converted to a Python object for pickling";

// --- Instance life ---

PyObject* allocateTokenizer(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self;
    if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) {
        // object's allocation raises the usual "Can't instantiate" error.
        PyRef noArgs(PyTuple_New(0));
        if (!noArgs) return nullptr;
        self = PyBaseObject_Type.tp_new(type, noArgs.get(), nullptr);
    } else {
        self = type->tp_alloc(type, 0);
    }
    if (!self) return nullptr;
    try {
        new (&coreOf(self)) bytepairtokenizer::BytePairTokenizer();
    } catch (...) {
        // No c_bpt to destroy, so free the memory without running dealloc.
        translateCoreException();
        if (PyObject_IS_GC(self)) PyObject_GC_UnTrack(self);
        type->tp_free(self);
        if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) Py_DECREF(type);  // taken by tp_alloc
        return nullptr;
    }
    return self;
}

int initTokenizer(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!refusePositionalArguments("__init__", PyTuple_GET_SIZE(args))) return -1;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        // The last keyword of the call is the one named.
        PyObject *key = nullptr, *value = nullptr, *last = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) last = key;
        refuseKeyword("__init__", last);
        return -1;
    }
    if (!refuseWhileFitting(instanceOf(self))) {
        failAt(site::kTokenizerInit);
        return -1;
    }
    const bool reset = callCore(site::kTokenizerInit,
                                [&] { coreOf(self) = bytepairtokenizer::BytePairTokenizer(); });
    return reset ? 0 : -1;
}

void deallocTokenizer(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    const bool finalized = PyType_IS_GC(type) && PyObject_GC_IsFinalized(self);
    if (type->tp_finalize && !finalized) {
        // The finaliser may still use the core tokenizer; it may also
        // resurrect the object, in which case nothing is destroyed.
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
    }
    coreOf(self).~BytePairTokenizer();
    type->tp_free(self);
}

PyObject* getSize(PyObject* self, void*) {
    PyObject* size = PyLong_FromLong(coreOf(self).size());
    return size ? size : failAt(site::kSizeGetter);
}

PyGetSetDef tokenizerProperties[] = {
    {"size", getSize, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject makeTokenizerType() {
    PyTypeObject t{};
    t.ob_base.ob_base.ob_refcnt = 1;
    t.tp_name = "brevix.tokenizer.PyBytePairTokenizer";
    t.tp_basicsize = sizeof(PyBytePairTokenizerObject);
    t.tp_dealloc = deallocTokenizer;
    // No GC (the instance holds no Python references), no __dict__, no
    // weak references.
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE;
    t.tp_doc = "PyBytePairTokenizer()";
    t.tp_getset = tokenizerProperties;
    t.tp_init = initTokenizer;
    t.tp_new = allocateTokenizer;
    return t;
}

// Moves the class attribute `from` to `to`; already moved counts as done.
bool renameClassAttribute(PyObject* dict, const char* from, const char* to) {
    PyObject* method = PyDict_GetItemString(dict, from);  // borrowed
    if (!method) return PyDict_GetItemString(dict, to) != nullptr;
    return PyDict_SetItemString(dict, to, method) == 0 && PyDict_DelItemString(dict, from) == 0;
}

}  // namespace

PyTypeObject PyBytePairTokenizerType = makeTokenizerType();

PyObject* refusePicklingBody(PyObject*, const BoundArgs& args) {
    PyErr_SetString(PyExc_TypeError, kPicklingRefusal);
    return failAt(args.site().below());
}

bool readyTokenizerType() {
    // The pickling methods, under the names installPicklingRefusal moves.
    PyBytePairTokenizerType.tp_methods = methodTableOrNull<kPicklingRows>(TableKind::Methods);
    return PyBytePairTokenizerType.tp_methods != nullptr &&
           PyType_Ready(&PyBytePairTokenizerType) == 0;
}

bool installPicklingRefusal() {
    PyObject* dict = PyBytePairTokenizerType.tp_dict;
    const bool done = renameClassAttribute(dict, kPicklingRows[0].name, "__reduce__") &&
                      renameClassAttribute(dict, kPicklingRows[1].name, "__setstate__");
    PyType_Modified(&PyBytePairTokenizerType);
    if (!done && !PyErr_Occurred()) {
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s",
                     PyBytePairTokenizerType.tp_name);
    }
    return done;
}

bool setClassAttribute(const char* name, PyObject* function) {
    const int rc = PyDict_SetItemString(PyBytePairTokenizerType.tp_dict, name, function);
    PyType_Modified(&PyBytePairTokenizerType);
    return rc == 0;
}

}  // namespace brevix
