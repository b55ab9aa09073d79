// brevix._internal hooks that call one engine of the core on an existing
// PyBytePairTokenizer, so a test or the benchmark can run the straightforward
// and the fast engine on the same, long-lived tokenizer and compare them:
//
//   fit_on(tok, corpus, max_vocab_size, n_iter, engine) -> (output, corpus)
//   encode_on(tok, data, engine) -> (echo, ids)
//   encode_corpus_on(tok, corpus, engine) -> ids
//   decode_on(tok, ids, engine) -> bytes
//   assign(dst, src) -> None        the core's member-wise copy assignment
//   concurrent_reads(tok, corpora, threads) -> [[(ids, bytes), ...], ...]
//       every corpus encoded (encodeCorpus) and decoded back by each of
//       `threads` native threads at once on the one tokenizer, without the GIL
//   table_index_bytes(tok) -> int | None   bytes of the derived index, None
//                                          when it does not describe the tables
//
// engine is "fast" (what the public methods run) or "straightforward".
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>
#include <exception>
#include <thread>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "convert.h"
#include "core_errors.h"
#include "binding_table.h"
#include "internal.h"
#include "pyref.h"
#include "pytokenizer.h"
#include "exact/straightforward.h"

namespace brevix {

namespace {

using brevix::PyRef;
using bytepairtokenizer::BytePairTokenizer;

// The core tokenizer of a PyBytePairTokenizer (TypeError for anything else).
BytePairTokenizer& coreTokenizerOf(PyObject* obj) {
    PyBytePairTokenizerObject* low = brevix::asLowLevelTokenizer(obj);
    brevix::requirePython(low != nullptr);
    return low->c_bpt;
}

bool isFastEngine(const char* engine) {
    const std::string name = engine == nullptr ? "fast" : engine;
    if (name == "fast") return true;
    if (name == "straightforward") return false;
    throw std::invalid_argument("engine must be 'fast' or 'straightforward'");
}

PyObject* fitOn(PyObject*, const BoundArgs& args) {
    PyObject *tokObj = nullptr, *corpusObj = nullptr;
    int maxVocabSize = 0, nIter = 0;
    const char* engine = "fast";
    tokObj = args[0];
    corpusObj = args[1];
    maxVocabSize = args.int32(2);
    nIter = args.int32(3);
    if (args.given(4)) engine = args.utf8(4);
    BytePairTokenizer& tok = coreTokenizerOf(tokObj);
    const bool fast = isFastEngine(engine);
    std::vector<int> corpus = idsFromIterable(corpusObj);
    std::ostringstream out;
    if (fast) {
        tok.fitWith(corpus, maxVocabSize, nIter, out);
    } else {
        tok.fitStraightforward(corpus, maxVocabSize, nIter, out);
    }
    PyRef text(bytesFromString(out.str()));
    PyRef list(listFromIds(corpus));
    return PyTuple_Pack(2, text.get(), list.get());
}

PyObject* encodeOn(PyObject*, const BoundArgs& args) {
    PyObject* tokObj = nullptr;
    const char* data = nullptr;
    Py_ssize_t size = 0;
    const char* engine = "fast";
    tokObj = args[0];
    { const std::string_view view = args.readOnlyBytes(1); data = view.data(); size = static_cast<Py_ssize_t>(view.size()); }
    if (args.given(2)) engine = args.utf8(2);
    BytePairTokenizer& tok = coreTokenizerOf(tokObj);
    const bool fast = isFastEngine(engine);
    std::ostringstream echo;
    const std::vector<int> ids =
        tok.encodeWith(std::string(data, static_cast<std::size_t>(size)), echo, fast);
    PyRef text(bytesFromString(echo.str()));
    PyRef list(listFromIds(ids));
    return PyTuple_Pack(2, text.get(), list.get());
}

PyObject* encodeCorpusOn(PyObject*, const BoundArgs& args) {
    PyObject *tokObj = nullptr, *corpusObj = nullptr;
    const char* engine = "fast";
    tokObj = args[0];
    corpusObj = args[1];
    if (args.given(2)) engine = args.utf8(2);
    BytePairTokenizer& tok = coreTokenizerOf(tokObj);
    const bool fast = isFastEngine(engine);
    std::vector<int> corpus = idsFromIterable(corpusObj);
    if (fast) return listFromIds(tok.encodeCorpus(corpus));
    mergeCorpus(corpus, tok.vocab);
    return listFromIds(corpus);
}

PyObject* decodeOn(PyObject*, const BoundArgs& args) {
    PyObject *tokObj = nullptr, *idsObj = nullptr;
    const char* engine = "fast";
    tokObj = args[0];
    idsObj = args[1];
    if (args.given(2)) engine = args.utf8(2);
    BytePairTokenizer& tok = coreTokenizerOf(tokObj);
    const bool fast = isFastEngine(engine);
    std::vector<int> ids = idsFromIterable(idsObj);
    return bytesFromString(fast ? tok.decode(std::move(ids)) : tok.decodeStraightforward(ids));
}

PyObject* assign(PyObject*, const BoundArgs& args) {
    PyObject *dstObj = nullptr, *srcObj = nullptr;
    dstObj = args[0];
    srcObj = args[1];
    BytePairTokenizer& dst = coreTokenizerOf(dstObj);
    dst = coreTokenizerOf(srcObj);
    Py_RETURN_NONE;
}

PyObject* concurrentReads(PyObject*, const BoundArgs& args) {
    PyObject *tokObj = nullptr, *corporaObj = nullptr;
    int threads = 0;
    tokObj = args[0];
    corporaObj = args[1];
    threads = args.int32(2);
    BytePairTokenizer& tok = coreTokenizerOf(tokObj);
    if (threads < 1 || threads > 64) throw std::invalid_argument("threads must be 1 to 64");
    PyRef seq(PySequence_Fast(corporaObj, "corpora must be a sequence"));
    brevix::requirePython(static_cast<bool>(seq));
    std::vector<std::vector<int>> corpora;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        corpora.push_back(idsFromIterable(PySequence_Fast_GET_ITEM(seq.get(), i)));
    }
    using Result = std::pair<std::vector<int>, std::string>;
    std::vector<std::vector<Result>> results(static_cast<std::size_t>(threads));
    std::vector<std::exception_ptr> failures(static_cast<std::size_t>(threads));
    Py_BEGIN_ALLOW_THREADS
    std::vector<std::thread> workers;
    for (std::size_t t = 0; t < results.size(); ++t) {
        workers.emplace_back([&, t]() {
            try {
                for (const std::vector<int>& corpus : corpora) {
                    std::vector<int> ids = corpus;
                    tok.encodeCorpus(ids);
                    results[t].emplace_back(ids, tok.decode(ids));
                }
            } catch (...) {
                failures[t] = std::current_exception();
            }
        });
    }
    for (std::thread& w : workers) w.join();
    Py_END_ALLOW_THREADS
    for (const std::exception_ptr& failure : failures) {
        if (failure) std::rethrow_exception(failure);
    }
    PyRef out(PyList_New(0));
    brevix::requirePython(static_cast<bool>(out));
    for (const std::vector<Result>& perThread : results) {
        PyRef list(PyList_New(0));
        brevix::requirePython(static_cast<bool>(list));
        for (const Result& r : perThread) {
            PyRef ids(listFromIds(r.first));
            PyRef bytes(bytesFromString(r.second));
            PyRef pair(PyTuple_Pack(2, ids.get(), bytes.get()));
            brevix::requirePython(pair && PyList_Append(list.get(), pair.get()) == 0);
        }
        brevix::requirePython(PyList_Append(out.get(), list.get()) == 0);
    }
    return out.release();
}

PyObject* tableIndexBytes(PyObject*, const BoundArgs& args) {
    PyObject* tokObj = args[0];
    const bytepairtokenizer::TableIndex* index = coreTokenizerOf(tokObj).currentTableIndex();
    if (index == nullptr) Py_RETURN_NONE;
    return PyLong_FromSize_t(index->bytesUsed());
}

}  // namespace

namespace {

const FunctionRow kRows[] = {
    {"fit_on", {"tok", "corpus", "max_vocab_size", "n_iter", optional("engine", "'fast'")}, fitOn,
     "-> (output, corpus)"},
    {"encode_on", {"tok", "data", optional("engine", "'fast'")}, encodeOn,
     "-> (echo, ids)"},
    {"encode_corpus_on", {"tok", "corpus", optional("engine", "'fast'")}, encodeCorpusOn,
     "-> ids"},
    {"decode_on", {"tok", "ids", optional("engine", "'fast'")}, decodeOn,
     "-> bytes"},
    {"assign", {"dst", "src"}, assign,
     ": copy-assigns src's core tokenizer to dst's, member by member"},
    {"concurrent_reads", {"tok", "corpora", "threads"}, concurrentReads,
     "-> per thread, (encode_corpus, decode) of each corpus"},
    {"table_index_bytes", {"tok"}, tableIndexBytes,
     "-> bytes held by the derived index, or None when it is stale"},
};

}  // namespace

PyMethodDef* callMethods() {
    return methodTable<kRows>(TableKind::ModuleFunctions);
}

}  // namespace brevix
