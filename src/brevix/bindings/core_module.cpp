// brevix._core: the native side of brevix.Tokenizer. One type, CoreTokenizer,
// wraps a CoreEngine; the module also reads and restores the merge table of a
// low-level PyBytePairTokenizer, for conversions both ways. Arguments are
// positional and already normalised by brevix._tokenizer, which is the
// supported face of this module. The methods live in core_codec.cpp
// (encoding, decoding) and core_training.cpp; this file holds the type, the
// module and the small shared helpers. Every entry of the method tables and
// every tp_new binds through the table (binding_table.h): no C++ exception
// reaches the interpreter, whatever the body forgot to catch.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "convert.h"
#include "core_calls.h"
#include "core_pieces.h"
#include "core_stream.h"
#include "binding_table.h"
#include "merge_table.h"
#include "pyref.h"
#include "encode/tiktoken_ranks.h"
#include "text/splitter.h"

namespace brevix {

bool isCoreTokenizer(PyObject* obj) {
    CoreModuleState* state = coreModuleStateOf(Py_TYPE(obj));
    return state != nullptr && state->coreTokenizerType != nullptr &&
           PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(state->coreTokenizerType));
}

// A progress callback that calls back into the tokenizer would wait for the
// training it is called from.
bool refuseReentry(PyObject* self) {
    if (!engineOf(self).trainingOnThisThread()) return true;
    PyErr_SetString(PyExc_RuntimeError,
                    "the tokenizer is training: it cannot be used from its own progress callback");
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

PyObject* coreNew(PyObject* typeObject, const BoundArgs&) {
    auto* type = reinterpret_cast<PyTypeObject*>(typeObject);
    PyRef self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* object = reinterpret_cast<CoreTokenizerObject*>(self.get());
    // A failed construction leaves `constructed` false: dealloc, run by the
    // PyRef, then frees the memory alone.
    if (!callCore([&] { new (&object->engine) CoreEngine(); })) return nullptr;
    object->constructed = true;
    return self.release();
}

void coreDealloc(PyObject* self) {
    auto* object = reinterpret_cast<CoreTokenizerObject*>(self);
    dropTokenTexts(object->texts);
    if (object->constructed) object->engine.~CoreEngine();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- simple accessors -----------------------------------------------------------

PyObject* coreVocabSize(PyObject* self, const BoundArgs&) {
    if (!refuseReentry(self)) return nullptr;
    ReadLock lock;
    if (!takeEngineLock(engineOf(self).lock(), lock)) return nullptr;
    return PyLong_FromLong(engineOf(self).vocabSize());
}

PyObject* coreMerges(PyObject* self, const BoundArgs&) {
    if (!refuseReentry(self)) return nullptr;
    std::vector<MergeTriple> merges;
    {
        ReadLock lock;
        if (!takeEngineLock(engineOf(self).lock(), lock)) return nullptr;
        if (!runCore(false, [&] { merges = engineOf(self).merges(); })) return nullptr;
    }
    return mergesToList(merges);
}

// Byte ids: a sequence of 256 ids. False with an exception set.
bool byteIdsFromPy(PyObject* obj, bpe::ByteIds& out) {
    PyRef seq(PySequence_Fast(obj, "byte ids must be a sequence of 256 ints"));
    if (!seq) return false;
    if (PySequence_Fast_GET_SIZE(seq.get()) != 256) {
        PyErr_SetString(PyExc_ValueError, "byte ids must be a sequence of 256 ints");
        return false;
    }
    for (Py_ssize_t b = 0; b < 256; ++b) {
        int id = 0;
        if (readInt32(PySequence_Fast_GET_ITEM(seq.get(), b), id) != Int32Read::Read) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "byte id out of range");
            return false;
        }
        out[static_cast<std::size_t>(b)] = id;
    }
    return true;
}

// Special tokens: a sequence of (bytes, id). False with an exception set.
bool specialsFromPy(PyObject* obj, std::vector<bpe::SpecialToken>& out) {
    PyRef seq(PySequence_Fast(obj, "special tokens must be a sequence of (bytes, id)"));
    if (!seq) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        PyObject* text = nullptr;
        PyObject* idObj = nullptr;
        if (!PyTuple_Check(item) || !PyArg_ParseTuple(item, "SO", &text, &idObj)) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "expected (bytes, id)");
            return false;
        }
        int id = 0;
        if (readInt32(idObj, id) != Int32Read::Read) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "special token id out of range");
            return false;
        }
        const bool ok = callCore([&] {
            out.push_back(bpe::SpecialToken{std::string(PyBytes_AS_STRING(text),
                                                        static_cast<std::size_t>(PyBytes_GET_SIZE(text))),
                                            id});
        });
        if (!ok) return false;
    }
    return true;
}

// set_model(byte_ids, merges, pattern, specials): replaces the whole model.
PyObject* coreSetModel(PyObject* self, const BoundArgs& args) {
    if (!refuseReentry(self)) return nullptr;
    bpe::ByteIds byteIds{};
    std::vector<MergeTriple> triples;
    std::vector<bpe::SpecialToken> specials;
    if (!byteIdsFromPy(args[0], byteIds) || !mergesFromPy(args[1], triples) ||
        !specialsFromPy(args[3], specials)) {
        return nullptr;
    }
    std::optional<std::string> pattern;
    if (args[2] != Py_None) {
        Py_ssize_t length = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(args[2], &length);
        if (utf8 == nullptr) return nullptr;
        if (!callCore([&] { pattern.emplace(utf8, static_cast<std::size_t>(length)); })) return nullptr;
    }
    std::vector<bpe::Merge> merges;
    if (!callCore([&] {
            merges.reserve(triples.size());
            for (const MergeTriple& m : triples) merges.push_back(bpe::Merge{m[0], m[1], m[2]});
        })) {
        return nullptr;
    }
    WriteLock lock;
    if (!takeEngineLock(engineOf(self).lock(), lock)) return nullptr;
    if (!runCore(merges.size() > 10000, [&] {
            engineOf(self).setModel(byteIds, std::move(merges), std::move(specials), std::move(pattern));
        })) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* coreByteIds(PyObject* self, const BoundArgs&) {
    if (!refuseReentry(self)) return nullptr;
    ReadLock lock;
    if (!takeEngineLock(engineOf(self).lock(), lock)) return nullptr;
    const bpe::ByteIds ids = engineOf(self).byteIds();
    return newIdList(ids.data(), ids.size());
}

// token_id(bytes) -> int; KeyError when no token has these bytes.
PyObject* coreTokenId(PyObject* self, const BoundArgs& args) {
    PyObject* arg = args[0];
    if (!refuseReentry(self)) return nullptr;
    if (!PyBytes_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "token must be bytes, not %.200s", Py_TYPE(arg)->tp_name);
        return nullptr;
    }
    std::optional<int> id;
    {
        ReadLock lock;
        if (!takeEngineLock(engineOf(self).lock(), lock)) return nullptr;
        const std::string_view bytes(PyBytes_AS_STRING(arg), static_cast<std::size_t>(PyBytes_GET_SIZE(arg)));
        if (!runCore(false, [&] { id = engineOf(self).tokenId(bytes); })) return nullptr;
    }
    if (!id) {
        PyErr_SetObject(PyExc_KeyError, arg);
        return nullptr;
    }
    return PyLong_FromLong(*id);
}

// tiktoken_conflict() -> the first merge tiktoken would not rebuild, or None.
PyObject* coreTiktokenConflict(PyObject* self, const BoundArgs&) {
    if (!refuseReentry(self)) return nullptr;
    std::optional<int> id;
    {
        ReadLock lock;
        if (!takeEngineLock(engineOf(self).lock(), lock)) return nullptr;
        if (!runCore(true, [&] { id = engineOf(self).tiktokenConflict(); })) return nullptr;
    }
    if (!id) Py_RETURN_NONE;
    return PyLong_FromLong(*id);
}

const FunctionRow kCoreNewRow = {"CoreTokenizer", {}, coreNew, ""};

const FunctionRow kCoreMethodRows[] = {
    {"vocab_size", {}, coreVocabSize, "-> int"},
    {"merges", {}, coreMerges, "-> list of (left, right, id) in id order"},
    {"byte_ids", {}, coreByteIds, "-> the id of each byte"},
    {"set_model", {"byte_ids", "merges", "pattern", "specials"}, coreSetModel, "Replace the model."},
    {"token_id", {"token"}, coreTokenId, "-> int"},
    {"tiktoken_conflict", {}, coreTiktokenConflict, "-> int | None"},
    {"encode", {"text", "allowed", "refused", "as_array", "max_tokens"}, coreEncode,
     "-> list[int] | bytearray of int32"},
    {"encode_batch", {"texts", "threads", "out_kind", "allowed", "refused"}, coreEncodeBatch,
     "-> list | (flat, offsets)"},
    {"encode_offsets", {"text", "allowed", "refused"}, coreEncodeOffsets, "-> (ids, starts)"},
    {"count", {"text", "allowed", "refused"}, coreCount, "-> int"},
    {"count_batch", {"texts", "threads", "allowed", "refused"}, coreCountBatch, "-> list[int]"},
    {"decode", {"ids"}, [](PyObject* self, const BoundArgs& args) { return coreDecode(self, args[0]); },
     "-> bytes"},
    {"decode_batch", {"batch", "threads"}, coreDecodeBatch, "-> list[bytes]"},
    {"token_bytes", {"token_id"}, coreTokenBytes, "-> bytes"},
    {"train", {"data", "regular_size", "progress", "trace"}, coreTrain, "-> str | None"},
    {"train_pieces", {"counter", "regular_size", "progress"}, coreTrainPieces, "-> None"},
};

PyType_Slot coreSlots[] = {
    {Py_tp_new, tableNew<kCoreNewRow>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(coreDealloc)},
    {Py_tp_methods, nullptr},  // the table of kCoreMethodRows, set by the exec step
    {Py_tp_doc, const_cast<char*>("Native state of a brevix.Tokenizer (private).")},
    {0, nullptr},
};

PyType_Spec coreSpec = {"brevix._core.CoreTokenizer", sizeof(CoreTokenizerObject), 0,
                        Py_TPFLAGS_DEFAULT, coreSlots};


// merges_from_ranks(tokens) -> (byte_ids, merges): tiktoken's tokens, listed
// by rank, as byte ids and merge pairs.
PyObject* mergesFromRanks(PyObject*, const BoundArgs& args) {
    PyRef seq(PySequence_Fast(args[0], "tokens must be a sequence of bytes"));
    if (!seq) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<std::string> tokens;
    if (!callCore([&] { tokens.reserve(static_cast<std::size_t>(n)); })) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyBytes_Check(item)) {
            PyErr_Format(PyExc_TypeError, "token %zd is not bytes", i);
            return nullptr;
        }
        if (!callCore([&] {
                tokens.emplace_back(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
            })) {
            return nullptr;
        }
    }
    bpe::RankedMerges ranked;
    if (!runCore(n > 10000, [&] { ranked = bpe::mergesFromRanks(tokens); })) return nullptr;
    PyRef byteIds(newIdList(ranked.byteIds.data(), ranked.byteIds.size()));
    std::vector<MergeTriple> triples;
    if (!byteIds || !callCore([&] {
            triples.reserve(ranked.merges.size());
            for (const bpe::Merge& m : ranked.merges) triples.push_back(MergeTriple{m.left, m.right, m.id});
        })) {
        return nullptr;
    }
    PyRef merges(mergesToList(triples));
    if (!merges) return nullptr;
    return PyTuple_Pack(2, byteIds.get(), merges.get());
}

bool addPatterns(PyObject* module) {
    PyRef patterns(PyDict_New());
    if (!patterns) return false;
    const std::pair<const char*, std::string_view> known[] = {
        {"gpt2", text::kGpt2Pattern}, {"cl100k", text::kCl100kPattern}, {"o200k", text::kO200kPattern}};
    for (const auto& [name, pattern] : known) {
        PyRef value(PyUnicode_FromStringAndSize(pattern.data(), static_cast<Py_ssize_t>(pattern.size())));
        if (!value || PyDict_SetItemString(patterns.get(), name, value.get()) != 0) return false;
    }
    return PyModule_AddObjectRef(module, "PATTERNS", patterns.get()) == 0;
}

const FunctionRow kModuleFunctionRows[] = {
    {"merges_from_ranks", {"tokens"}, mergesFromRanks,
     "-> (byte_ids, merges) of tokens listed by rank"},
    {"low_level_merges", {"tok"}, lowLevelMerges,
     "-> the merges of a PyBytePairTokenizer, in id order"},
    {"set_low_level_merges", {"tok", "merges"}, setLowLevelMerges, "Replace its merge table."},
};

CoreModuleState& stateOfModule(PyObject* module) {
    return *static_cast<CoreModuleState*>(PyModule_GetState(module));
}

int traverseModule(PyObject* module, visitproc visit, void* arg) {
    CoreModuleState& state = stateOfModule(module);
    Py_VISIT(state.coreTokenizerType);
    Py_VISIT(state.pieceCounterType);
    return 0;
}

int clearModule(PyObject* module) {
    CoreModuleState& state = stateOfModule(module);
    Py_CLEAR(state.coreTokenizerType);
    Py_CLEAR(state.pieceCounterType);
    return 0;
}

void freeModule(void* module) { clearModule(static_cast<PyObject*>(module)); }

// The exec step: the types (one set per module object) and the patterns.
int execModule(PyObject* module) {
    PyObject* done = callCoreForObject([&]() -> PyObject* {
        if (!initSmallIdCache()) return nullptr;
        coreSlots[2].pfunc = methodTable<kCoreMethodRows>(TableKind::Methods);
        PyRef type(PyType_FromModuleAndSpec(module, &coreSpec, nullptr));
        if (!type || PyModule_AddObjectRef(module, "CoreTokenizer", type.get()) != 0) return nullptr;
        stateOfModule(module).coreTokenizerType = type.release();
        if (!addPatterns(module) || !addPieceCounterType(module) || !addStreamDecoderType(module)) {
            return nullptr;
        }
        Py_RETURN_NONE;
    });
    Py_XDECREF(done);
    return done != nullptr ? 0 : -1;
}

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execModule)},
    {0, nullptr},
};

}  // namespace

PyModuleDef coreModuleDef = {PyModuleDef_HEAD_INIT, "brevix._core",
                             "Native side of brevix.Tokenizer (private).", sizeof(CoreModuleState),
                             nullptr, moduleSlots, traverseModule, clearModule, freeModule};

CoreModuleState* coreModuleStateOf(PyTypeObject* type) {
    PyObject* module = PyType_GetModuleByDef(type, &coreModuleDef);
    if (module == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    return &stateOfModule(module);
}

}  // namespace brevix

PyMODINIT_FUNC PyInit__core(void) {
    // Filled in here: the rows are the tables' own static data.
    brevix::coreModuleDef.m_methods =
        brevix::methodTableOrNull<brevix::kModuleFunctionRows>(brevix::TableKind::ModuleFunctions);
    if (brevix::coreModuleDef.m_methods == nullptr) return nullptr;
    return PyModuleDef_Init(&brevix::coreModuleDef);
}
