// brevix._core: the native side of brevix.Tokenizer. One type, CoreTokenizer,
// wraps a CoreEngine; the module also reads and restores the merge table of a
// low-level PyBytePairTokenizer, for conversions both ways. Arguments are
// positional and already normalised by brevix._tokenizer, which is the
// supported face of this module. The methods live in core_codec.cpp
// (encoding, decoding) and core_training.cpp; this file holds the type, the
// module and the small shared helpers.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>
#include <vector>

#include "convert.h"
#include "core_calls.h"
#include "merge_table.h"
#include "method_table.h"
#include "pyref.h"

namespace brevix {

// A progress callback that calls back into the tokenizer would wait for the
// training it is called from.
bool refuseReentry(PyObject* self) {
    if (!engineOf(self).trainingOnThisThread()) return true;
    PyErr_SetString(PyExc_RuntimeError,
                    "the tokenizer is training: it cannot be used from its own progress callback");
    return false;
}

bool checkArgCount(const char* name, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs == expected) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, expected, nargs);
    return false;
}

// Puts "<label>: " in front of the pending exception's message, keeping its
// type, so that an error in one item of a batch says which item.
void prefixPendingError(const char* label, std::size_t index) {
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    PyRef type(t), value(v), traceback(tb);
    if (!type) return;
    PyRef message(value ? PyObject_Str(value.get()) : nullptr);
    if (!message) {
        PyErr_Clear();
        PyErr_Restore(type.release(), value.release(), traceback.release());
        return;
    }
    PyErr_Format(type.get(), "%s[%zu]: %U", label, index, message.get());
}


namespace {

PyObject* coreNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "CoreTokenizer() takes no arguments");
        return nullptr;
    }
    PyRef self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    try {
        reinterpret_cast<CoreTokenizerObject*>(self.get())->engine = new CoreEngine();
    } catch (...) {
        translateCoreException();
        return nullptr;
    }
    return self.release();
}

void coreDealloc(PyObject* self) {
    delete reinterpret_cast<CoreTokenizerObject*>(self)->engine;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- simple accessors -----------------------------------------------------------

PyObject* coreVocabSize(PyObject* self, PyObject*) {
    if (!refuseReentry(self)) return nullptr;
    ReadLock lock;
    if (!takeEngineLock(engineOf(self).lock(), lock)) return nullptr;
    return PyLong_FromLong(engineOf(self).vocabSize());
}

PyObject* coreMerges(PyObject* self, PyObject*) {
    if (!refuseReentry(self)) return nullptr;
    std::vector<MergeTriple> merges;
    {
        ReadLock lock;
        if (!takeEngineLock(engineOf(self).lock(), lock)) return nullptr;
        if (!runCore(false, [&] { merges = engineOf(self).merges(); })) return nullptr;
    }
    return mergesToList(merges);
}

PyObject* coreSetMerges(PyObject* self, PyObject* arg) {
    if (!refuseReentry(self)) return nullptr;
    std::vector<MergeTriple> merges;
    if (!mergesFromPy(arg, merges)) return nullptr;
    WriteLock lock;
    if (!takeEngineLock(engineOf(self).lock(), lock)) return nullptr;
    if (!runCore(false, [&] { engineOf(self).setMerges(merges); })) return nullptr;
    Py_RETURN_NONE;
}


PyMethodDef coreMethods[] = {
    {"vocab_size", coreVocabSize, METH_NOARGS, "vocab_size() -> int"},
    {"merges", coreMerges, METH_NOARGS, "merges() -> list of (left, right, id) in id order"},
    {"set_merges", coreSetMerges, METH_O, "set_merges(merges): replace the merge table"},
    {"encode", fastcall(coreEncode), METH_FASTCALL, "encode(text, as_array) -> list[int] | bytearray of int32"},
    {"encode_batch", fastcall(coreEncodeBatch), METH_FASTCALL, "encode_batch(texts, threads, as_array) -> list"},
    {"decode", coreDecode, METH_O, "decode(ids) -> bytes"},
    {"decode_batch", fastcall(coreDecodeBatch), METH_FASTCALL, "decode_batch(batch, threads) -> list[bytes]"},
    {"token_bytes", coreTokenBytes, METH_O, "token_bytes(id) -> bytes"},
    {"train", fastcall(coreTrain), METH_FASTCALL, "train(data, vocab_size, progress, trace) -> None"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot coreSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(coreNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(coreDealloc)},
    {Py_tp_methods, coreMethods},
    {Py_tp_doc, const_cast<char*>("Native state of a brevix.Tokenizer (private).")},
    {0, nullptr},
};

PyType_Spec coreSpec = {"brevix._core.CoreTokenizer", sizeof(CoreTokenizerObject), 0,
                        Py_TPFLAGS_DEFAULT, coreSlots};


PyMethodDef moduleMethods[] = {
    {"low_level_merges", lowLevelMerges, METH_O,
     "low_level_merges(tok) -> the merges of a PyBytePairTokenizer, in id order"},
    {"set_low_level_merges", fastcall(setLowLevelMerges), METH_FASTCALL, "set_low_level_merges(tok, merges): replace its merge table"},
    {nullptr, nullptr, 0, nullptr},
};


PyModuleDef coreModule = {PyModuleDef_HEAD_INIT, "brevix._core",
                          "Native side of brevix.Tokenizer (private).", -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};


}  // namespace

}  // namespace brevix

PyMODINIT_FUNC PyInit__core(void) {
    brevix::PyRef module(PyModule_Create(&brevix::coreModule));
    if (!module || !brevix::initSmallIdCache()) return nullptr;
    brevix::PyRef type(PyType_FromSpec(&brevix::coreSpec));
    if (!type) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "CoreTokenizer", type.get()) != 0) return nullptr;
    return module.release();
}
