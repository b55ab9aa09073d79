#include "function.h"

#include <cstddef>

#include "core_errors.h"
#include "pyref.h"

namespace brevix {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionTraits* traits;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* code;
    PyObject* globals;
    PyObject* annotations;
};

FunctionObject* asFunction(PyObject* obj) { return reinterpret_cast<FunctionObject*>(obj); }

void failAtBinding(const FunctionTraits& traits) {
    addTracebackEntry(traits.site);
}

// Splits off self for methods and checks its type before anything else runs.
bool takeSelf(const FunctionTraits& traits, PyObject* const*& args, Py_ssize_t& nargs,
              PyObject*& self) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() needs an argument", traits.params.name);
        return false;
    }
    self = args[0];
    ++args;
    --nargs;
    if (traits.selfType && !PyObject_TypeCheck(self, traits.selfType)) {
        PyErr_Format(PyExc_TypeError,
                     "descriptor '%.200s' requires a '%.100s' object but received a '%.100s'",
                     traits.params.name, traits.selfType->tp_name, Py_TYPE(self)->tp_name);
        return false;
    }
    return true;
}

PyObject* callFunction(PyObject* callable, PyObject* const* args, size_t nargsf,
                       PyObject* kwnames) noexcept {
    const FunctionTraits& traits = *asFunction(callable)->traits;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    try {
        PyObject* self = nullptr;
        if (traits.isMethod && !takeSelf(traits, args, nargs, self)) {
            failAtBinding(traits);
            return nullptr;
        }
        PyObject* bound[kMaxParameters];
        if (!bindArguments(traits.params, args, nargs, kwnames, bound)) {
            failAtBinding(traits);
            return nullptr;
        }
        return traits.body(self, bound);
    } catch (...) {
        // Bodies translate their own core failures; this only keeps anything
        // that slipped through from unwinding into the interpreter.
        translateCoreException();
        failAtBinding(traits);
        return nullptr;
    }
}

// 3.12 renamed the constructor (the old name is deprecated there).
#if PY_VERSION_HEX >= 0x030C0000
constexpr auto kNewCode = PyUnstable_Code_NewWithPosOnlyArgs;
#else
constexpr auto kNewCode = PyCode_NewWithPosOnlyArgs;
#endif

// Code object for introspection: the parameter names as positional-or-keyword
// arguments, no instructions.
PyObject* newSignatureCode(const FunctionTraits& traits) {
    const Py_ssize_t count = traits.params.count + (traits.isMethod ? 1 : 0);
    PyRef names(PyTuple_New(count));
    if (!names) return nullptr;
    Py_ssize_t i = 0;
    if (traits.isMethod) {
        PyObject* self = PyUnicode_InternFromString("self");
        if (!self) return nullptr;
        PyTuple_SET_ITEM(names.get(), i++, self);
    }
    for (Py_ssize_t p = 0; p < traits.params.count; ++p) {
        PyObject* name = PyUnicode_InternFromString(traits.params.names[p]);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(names.get(), i++, name);
    }
    PyRef empty(PyTuple_New(0));
    PyRef noBytes(PyBytes_FromStringAndSize(nullptr, 0));
    PyRef fileName(PyUnicode_FromString(traits.site.file));
    PyRef name(PyUnicode_FromString(traits.params.name));
    if (!empty || !noBytes || !fileName || !name) return nullptr;
    const int argc = static_cast<int>(count);
    return reinterpret_cast<PyObject*>(kNewCode(
        argc, 0, 0, argc, 0, CO_OPTIMIZED | CO_NEWLOCALS, noBytes.get(), empty.get(),
        empty.get(), names.get(), empty.get(), empty.get(), fileName.get(), name.get(),
        name.get(), traits.site.line, noBytes.get(), noBytes.get()));
}

PyObject* describeFunction(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", asFunction(self)->qualname, self);
}

// Binds like a Python function: fetched from an instance, a bound method.
PyObject* bindToInstance(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int traverseFunction(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = asFunction(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    Py_VISIT(f->annotations);
    return 0;
}

int clearFunction(PyObject* self) {
    FunctionObject* f = asFunction(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->code);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->annotations);
    return 0;
}

void deallocFunction(PyObject* self) {
    PyObject_GC_UnTrack(self);
    clearFunction(self);
    PyObject_GC_Del(self);
}

// Attribute getters; each returns a new reference to a stored object.
template <PyObject* FunctionObject::*Member>
PyObject* getMember(PyObject* self, void*) {
    PyObject* value = asFunction(self)->*Member;
    return Py_NewRef(value ? value : Py_None);
}

PyObject* getNone(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef functionAttributes[] = {
    {"__name__", getMember<&FunctionObject::name>, nullptr, nullptr, nullptr},
    {"__qualname__", getMember<&FunctionObject::qualname>, nullptr, nullptr, nullptr},
    {"__module__", getMember<&FunctionObject::module>, nullptr, nullptr, nullptr},
    {"__doc__", getMember<&FunctionObject::doc>, nullptr, nullptr, nullptr},
    {"__code__", getMember<&FunctionObject::code>, nullptr, nullptr, nullptr},
    {"__globals__", getMember<&FunctionObject::globals>, nullptr, nullptr, nullptr},
    {"__annotations__", getMember<&FunctionObject::annotations>, nullptr, nullptr, nullptr},
    {"__defaults__", getNone, nullptr, nullptr, nullptr},
    {"__kwdefaults__", getNone, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled by reference, like Python functions: pickle looks the qualified
// name up in __module__ (so multiprocessing can ship data_loader, say).
PyObject* reduceFunction(PyObject* self, PyObject*) {
    return Py_NewRef(asFunction(self)->qualname);
}

PyMethodDef functionMethods[] = {
    {"__reduce__", reduceFunction, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject functionType = [] {
    PyTypeObject t{};
    t.ob_base.ob_base.ob_refcnt = 1;
    t.tp_name = "brevix.tokenizer.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = deallocFunction;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = describeFunction;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                 Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t.tp_traverse = traverseFunction;
    t.tp_clear = clearFunction;
    t.tp_methods = functionMethods;
    t.tp_getset = functionAttributes;
    t.tp_descr_get = bindToInstance;
    return t;
}();

}  // namespace

bool readyFunctionType() { return PyType_Ready(&functionType) == 0; }

PyObject* newFunction(const FunctionTraits* traits, PyObject* module, PyObject* globals) {
    if (traits->params.count > kMaxParameters) {
        // callFunction binds into a fixed array of kMaxParameters.
        PyErr_Format(PyExc_SystemError, "%s() declares too many parameters", traits->params.name);
        return nullptr;
    }
    PyRef name(PyUnicode_InternFromString(traits->params.name));
    PyRef qualname(PyUnicode_FromString(traits->qualname));
    PyRef doc(PyUnicode_FromString(traits->doc));
    PyRef code(newSignatureCode(*traits));
    PyRef annotations(PyDict_New());
    if (!name || !qualname || !doc || !code || !annotations) return nullptr;
    FunctionObject* f = PyObject_GC_New(FunctionObject, &functionType);
    if (!f) return nullptr;
    f->vectorcall = callFunction;
    f->traits = traits;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(module);
    f->doc = doc.release();
    f->code = code.release();
    f->globals = Py_NewRef(globals);
    f->annotations = annotations.release();
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace brevix
