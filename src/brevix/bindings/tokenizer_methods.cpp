// fit, encode, encode_corpus and decode: convert the arguments, make one call
// into the core tokenizer of the instance, convert the result.
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "callframe.h"
#include "convert.h"
#include "core_errors.h"
#include "tokenizer_class.h"

namespace brevix {

namespace {

constexpr const char* kFitEntry = "brevix.tokenizer.PyBytePairTokenizer.fit";
constexpr const char* kEncodeEntry = "brevix.tokenizer.PyBytePairTokenizer.encode";
constexpr const char* kEncodeCorpusEntry = "brevix.tokenizer.PyBytePairTokenizer.encode_corpus";
constexpr const char* kDecodeEntry = "brevix.tokenizer.PyBytePairTokenizer.decode";

// Lines of the entries: binding, conversion of the arguments and the core
// call are reported at the method's first line, building the result one below.
constexpr int kFitLine = 17;
constexpr int kEncodeLine = 20;
constexpr int kEncodeCorpusLine = 23;
constexpr int kDecodeLine = 26;

// Pending signals are checked between training iterations so Ctrl-C stops a
// long fit; the handler's exception (KeyboardInterrupt) stays pending.
bool signalPending() { return PyErr_CheckSignals() != 0; }

PyObject* fitBody(PyObject* self, PyObject* const* args) {
    std::vector<int> corpus;
    if (!corpusFromPyShim(args[0], corpus)) return failAt(kFitEntry, kFitLine);
    const int maxVocabSize = int32FromPyShim(args[1]);
    if (maxVocabSize == -1 && PyErr_Occurred()) return failAt(kFitEntry, kFitLine);
    const int nIter = int32FromPyShim(args[2]);
    if (nIter == -1 && PyErr_Occurred()) return failAt(kFitEntry, kFitLine);
    try {
        coreOf(self).fitWith(corpus, maxVocabSize, nIter, std::cout, signalPending);
    } catch (...) {
        translateCoreException();
        return failAt(kFitEntry, kFitLine);
    }
    // Stopped by a signal handler's exception; the merges learned so far stay.
    if (PyErr_Occurred()) return failAt(kFitEntry, kFitLine);
    Py_RETURN_NONE;
}

PyObject* encodeBody(PyObject* self, PyObject* const* args) {
    std::string text;
    if (!byteStringFromPyShim(args[0], text)) return failAt(kEncodeEntry, kEncodeLine);
    std::vector<int> ids;
    try {
        ids = coreOf(self).encode(text);
    } catch (...) {
        translateCoreException();
        return failAt(kEncodeEntry, kEncodeLine);
    }
    PyObject* result = corpusToListShim(ids);
    return result ? result : failAt(kEncodeEntry, kEncodeLine + 1);
}

PyObject* encodeCorpusBody(PyObject* self, PyObject* const* args) {
    std::vector<int> corpus;
    if (!corpusFromPyShim(args[0], corpus)) return failAt(kEncodeCorpusEntry, kEncodeCorpusLine);
    std::vector<int> ids;
    try {
        ids = coreOf(self).encodeCorpus(corpus);
    } catch (...) {
        translateCoreException();
        return failAt(kEncodeCorpusEntry, kEncodeCorpusLine);
    }
    PyObject* result = corpusToListShim(ids);
    return result ? result : failAt(kEncodeCorpusEntry, kEncodeCorpusLine + 1);
}

// Decodes while reading the ids, without the id array in between (it is as
// large as the result, so writing and reading it back costs about as much as
// decoding). Only a complete success counts: on anything else, nothing
// observable has happened and the caller decodes the usual way, which raises
// whatever is to be raised in the usual order.
PyObject* decodeStreaming(PyObject* self, PyObject* encoded) {
    IdStream stream(encoded);
    if (!stream.usable()) return nullptr;
    BytesBuilder builder;
    std::size_t length = 0;
    bool done = false;
    try {
        done = coreOf(self).decodeStreamed(stream, stream.expected(), builder, length);
    } catch (...) {
        done = false;
    }
    PyObject* result = done ? builder.finish(length) : nullptr;
    if (!result) PyErr_Clear();
    return result;
}

PyObject* decodeBody(PyObject* self, PyObject* const* args) {
    if (PyObject* streamed = decodeStreaming(self, args[0])) return streamed;
    std::vector<int> ids;
    if (!corpusFromPyShim(args[0], ids)) return failAt(kDecodeEntry, kDecodeLine);
    // The core writes straight into the result object, so building the result
    // fails (at the line below the call) exactly when the builder cannot grow.
    BytesBuilder builder;
    std::size_t length = 0;
    try {
        length = coreOf(self).decodeInto(std::move(ids), builder);
    } catch (const BytesBuildFailed&) {
        BytesBuilder::addFailureEntry();
        return failAt(kDecodeEntry, kDecodeLine + 1);
    } catch (...) {
        translateCoreException();
        return failAt(kDecodeEntry, kDecodeLine);
    }
    PyObject* result = builder.finish(length);
    if (result) return result;
    BytesBuilder::addFailureEntry();
    return failAt(kDecodeEntry, kDecodeLine + 1);
}

const char* const kFitParameters[] = {"corpus", "max_vocab_size", "n_iter"};
const char* const kEncodeParameters[] = {"input_string"};
const char* const kEncodeCorpusParameters[] = {"input_corpus"};
const char* const kDecodeParameters[] = {"encoded"};

}  // namespace

const FunctionTraits kFitTraits = {
    {"fit", kFitParameters, 3},
    "PyBytePairTokenizer.fit",
    "PyBytePairTokenizer.fit(self, vector[int] corpus, int max_vocab_size, int n_iter)",
    kFitEntry,
    kModuleFile,
    kFitLine,
    true,
    &PyBytePairTokenizerType,
    fitBody,
};

const FunctionTraits kEncodeTraits = {
    {"encode", kEncodeParameters, 1},
    "PyBytePairTokenizer.encode",
    "PyBytePairTokenizer.encode(self, string input_string)",
    kEncodeEntry,
    kModuleFile,
    kEncodeLine,
    true,
    &PyBytePairTokenizerType,
    encodeBody,
};

const FunctionTraits kEncodeCorpusTraits = {
    {"encode_corpus", kEncodeCorpusParameters, 1},
    "PyBytePairTokenizer.encode_corpus",
    "PyBytePairTokenizer.encode_corpus(self, vector[int] input_corpus)",
    kEncodeCorpusEntry,
    kModuleFile,
    kEncodeCorpusLine,
    true,
    &PyBytePairTokenizerType,
    encodeCorpusBody,
};

const FunctionTraits kDecodeTraits = {
    {"decode", kDecodeParameters, 1},
    "PyBytePairTokenizer.decode",
    "PyBytePairTokenizer.decode(self, vector[int] encoded)",
    kDecodeEntry,
    kModuleFile,
    kDecodeLine,
    true,
    &PyBytePairTokenizerType,
    decodeBody,
};

}  // namespace brevix
