// fit, encode, encode_corpus and decode: convert the arguments, make one call
// into the core tokenizer of the instance, convert the result. While fit
// runs, the signal handlers it runs between merges may not use the instance
// (RuntimeError), so nothing changes the tables under the trainer.
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "callframe.h"
#include "convert.h"
#include "function_bodies.h"
#include "tokenizer_class.h"

namespace brevix {

namespace {

// Pending signals are checked between training iterations so Ctrl-C stops a
// long fit; the handler's exception (KeyboardInterrupt) stays pending.
bool signalPending() { return PyErr_CheckSignals() != 0; }

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

}  // namespace

PyObject* fitBody(PyObject* self, const BoundArgs& args) {
    const TracebackSite at = args.site();
    if (!refuseWhileFitting(instanceOf(self))) return failAt(at);
    std::vector<int> corpus;
    if (!corpusFromPy(args[0], corpus)) return failAt(at);
    const int maxVocabSize = int32FromPy(args[1]);
    if (maxVocabSize == -1 && PyErr_Occurred()) return failAt(at);
    const int nIter = int32FromPy(args[2]);
    if (nIter == -1 && PyErr_Occurred()) return failAt(at);
    FittingMark fitting(instanceOf(self));
    const bool ran = callCore(at, [&] {
        // The ids trained on are a copy: the final corpus goes unread.
        coreOf(self).fitWith(corpus, maxVocabSize, nIter, std::cout, signalPending,
                             bytepairtokenizer::FinalCorpus::Dropped);
    });
    if (!ran) return nullptr;
    // Stopped by a signal handler's exception; the merges learned so far stay.
    if (PyErr_Occurred()) return failAt(at);
    Py_RETURN_NONE;
}

PyObject* encodeBody(PyObject* self, const BoundArgs& args) {
    const TracebackSite at = args.site();
    if (!refuseWhileFitting(instanceOf(self))) return failAt(at);
    std::string text;
    if (!byteStringFromPy(args[0], text)) return failAt(at);
    std::vector<int> ids;
    if (!callCore(at, [&] { ids = coreOf(self).encode(text); })) return nullptr;
    PyObject* result = corpusToList(ids);
    return result ? result : failAt(at.below());
}

PyObject* encodeCorpusBody(PyObject* self, const BoundArgs& args) {
    const TracebackSite at = args.site();
    if (!refuseWhileFitting(instanceOf(self))) return failAt(at);
    std::vector<int> corpus;
    if (!corpusFromPy(args[0], corpus)) return failAt(at);
    std::vector<int> ids;
    const bool ran =
        callCore(at, [&] { ids = coreOf(self).encodeCorpus(corpus); });
    if (!ran) return nullptr;
    PyObject* result = corpusToList(ids);
    return result ? result : failAt(at.below());
}

PyObject* decodeBody(PyObject* self, const BoundArgs& args) {
    const TracebackSite at = args.site();
    if (!refuseWhileFitting(instanceOf(self))) return failAt(at);
    if (PyObject* streamed = decodeStreaming(self, args[0])) return streamed;
    std::vector<int> ids;
    if (!corpusFromPy(args[0], ids)) return failAt(at);
    // The core writes straight into the result object, so building the result
    // fails (at the line below the call) exactly when the builder cannot grow.
    BytesBuilder builder;
    std::size_t length = 0;
    try {
        length = coreOf(self).decodeInto(std::move(ids), builder);
    } catch (const BytesBuildFailed&) {
        BytesBuilder::addFailureEntry();
        return failAt(at.below());
    } catch (...) {
        translateCoreException();
        return failAt(at);
    }
    PyObject* result = builder.finish(length);
    if (result) return result;
    BytesBuilder::addFailureEntry();
    return failAt(at.below());
}

}  // namespace brevix
