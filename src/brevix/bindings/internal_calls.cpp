// brevix._internal hooks that call one engine of the core on an existing
// PyBytePairTokenizer, so a test or the benchmark can run the straightforward
// and the fast engine on the same, long-lived tokenizer and compare them:
//
//   fit_on(tok, corpus, max_vocab_size, n_iter, engine) -> (output, corpus)
//   encode_on(tok, data, engine) -> (echo, ids)
//   encode_corpus_on(tok, corpus, engine) -> ids
//   encode_quiet_on(tok, data) -> ids   encode() without its echo, the ids as
//       the shared ints: brevix.Tokenizer.encode as it was before it merged by
//       rank, for the benchmark's comparison
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
    const int maxVocabSize = args.int32(2);
    const int nIter = args.int32(3);
    const char* engine = args.utf8Or(4, "fast");
    BytePairTokenizer& tok = coreTokenizerOf(args[0]);
    const bool fast = isFastEngine(engine);
    std::vector<int> corpus = idsFromIterable(args[1]);
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
    const std::string_view data = args.readOnlyBytes(1);
    const char* engine = args.utf8Or(2, "fast");
    BytePairTokenizer& tok = coreTokenizerOf(args[0]);
    const bool fast = isFastEngine(engine);
    std::ostringstream echo;
    const std::vector<int> ids = tok.encodeWith(std::string(data), echo, fast);
    PyRef text(bytesFromString(echo.str()));
    PyRef list(listFromIds(ids));
    return PyTuple_Pack(2, text.get(), list.get());
}

PyObject* encodeQuietOn(PyObject*, const BoundArgs& args) {
    const std::string_view data = args.readOnlyBytes(1);
    BytePairTokenizer& tok = coreTokenizerOf(args[0]);
    std::vector<int> ids = bytepairtokenizer::baseTokens(data);
    tok.encodeCorpus(ids);
    if (!growSharedIdCache(tok.vocabSize)) PyErr_Clear();  // the list then allocates its ints
    return newIdList(ids.data(), ids.size());
}

PyObject* encodeCorpusOn(PyObject*, const BoundArgs& args) {
    const char* engine = args.utf8Or(2, "fast");
    BytePairTokenizer& tok = coreTokenizerOf(args[0]);
    const bool fast = isFastEngine(engine);
    std::vector<int> corpus = idsFromIterable(args[1]);
    if (fast) return listFromIds(tok.encodeCorpus(corpus));
    mergeCorpus(corpus, tok.vocab);
    return listFromIds(corpus);
}

PyObject* decodeOn(PyObject*, const BoundArgs& args) {
    const char* engine = args.utf8Or(2, "fast");
    BytePairTokenizer& tok = coreTokenizerOf(args[0]);
    const bool fast = isFastEngine(engine);
    std::vector<int> ids = idsFromIterable(args[1]);
    return bytesFromString(fast ? tok.decode(std::move(ids)) : tok.decodeStraightforward(ids));
}

PyObject* assign(PyObject*, const BoundArgs& args) {
    BytePairTokenizer& dst = coreTokenizerOf(args[0]);
    dst = coreTokenizerOf(args[1]);
    Py_RETURN_NONE;
}

PyObject* concurrentReads(PyObject*, const BoundArgs& args) {
    const int threads = args.int32(2);
    BytePairTokenizer& tok = coreTokenizerOf(args[0]);
    if (threads < 1 || threads > 64) throw std::invalid_argument("threads must be 1 to 64");
    PyRef seq(PySequence_Fast(args[1], "corpora must be a sequence"));
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
    const bytepairtokenizer::TableIndex* index = coreTokenizerOf(args[0]).currentTableIndex();
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
    {"encode_quiet_on", {"tok", "data"}, encodeQuietOn,
     "-> ids: encode() without its echo"},
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
