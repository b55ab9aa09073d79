#include "function.h"

#include <cstddef>

#include "callframe.h"
#include "core_errors.h"
#include "pyref.h"

namespace brevix {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionRow* row;
    PyTypeObject* selfType;  // borrowed: a static type
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* code;
    PyObject* globals;
    PyObject* annotations;
};

FunctionObject* asFunction(PyObject* obj) { return reinterpret_cast<FunctionObject*>(obj); }

bool isMethod(const FunctionRow& row) { return row.site.owner != nullptr; }

// Splits off self for methods and checks its type before anything else runs.
bool takeSelf(const FunctionObject& f, PyObject* const*& args, Py_ssize_t& nargs,
              PyObject*& self) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() needs an argument", f.row->name);
        return false;
    }
    self = args[0];
    ++args;
    --nargs;
    if (f.selfType && !PyObject_TypeCheck(self, f.selfType)) {
        PyErr_Format(PyExc_TypeError,
                     "descriptor '%.200s' requires a '%.100s' object but received a '%.100s'",
                     f.row->name, f.selfType->tp_name, Py_TYPE(self)->tp_name);
        return false;
    }
    return true;
}

// Taking self and binding the parameters both fail at the row's own entry:
// a method always has self to bind.
PyObject* callFunction(PyObject* callable, PyObject* const* args, size_t nargsf,
                       PyObject* kwnames) noexcept {
    const FunctionObject& f = *asFunction(callable);
    const FunctionRow& row = *f.row;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self = nullptr;
    PyObject* bound[kMaxTableParameters];
    if ((isMethod(row) && !takeSelf(f, args, nargs, self)) ||
        !bindArguments(row, args, nargs, kwnames, bound)) {
        return failAt(rowSite(row));
    }
    return runRowBody(row, self, bound);
}

// 3.12 renamed the constructor (the old name is deprecated there).
#if PY_VERSION_HEX >= 0x030C0000
constexpr auto kNewCode = PyUnstable_Code_NewWithPosOnlyArgs;
#else
constexpr auto kNewCode = PyCode_NewWithPosOnlyArgs;
#endif

// Code object for introspection: the parameter names as positional-or-keyword
// arguments, no instructions.
PyObject* newSignatureCode(const FunctionRow& row) {
    const Py_ssize_t parameters = static_cast<Py_ssize_t>(parameterCount(row));
    const Py_ssize_t count = parameters + (isMethod(row) ? 1 : 0);
    PyRef names(PyTuple_New(count));
    if (!names) return nullptr;
    Py_ssize_t i = 0;
    if (isMethod(row)) {
        PyObject* self = PyUnicode_InternFromString("self");
        if (!self) return nullptr;
        PyTuple_SET_ITEM(names.get(), i++, self);
    }
    for (Py_ssize_t p = 0; p < parameters; ++p) {
        PyObject* name = PyUnicode_InternFromString(row.params[p].name);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(names.get(), i++, name);
    }
    PyRef empty(PyTuple_New(0));
    PyRef noBytes(PyBytes_FromStringAndSize(nullptr, 0));
    PyRef fileName(PyUnicode_FromString(row.site.file));
    PyRef name(PyUnicode_FromString(row.name));
    if (!empty || !noBytes || !fileName || !name) return nullptr;
    const int argc = static_cast<int>(count);
    return reinterpret_cast<PyObject*>(kNewCode(
        argc, 0, 0, argc, 0, CO_OPTIMIZED | CO_NEWLOCALS, noBytes.get(), empty.get(),
        empty.get(), names.get(), empty.get(), empty.get(), fileName.get(), name.get(),
        name.get(), row.site.line, noBytes.get(), noBytes.get()));
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

PyObject* newFunction(const FunctionRow& row, PyTypeObject* selfType, PyObject* module,
                      PyObject* globals) {
    PyRef name(PyUnicode_InternFromString(row.name));
    PyRef qualname;
    PyRef doc;
    if (!callCore([&] {
            qualname.reset(PyUnicode_FromString(rowQualifiedName(row).c_str()));
            doc.reset(PyUnicode_FromString(rowDocstring(row, TableKind::Methods)));
        })) {
        return nullptr;
    }
    PyRef code(newSignatureCode(row));
    PyRef annotations(PyDict_New());
    if (!name || !qualname || !doc || !code || !annotations) return nullptr;
    FunctionObject* f = PyObject_GC_New(FunctionObject, &functionType);
    if (!f) return nullptr;
    f->vectorcall = callFunction;
    f->row = &row;
    f->selfType = selfType;
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
