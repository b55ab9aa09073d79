// brevix._core.StreamDecoder: feed(ids) returns the text the ids complete and
// holds back an unfinished UTF-8 sequence at the end; flush() returns what is
// held back. The outputs concatenated equal decoding all ids at once with the
// same error handler, because the held bytes go through CPython's own stateful
// UTF-8 decoder (the one codecs' incremental decoder uses) with the next ids.
//
// feed is called once per generated token, so a few ids (an int, or a short
// list or tuple of ints) take a path of their own: their bytes are copied out
// of the model the stream keeps (taken again only when the tokenizer's model
// is replaced, so no engine lock per call) and decoded without a bytes
// object or a Python frame between. One id whose bytes are whole UTF-8, with
// nothing held back, returns the token's text as kept by the tokenizer for
// all its streams: no decoding and no allocation for the common case of
// generated text.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "encode/token_decoder.h"
#include "text/utf8.h"
#include "core_calls.h"
#include "core_stream.h"
#include "binding_table.h"
#include "pyref.h"

namespace brevix {

// The texts of the tokens of one model whose bytes are whole UTF-8, by id:
// they decode alike under every error handler. Kept with the tokenizer and
// shared by its streams; only touched with the interpreter lock held.
struct TokenTexts {
    std::uint64_t modelVersion = 0;
    std::vector<PyRef> byId;
};

namespace {

struct StreamState {
    PyRef tokenizer;    // the CoreTokenizer whose current model decodes
    PyRef errors;       // the error handler's name (a str)
    std::string held;   // an unfinished UTF-8 sequence: at most 3 bytes
    // The tokenizer's model as of the last feed, and its version: feeds
    // while it stays current need no engine lock.
    std::shared_ptr<const bpe::TextEncoder> model;
    std::uint64_t modelVersion = 0;
};

struct StreamDecoderObject {
    PyObject_HEAD
    bool constructed;   // state is constructed (tp_alloc zeroes the rest)
    StreamState state;
};

StreamState& stateOf(PyObject* self) { return reinterpret_cast<StreamDecoderObject*>(self)->state; }

// The text of `data` (held bytes and new ones) that is complete, keeping the
// unfinished rest in `held`. `data` is the caller's own copy, so an error
// handler that runs Python code (and may feed this same stream) never sees
// a buffer change under it.
PyObject* decodeHeld(StreamState& state, const std::string& data) {
    const char* errors = PyUnicode_AsUTF8(state.errors.get());
    if (errors == nullptr) return nullptr;
    Py_ssize_t used = 0;
    PyRef text(PyUnicode_DecodeUTF8Stateful(data.data(), static_cast<Py_ssize_t>(data.size()), errors, &used));
    if (!text) return nullptr;
    state.held.assign(data, static_cast<std::size_t>(used), std::string::npos);
    return text.release();
}

// Feeds up to this many ids given as a list or tuple of ints take the path
// of one id; longer ones go through decode (which releases the interpreter
// lock on large inputs).
constexpr std::size_t kShortFeed = 64;

// The ids of a short feed, on the stack: a signal handler run while feed
// waits for the engine lock may feed this stream again on this thread.
struct ShortIds {
    int ids[kShortFeed];
    std::size_t count = 0;
};

// The ints of a short list or tuple of plain ints that fit an id; false
// (nothing set) for anything else.
bool idOf(PyObject* item, int& id) {
    if (!PyLong_CheckExact(item)) return false;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(item, &overflow);
    if (overflow != 0 || value < INT_MIN || value > INT_MAX) return false;
    id = static_cast<int>(value);
    return true;
}

// An int, or a short list or tuple of them, as ids; false (nothing set) for
// anything else.
bool shortIds(PyObject* arg, ShortIds& out) {
    if (PyLong_CheckExact(arg)) {
        out.count = 1;
        return idOf(arg, out.ids[0]);
    }
    if (!PyList_CheckExact(arg) && !PyTuple_CheckExact(arg)) return false;
    const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(arg));
    if (n > kShortFeed) return false;
    PyObject** items = PySequence_Fast_ITEMS(arg);
    for (std::size_t i = 0; i < n; ++i) {
        if (!idOf(items[i], out.ids[i])) return false;
    }
    out.count = n;
    return true;
}

// The tokenizer's current model, kept in the stream: taken under the
// engine's read lock only when the tokenizer's model has been replaced since
// the last feed. Null with the exception set.
const bpe::TextEncoder* currentModel(StreamState& state) {
    PyObject* tokenizer = state.tokenizer.get();
    CoreEngine& engine = engineOf(tokenizer);
    if (!state.model || engine.modelVersion() != state.modelVersion) {
        // The lock is what a progress callback of this tokenizer's own
        // training would wait for, for ever.
        if (!refuseReentry(tokenizer)) return nullptr;
        ReadLock lock;
        if (!takeEngineLock(engine.lock(), lock)) return nullptr;
        state.model = engine.model();
        state.modelVersion = engine.modelVersion();
    }
    return state.model.get();
}

// Appends the bytes of ids, checked as decode checks them (same errors).
// False with the exception set.
bool appendTokenBytes(StreamState& state, const ShortIds& ids, std::string& out) {
    // A shared owner for the call: a signal handler run while the lock is
    // awaited may feed this stream and replace state.model.
    const bpe::TextEncoder* current = currentModel(state);
    if (current == nullptr) return false;
    const std::shared_ptr<const bpe::TextEncoder> model = state.model;
    return runCore(false, [&] {
        const bpe::Vocabulary& vocab = model->vocabulary();
        const std::size_t length = bpe::decodedLength(vocab, ids.ids, ids.count);
        const std::size_t start = out.size();
        out.resize(start + length);
        bpe::decodeChecked(vocab, ids.ids, ids.count, out.data() + start, length);
    });
}

bool isWholeUtf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t i = 0; i < bytes.size();) {
        const text::Utf8Unit unit = text::decodeUtf8(p + i, bytes.size() - i);
        if (unit.length == 1 && p[i] >= 0x80) return false;
        i += unit.length;
    }
    return true;
}

// The tokenizer's texts for the stream's model: emptied when that model is
// newer than theirs; null (nothing set) when they already serve a newer one
// (the stream's next feed catches up).
TokenTexts* textsFor(StreamState& state) {
    auto* owner = reinterpret_cast<CoreTokenizerObject*>(state.tokenizer.get());
    if (owner->texts == nullptr) owner->texts = new TokenTexts();
    TokenTexts& texts = *owner->texts;
    if (texts.modelVersion > state.modelVersion) return nullptr;
    const std::size_t size = state.model->vocabulary().size();
    if (texts.modelVersion < state.modelVersion || texts.byId.size() != size) {
        std::vector<PyRef>(size).swap(texts.byId);
        texts.modelVersion = state.modelVersion;
    }
    return &texts;
}

// The text of token `id` when its bytes are whole UTF-8 (a new reference,
// kept with the tokenizer for the next time), so that it decodes alike under
// every error handler and with nothing held back. Null without an exception
// when they are not whole UTF-8; null with one for an id decode refuses.
PyObject* wholeTokenText(StreamState& state, int id) {
    if (currentModel(state) == nullptr) return nullptr;
    TokenTexts* texts = textsFor(state);
    const auto index = static_cast<std::size_t>(id);
    if (texts != nullptr && id >= 0 && index < texts->byId.size() && texts->byId[index]) {
        return Py_NewRef(texts->byId[index].get());
    }
    const std::shared_ptr<const bpe::TextEncoder> model = state.model;
    const std::uint64_t version = state.modelVersion;
    std::string_view bytes;
    if (!runCore(false, [&] {
            const bpe::TokenId ids[1] = {id};
            bpe::decodedLength(model->vocabulary(), ids, 1);
            bytes = model->vocabulary().arena().view(id);
        })) {
        return nullptr;
    }
    if (!isWholeUtf8(bytes)) return nullptr;
    PyRef text(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict"));
    if (!text) return nullptr;
    // Making the str may collect garbage, whose finalizers may feed a stream
    // and replace the texts' model: the text is kept only for its own model,
    // and the table is looked up afresh.
    texts = reinterpret_cast<CoreTokenizerObject*>(state.tokenizer.get())->texts;
    if (texts != nullptr && texts->modelVersion == version && index < texts->byId.size()) {
        texts->byId[index].reset(Py_NewRef(text.get()));
    }
    return text.release();
}

// feed(ids): an int, or anything decode takes.
PyObject* streamFeed(PyObject* self, const BoundArgs& args) {
    PyObject* arg = args[0];
    StreamState& state = stateOf(self);
    ShortIds ids;
    const bool isShort = shortIds(arg, ids);
    if (isShort && ids.count == 1 && state.held.empty()) {
        PyObject* text = wholeTokenText(state, ids.ids[0]);
        if (text != nullptr || PyErr_Occurred()) return text;
    }
    if (isShort) {
        std::string data = state.held;
        if (!appendTokenBytes(state, ids, data)) return nullptr;
        return decodeHeld(state, data);
    }
    PyRef single;
    if (PyLong_Check(arg)) {
        // An int too large for an id, or an int subclass: decode's own
        // checks give the error or the bytes.
        single.reset(PyTuple_Pack(1, arg));
        if (!single) return nullptr;
        arg = single.get();
    }
    PyRef bytes(coreDecode(state.tokenizer.get(), arg));
    if (!bytes) return nullptr;
    std::string data = state.held;
    data.append(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return decodeHeld(state, data);
}

// flush(): what is held back, decoded as the end of the stream. A strict
// handler's error keeps the held bytes: the next ids may still complete them.
PyObject* streamFlush(PyObject* self, const BoundArgs&) {
    StreamState& state = stateOf(self);
    const std::string held = state.held;
    const char* errors = PyUnicode_AsUTF8(state.errors.get());
    if (errors == nullptr) return nullptr;
    PyRef text(PyUnicode_DecodeUTF8(held.data(), static_cast<Py_ssize_t>(held.size()), errors));
    if (!text) return nullptr;
    state.held.clear();
    return text.release();
}

// StreamDecoder(core_tokenizer, errors)
PyObject* streamNew(PyObject* typeObject, const BoundArgs& args) {
    auto* type = reinterpret_cast<PyTypeObject*>(typeObject);
    PyObject* tokenizer = args[0];
    PyObject* errors = args.str(1);
    if (!isCoreTokenizer(tokenizer)) {
        PyErr_Format(PyExc_TypeError, "expected a CoreTokenizer, not %.200s", Py_TYPE(tokenizer)->tp_name);
        return nullptr;
    }
    if (PyUnicode_AsUTF8(errors) == nullptr) return nullptr;
    PyRef self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* object = reinterpret_cast<StreamDecoderObject*>(self.get());
    new (&object->state) StreamState();
    object->state.tokenizer = PyRef::borrowed(tokenizer);
    object->state.errors = PyRef::borrowed(errors);
    object->constructed = true;
    return self.release();
}

void streamDealloc(PyObject* self) {
    auto* object = reinterpret_cast<StreamDecoderObject*>(self);
    if (object->constructed) object->state.~StreamState();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

const FunctionRow kStreamNewRow = {"StreamDecoder", {"tokenizer", "errors"}, streamNew, ""};

const FunctionRow kStreamMethodRows[] = {
    {"feed", {"ids"}, streamFeed,
     "-> str: the text the ids complete, holding back an unfinished character"},
    {"flush", {}, streamFlush, "-> str: what is held back; the stream starts afresh"},
};

PyType_Slot streamSlots[] = {
    {Py_tp_new, tableNew<kStreamNewRow>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(streamDealloc)},
    {Py_tp_methods, nullptr},  // the table of kStreamMethodRows, set with the type
    {Py_tp_doc, const_cast<char*>("Streaming decoder of a CoreTokenizer (private).")},
    {0, nullptr},
};

PyType_Spec streamSpec = {"brevix._core.StreamDecoder", sizeof(StreamDecoderObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, streamSlots};

}  // namespace

void dropTokenTexts(TokenTexts* texts) noexcept { delete texts; }

bool addStreamDecoderType(PyObject* module) {
    streamSlots[2].pfunc = methodTable<kStreamMethodRows>(TableKind::Methods);
    PyRef type(PyType_FromModuleAndSpec(module, &streamSpec, nullptr));
    return type && PyModule_AddObjectRef(module, "StreamDecoder", type.get()) == 0;
}

}  // namespace brevix
