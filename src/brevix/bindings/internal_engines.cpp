// brevix._internal engine hooks: the core's straightforward and fast engines
// side by side, for the differential tests and the benchmark. Every hook runs
// on a fresh core tokenizer and returns everything observable.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "convert.h"
#include "core_errors.h"
#include "binding_table.h"
#include "internal.h"
#include "merge_table.h"
#include "pyref.h"
#include "exact/merger.h"
#include "exact/straightforward.h"
#include "exact/tokenizer.h"
#include "exact/trainer.h"
#include "ties/walk_order.h"

namespace brevix {

namespace {

using bytepairtokenizer::BytePairTokenizer;

using brevix::PyRef;
using brevix::requirePython;

PyObject* pairToTuple(const DTYPE_BYTEPAIR& p) { return Py_BuildValue("(ii)", p[0], p[1]); }

enum class Engine { Fast, Straightforward, Targeted, Ordered, Recount };

// "fast" and "straightforward" name the two engines. Test variants of the
// fast trainer (other operations treat them as "fast"): "targeted" forces
// its tie-break onto the targeted path even for small tables; "ordered"
// answers every tie from the walk order kept across iterations; "recount"
// lowers the limit of the modelled table to kRecountPairs live pairs, past
// which ties are broken by recounting the corpus.
constexpr int kRecountPairs = 40;

Engine engineNamed(const char* engine) {
    const std::string name = engine == nullptr ? "fast" : engine;
    if (name == "fast") return Engine::Fast;
    if (name == "straightforward") return Engine::Straightforward;
    if (name == "targeted") return Engine::Targeted;
    if (name == "ordered") return Engine::Ordered;
    if (name == "recount") return Engine::Recount;
    throw std::invalid_argument("engine must be 'fast', 'straightforward', 'targeted', 'ordered' or 'recount'");
}

bool isFastEngine(const char* engine) { return engineNamed(engine) != Engine::Straightforward; }

// Records (left, right, id) triples in id order in the fresh `tok`, as
// training would have; None records nothing.
void loadMerges(BytePairTokenizer& tok, PyObject* merges) {
    if (merges == nullptr || merges == Py_None) return;
    requirePython(brevix::mergesFromPy(merges, tok));
}

PyObject* listOfMerges(const BytePairTokenizer& tok) {
    PyObject* list = brevix::mergesToList(tok);
    requirePython(list != nullptr);
    return list;
}

// Interrupt callback that reports true from its (k+1)-th poll on; k < 0 never.
std::function<bool()> interruptAfterPolls(int polls) {
    if (polls < 0) return {};
    auto seen = std::make_shared<int>(0);
    return [seen, polls]() { return (*seen)++ >= polls; };
}

// The settings of the incremental engines ("fast" uses the defaults). The
// targeted and ordered engines also share the build and the dead-entry
// drops among two and three threads whatever the corpus length, so every
// comparison of them covers the threaded paths.
bytepairtokenizer::TrainerTuning tuningFor(Engine engine) {
    bytepairtokenizer::TrainerTuning tuning;
    auto threadsWhateverTheSize = [&tuning](int threads) {
        tuning.minStretch = 1;
        tuning.minFilterShare = 1;
        tuning.maxThreads = threads;
    };
    switch (engine) {
        case Engine::Targeted:
            tuning.ties.fullWalkPairs = 0;
            tuning.ties.fullWalkTieShare = 0;
            tuning.ties.cutScale = 1.0;
            tuning.ties.orderedTieWidth = 0;
            threadsWhateverTheSize(2);
            break;
        case Engine::Ordered:
            tuning.ties.fullWalkPairs = 0;
            tuning.ties.orderedTieWidth = 2;
            threadsWhateverTheSize(3);
            break;
        case Engine::Recount:
            tuning.ties.maxModelledPairs = kRecountPairs;
            break;
        case Engine::Fast:
        case Engine::Straightforward:
            break;
    }
    return tuning;
}

void runFit(BytePairTokenizer& tok, std::vector<int>& corpus, int maxVocabSize, int nIter,
            Engine engine, std::ostream& out, const std::function<bool()>& interrupted) {
    if (engine == Engine::Straightforward) {
        tok.fitStraightforward(corpus, maxVocabSize, nIter, out, interrupted);
        return;
    }
    // The incremental engine itself, also on corpora fitWith() would hand to
    // the straightforward one.
    bytepairtokenizer::fitIncremental(tok, corpus, maxVocabSize, nIter, out, interrupted,
                                      tuningFor(engine));
}

PyObject* train(PyObject*, const BoundArgs& args) {
    const int maxVocabSize = args.int32(1);
    const int nIter = args.int32(2);
    const char* engine = args.utf8Or(3, "fast");
    const int interruptAfter = args.int32Or(5, -1);
    const Engine chosen = engineNamed(engine);
    BytePairTokenizer tok;
    loadMerges(tok, args.objectOr(4, Py_None));
    std::vector<int> corpus = idsFromIterable(args[0]);
    std::ostringstream out;
    runFit(tok, corpus, maxVocabSize, nIter, chosen, out, interruptAfterPolls(interruptAfter));
    const std::string text = out.str();
    PyRef outBytes(bytesFromString(text));
    PyRef mergeList(listOfMerges(tok));
    PyRef corpusList(listFromIds(corpus));
    return Py_BuildValue("(OOOi)", outBytes.get(), mergeList.get(), corpusList.get(), tok.size());
}

PyObject* trainSequence(PyObject*, const BoundArgs& args) {
    const Engine chosen = engineNamed(args.utf8Or(1, "fast"));
    BytePairTokenizer tok;
    loadMerges(tok, args.objectOr(2, Py_None));
    PyRef seq(PySequence_Fast(args[0], "calls must be a sequence of (corpus, max, n_iter)"));
    requirePython(static_cast<bool>(seq));
    std::ostringstream out;
    PyRef corpora(PyList_New(0));
    requirePython(static_cast<bool>(corpora));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* corpusObj = nullptr;
        int maxVocabSize = 0, nIter = 0;
        requirePython(PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq.get(), i), "Oii", &corpusObj,
                               &maxVocabSize, &nIter));
        std::vector<int> corpus = idsFromIterable(corpusObj);
        runFit(tok, corpus, maxVocabSize, nIter, chosen, out, {});
        PyRef list(listFromIds(corpus));
        requirePython(PyList_Append(corpora.get(), list.get()) == 0);
    }
    const std::string text = out.str();
    PyRef outBytes(bytesFromString(text));
    PyRef mergeList(listOfMerges(tok));
    return Py_BuildValue("(OOOi)", outBytes.get(), mergeList.get(), corpora.get(), tok.size());
}

PyObject* mergeCorpusHook(PyObject*, const BoundArgs& args) {
    const bool fast = isFastEngine(args.utf8Or(2, "fast"));
    BytePairTokenizer tok;
    loadMerges(tok, args[1]);
    std::vector<int> corpus = idsFromIterable(args[0]);
    if (fast) {
        bytepairtokenizer::mergeCorpusFast(corpus, tok.vocab);
    } else {
        mergeCorpus(corpus, tok.vocab);
    }
    return listFromIds(corpus);
}

PyObject* encodeHook(PyObject*, const BoundArgs& args) {
    const bool fast = isFastEngine(args.utf8Or(2, "fast"));
    BytePairTokenizer tok;
    loadMerges(tok, args[0]);
    std::ostringstream echo;
    const std::vector<int> ids = tok.encodeWith(stringFromBytes(args[1]), echo, fast);
    const std::string text = echo.str();
    PyRef echoBytes(bytesFromString(text));
    PyRef list(listFromIds(ids));
    return Py_BuildValue("(OO)", echoBytes.get(), list.get());
}

PyObject* decodeHook(PyObject*, const BoundArgs& args) {
    const bool fast = isFastEngine(args.utf8Or(2, "fast"));
    BytePairTokenizer tok;
    loadMerges(tok, args[0]);
    const std::vector<int> ids = idsFromIterable(args[1]);
    const std::string bytes = fast ? tok.decodeFast(ids) : tok.decodeStraightforward(ids);
    return bytesFromString(bytes);
}

// The core decode alone, best of `repeat` calls on steady_clock, so the
// benchmark sees the core's rate without the cost of converting the ids.
PyObject* decodeTimedHook(PyObject*, const BoundArgs& args) {
    const char* engine = args.utf8Or(2, "fast");
    const int repeat = args.int32Or(3, 1);
    const bool fast = isFastEngine(engine);
    if (repeat < 1) throw std::invalid_argument("repeat must be at least 1");
    BytePairTokenizer tok;
    loadMerges(tok, args[0]);
    const std::vector<int> ids = idsFromIterable(args[1]);
    double best = 0.0;
    std::string bytes;
    for (int i = 0; i < repeat; ++i) {
        const auto start = std::chrono::steady_clock::now();
        bytes = fast ? tok.decodeFast(ids) : tok.decodeStraightforward(ids);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (i == 0 || took.count() < best) best = took.count();
    }
    PyRef result(bytesFromString(bytes));
    return Py_BuildValue("(dO)", best, result.get());
}

PyObject* pairStats(PyObject*, const BoundArgs& args) {
    PyObject* arg = args[0];
    const DTYPE_BYTEPAIR_STATS stats = bytePairStats(idsFromIterable(arg));
    PyRef list(PyList_New(0));
    requirePython(static_cast<bool>(list));
    for (const auto& entry : stats) {
        PyRef pair(pairToTuple(entry.first));
        requirePython(static_cast<bool>(pair));
        PyRef item(Py_BuildValue("(Oi)", pair.get(), entry.second));
        requirePython(static_cast<bool>(item) && PyList_Append(list.get(), item.get()) == 0);
    }
    return list.release();
}

PyObject* maxFreqPair(PyObject*, const BoundArgs& args) {
    PyObject* arg = args[0];
    const MostFreqPair best = getMaxFreqPair(bytePairStats(idsFromIterable(arg)));
    PyRef pair(pairToTuple(best.pair));
    requirePython(static_cast<bool>(pair));
    return Py_BuildValue("(Oi)", pair.get(), best.freq);
}

PyObject* pairHashHook(PyObject*, const BoundArgs& args) {
    int left = 0, right = 0;
    left = args.int32(0);
    right = args.int32(1);
    return PyLong_FromUnsignedLong(pairHash(left, right));
}

PyObject* splitStringHook(PyObject*, const BoundArgs& args) {
    PyObject* arg = args[0];
    std::string text = stringFromBytes(arg);
    const std::vector<std::string> pieces = splitString(text);
    PyRef list(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
    requirePython(static_cast<bool>(list));
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        PyObject* b = PyBytes_FromStringAndSize(pieces[i].data(),
                                                static_cast<Py_ssize_t>(pieces[i].size()));
        requirePython(b != nullptr);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), b);
    }
    return list.release();
}

// Walk order of a table that received keys with these hashes in this order,
// from the closed form the fast trainer uses.
PyObject* tableWalkOrderHook(PyObject*, const BoundArgs& args) {
    PyObject* arg = args[0];
    const std::vector<int> raw = idsFromIterable(arg);
    std::vector<std::uint32_t> hashes(raw.begin(), raw.end());
    return listFromIds(bytepairtokenizer::tableWalkOrder(hashes));
}

}  // namespace

namespace {

const FunctionRow kRows[] = {
    {"train", {"corpus", "max_vocab_size", "n_iter", optional("engine", "'fast'"), optional("merges", "None"), optional("interrupt_after", "-1")}, train,
     "-> (output, merges, corpus, size)"},
    {"train_sequence", {"calls", optional("engine", "'fast'"), optional("merges", "None")}, trainSequence,
     "-> (output, merges, corpora, size)"},
    {"merge_corpus", {"corpus", "merges", optional("engine", "'fast'")}, mergeCorpusHook,
     "-> list[int]"},
    {"encode", {"merges", "data", optional("engine", "'fast'")}, encodeHook,
     "-> (echo, ids)"},
    {"decode", {"merges", "ids", optional("engine", "'fast'")}, decodeHook,
     "-> bytes"},
    {"decode_timed", {"merges", "ids", optional("engine", "'fast'"), optional("repeat", "1")}, decodeTimedHook,
     "-> (best seconds of the core call, bytes)"},
    {"pair_stats", {"corpus"}, pairStats,
     "-> [((a, b), count)] in walk order"},
    {"max_freq_pair", {"corpus"}, maxFreqPair,
     "-> ((a, b), freq)"},
    {"pair_hash", {"a", "b"}, pairHashHook,
     "-> int"},
    {"split_string", {"data"}, splitStringHook,
     "-> list[bytes]"},
    {"table_walk_order", {"hashes"}, tableWalkOrderHook,
     "-> key indices in walk order (hashes given as int32)"},
};

}  // namespace

PyMethodDef* engineMethods() {
    return methodTable<kRows>(TableKind::ModuleFunctions);
}

}  // namespace brevix
