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

#include "internal.h"
#include "tokenizer.h"
#include "trainer.h"
#include "walk_order.h"

namespace {

using bytepairtokenizer::BytePairTokenizer;

// Owns one reference; steals by default.
class PyRef {
public:
    explicit PyRef(PyObject* p = nullptr) : p_(p) {}
    ~PyRef() { Py_XDECREF(p_); }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyObject* get() const { return p_; }
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_;
};

// Raised inside a shim when a Python error is already set.
struct PythonErrorSet {};

// Runs `body`, turning every C++ exception into a Python exception.
template <typename F>
PyObject* guarded(F body) {
    try {
        return body();
    } catch (const PythonErrorSet&) {
        return nullptr;
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return nullptr;
}

void check(bool ok) {
    if (!ok) throw PythonErrorSet{};
}

int int32Shim(PyObject* o) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    check(!(v == -1 && PyErr_Occurred()));
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "token id out of 32-bit range");
        throw PythonErrorSet{};
    }
    return static_cast<int>(v);
}

std::vector<int> idsShim(PyObject* seq) {
    PyRef fast(PySequence_Fast(seq, "expected a sequence of ints"));
    check(static_cast<bool>(fast));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    PyObject** items = PySequence_Fast_ITEMS(fast.get());
    std::vector<int> ids(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) ids[static_cast<std::size_t>(i)] = int32Shim(items[i]);
    return ids;
}

PyObject* listShim(const std::vector<int>& ids) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    check(static_cast<bool>(list));
    for (std::size_t i = 0; i < ids.size(); ++i) {
        PyObject* v = PyLong_FromLong(ids[i]);
        check(v != nullptr);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
    }
    return list.release();
}

PyObject* pairShim(const DTYPE_BYTEPAIR& p) { return Py_BuildValue("(ii)", p[0], p[1]); }

std::string bytesShim(PyObject* o) {
    char* data = nullptr;
    Py_ssize_t len = 0;
    check(PyBytes_AsStringAndSize(o, &data, &len) == 0);
    return std::string(data, static_cast<std::size_t>(len));
}

enum class Engine { Fast, Straightforward, Targeted, Ordered, Recount };

// "fast" and "straightforward" name the two engines. Test variants of the
// fast trainer (other operations treat them as "fast"): "targeted" forces
// its tie-break onto the targeted path even for small tables; "ordered"
// answers every tie from the walk order kept across iterations; "recount"
// lowers the limit of the modelled table to kRecountPairs live pairs, past
// which ties are broken by recounting the corpus.
constexpr int kRecountPairs = 40;

Engine engineShim(const char* engine) {
    const std::string name = engine == nullptr ? "fast" : engine;
    if (name == "fast") return Engine::Fast;
    if (name == "straightforward") return Engine::Straightforward;
    if (name == "targeted") return Engine::Targeted;
    if (name == "ordered") return Engine::Ordered;
    if (name == "recount") return Engine::Recount;
    throw std::invalid_argument("engine must be 'fast', 'straightforward', 'targeted', 'ordered' or 'recount'");
}

bool fastEngineShim(const char* engine) { return engineShim(engine) != Engine::Straightforward; }

// Records (left, right, id) triples in id order, as training would have.
void loadMergesShim(BytePairTokenizer& tok, PyObject* merges) {
    if (merges == nullptr || merges == Py_None) return;
    PyRef fast(PySequence_Fast(merges, "merges must be a sequence of (left, right, id)"));
    check(static_cast<bool>(fast));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        int left = 0, right = 0, id = 0;
        check(PyArg_ParseTuple(PySequence_Fast_GET_ITEM(fast.get(), i), "iii", &left, &right, &id));
        if (id != tok.nextVocabIndex) throw std::invalid_argument("merge ids must run 256, 257, ...");
        updateVocab(tok.vocab, tok.revVocab, DTYPE_BYTEPAIR{left, right}, tok.nextVocabIndex,
                    tok.vocabSize);
        if (tok.nextVocabIndex != id + 1) throw std::invalid_argument("duplicate merge pair");
    }
}

PyObject* mergesShim(const BytePairTokenizer& tok) {
    std::vector<DTYPE_BYTEPAIR> byId(static_cast<std::size_t>(tok.nextVocabIndex - 256));
    for (const auto& entry : tok.revVocab) byId[static_cast<std::size_t>(entry.first - 256)] = entry.second;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(byId.size())));
    check(static_cast<bool>(list));
    for (std::size_t i = 0; i < byId.size(); ++i) {
        PyObject* t = Py_BuildValue("(iii)", byId[i][0], byId[i][1], static_cast<int>(i) + 256);
        check(t != nullptr);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t);
    }
    return list.release();
}

// Interrupt callback that reports true from its (k+1)-th poll on; k < 0 never.
std::function<bool()> interruptAfterShim(int polls) {
    if (polls < 0) return {};
    auto seen = std::make_shared<int>(0);
    return [seen, polls]() { return (*seen)++ >= polls; };
}

void runFit(BytePairTokenizer& tok, std::vector<int>& corpus, int maxVocabSize, int nIter,
            Engine engine, std::ostream& out, const std::function<bool()>& interrupted) {
    switch (engine) {
        case Engine::Fast:
            tok.fitWith(corpus, maxVocabSize, nIter, out, interrupted);
            break;
        case Engine::Straightforward:
            tok.fitStraightforward(corpus, maxVocabSize, nIter, out, interrupted);
            break;
        case Engine::Targeted: {
            bytepairtokenizer::TieBreakTuning tuning;
            tuning.fullWalkPairs = 0;
            tuning.fullWalkTieShare = 0;
            tuning.cutScale = 1.0;
            tuning.orderedTieWidth = 0;
            bytepairtokenizer::fitIncremental(tok, corpus, maxVocabSize, nIter, out, interrupted,
                                              tuning);
            break;
        }
        case Engine::Ordered: {
            bytepairtokenizer::TieBreakTuning tuning;
            tuning.fullWalkPairs = 0;
            tuning.orderedTieWidth = 2;
            bytepairtokenizer::fitIncremental(tok, corpus, maxVocabSize, nIter, out, interrupted,
                                              tuning);
            break;
        }
        case Engine::Recount: {
            bytepairtokenizer::TieBreakTuning tuning;
            tuning.maxModelledPairs = kRecountPairs;
            bytepairtokenizer::fitIncremental(tok, corpus, maxVocabSize, nIter, out, interrupted,
                                              tuning);
            break;
        }
    }
}

PyObject* train(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"corpus", "max_vocab_size", "n_iter", "engine", "merges",
                                  "interrupt_after", nullptr};
    PyObject* corpusObj = nullptr;
    int maxVocabSize = 0, nIter = 0, interruptAfter = -1;
    const char* engine = "fast";
    PyObject* merges = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Oii|sOi", const_cast<char**>(names), &corpusObj,
                                     &maxVocabSize, &nIter, &engine, &merges, &interruptAfter)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        const Engine chosen = engineShim(engine);
        BytePairTokenizer tok;
        loadMergesShim(tok, merges);
        std::vector<int> corpus = idsShim(corpusObj);
        std::ostringstream out;
        runFit(tok, corpus, maxVocabSize, nIter, chosen, out, interruptAfterShim(interruptAfter));
        const std::string text = out.str();
        PyRef outBytes(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        check(static_cast<bool>(outBytes));
        PyRef mergeList(mergesShim(tok));
        PyRef corpusList(listShim(corpus));
        return Py_BuildValue("(OOOi)", outBytes.get(), mergeList.get(), corpusList.get(), tok.size());
    });
}

PyObject* trainSequence(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"calls", "engine", "merges", nullptr};
    PyObject* calls = nullptr;
    const char* engine = "fast";
    PyObject* merges = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|sO", const_cast<char**>(names), &calls,
                                     &engine, &merges)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        const Engine chosen = engineShim(engine);
        BytePairTokenizer tok;
        loadMergesShim(tok, merges);
        PyRef seq(PySequence_Fast(calls, "calls must be a sequence of (corpus, max, n_iter)"));
        check(static_cast<bool>(seq));
        std::ostringstream out;
        PyRef corpora(PyList_New(0));
        check(static_cast<bool>(corpora));
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            PyObject* corpusObj = nullptr;
            int maxVocabSize = 0, nIter = 0;
            check(PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq.get(), i), "Oii", &corpusObj,
                                   &maxVocabSize, &nIter));
            std::vector<int> corpus = idsShim(corpusObj);
            runFit(tok, corpus, maxVocabSize, nIter, chosen, out, {});
            PyRef list(listShim(corpus));
            check(PyList_Append(corpora.get(), list.get()) == 0);
        }
        const std::string text = out.str();
        PyRef outBytes(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        check(static_cast<bool>(outBytes));
        PyRef mergeList(mergesShim(tok));
        return Py_BuildValue("(OOOi)", outBytes.get(), mergeList.get(), corpora.get(), tok.size());
    });
}

PyObject* mergeCorpusHook(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"corpus", "merges", "engine", nullptr};
    PyObject* corpusObj = nullptr;
    PyObject* merges = nullptr;
    const char* engine = "fast";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|s", const_cast<char**>(names), &corpusObj,
                                     &merges, &engine)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        const bool fast = fastEngineShim(engine);
        BytePairTokenizer tok;
        loadMergesShim(tok, merges);
        std::vector<int> corpus = idsShim(corpusObj);
        if (fast) {
            bytepairtokenizer::mergeCorpusFast(corpus, tok.vocab);
        } else {
            mergeCorpus(corpus, tok.vocab);
        }
        return listShim(corpus);
    });
}

PyObject* encodeHook(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"merges", "data", "engine", nullptr};
    PyObject* merges = nullptr;
    PyObject* data = nullptr;
    const char* engine = "fast";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|s", const_cast<char**>(names), &merges, &data,
                                     &engine)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        const bool fast = fastEngineShim(engine);
        BytePairTokenizer tok;
        loadMergesShim(tok, merges);
        std::ostringstream echo;
        const std::vector<int> ids = tok.encodeWith(bytesShim(data), echo, fast);
        const std::string text = echo.str();
        PyRef echoBytes(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        check(static_cast<bool>(echoBytes));
        PyRef list(listShim(ids));
        return Py_BuildValue("(OO)", echoBytes.get(), list.get());
    });
}

PyObject* decodeHook(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"merges", "ids", "engine", nullptr};
    PyObject* merges = nullptr;
    PyObject* idsObj = nullptr;
    const char* engine = "fast";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|s", const_cast<char**>(names), &merges,
                                     &idsObj, &engine)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        const bool fast = fastEngineShim(engine);
        BytePairTokenizer tok;
        loadMergesShim(tok, merges);
        const std::vector<int> ids = idsShim(idsObj);
        const std::string bytes = fast ? tok.decodeFast(ids) : tok.decodeStraightforward(ids);
        return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    });
}

// The core decode alone, best of `repeat` calls on steady_clock, so the
// benchmark sees the core's rate without the cost of converting the ids.
PyObject* decodeTimedHook(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"merges", "ids", "engine", "repeat", nullptr};
    PyObject* merges = nullptr;
    PyObject* idsObj = nullptr;
    const char* engine = "fast";
    int repeat = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|si", const_cast<char**>(names), &merges,
                                     &idsObj, &engine, &repeat)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        const bool fast = fastEngineShim(engine);
        if (repeat < 1) throw std::invalid_argument("repeat must be at least 1");
        BytePairTokenizer tok;
        loadMergesShim(tok, merges);
        const std::vector<int> ids = idsShim(idsObj);
        double best = 0.0;
        std::string bytes;
        for (int i = 0; i < repeat; ++i) {
            const auto start = std::chrono::steady_clock::now();
            bytes = fast ? tok.decodeFast(ids) : tok.decodeStraightforward(ids);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            if (i == 0 || took.count() < best) best = took.count();
        }
        PyRef result(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
        check(static_cast<bool>(result));
        return Py_BuildValue("(dO)", best, result.get());
    });
}

PyObject* pairStats(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const DTYPE_BYTEPAIR_STATS stats = bytePairStats(idsShim(arg));
        PyRef list(PyList_New(0));
        check(static_cast<bool>(list));
        for (const auto& entry : stats) {
            PyRef pair(pairShim(entry.first));
            check(static_cast<bool>(pair));
            PyRef item(Py_BuildValue("(Oi)", pair.get(), entry.second));
            check(static_cast<bool>(item) && PyList_Append(list.get(), item.get()) == 0);
        }
        return list.release();
    });
}

PyObject* maxFreqPair(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const MostFreqPair best = getMaxFreqPair(bytePairStats(idsShim(arg)));
        PyRef pair(pairShim(best.pair));
        check(static_cast<bool>(pair));
        return Py_BuildValue("(Oi)", pair.get(), best.freq);
    });
}

PyObject* pairHashHook(PyObject*, PyObject* args) {
    int left = 0, right = 0;
    if (!PyArg_ParseTuple(args, "ii", &left, &right)) return nullptr;
    return PyLong_FromUnsignedLong(pairHash(left, right));
}

PyObject* splitStringHook(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        std::string text = bytesShim(arg);
        const std::vector<std::string> pieces = splitString(text);
        PyRef list(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
        check(static_cast<bool>(list));
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            PyObject* b = PyBytes_FromStringAndSize(pieces[i].data(),
                                                    static_cast<Py_ssize_t>(pieces[i].size()));
            check(b != nullptr);
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), b);
        }
        return list.release();
    });
}

// Walk order of a table that received keys with these hashes in this order,
// from the closed form the fast trainer uses.
PyObject* tableWalkOrderHook(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const std::vector<int> raw = idsShim(arg);
        std::vector<std::uint32_t> hashes(raw.begin(), raw.end());
        return listShim(bytepairtokenizer::tableWalkOrder(hashes));
    });
}

}  // namespace

PyMethodDef brevix_engine_methods[] = {
    {"train", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(train)),
     METH_VARARGS | METH_KEYWORDS,
     "train(corpus, max_vocab_size, n_iter, engine='fast'|'straightforward'|'targeted', merges=None, interrupt_after=-1)"
     " -> (output, merges, corpus, size)"},
    {"train_sequence", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(trainSequence)),
     METH_VARARGS | METH_KEYWORDS,
     "train_sequence([(corpus, max_vocab_size, n_iter), ...], engine='fast', merges=None)"
     " -> (output, merges, corpora, size)"},
    {"merge_corpus", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(mergeCorpusHook)),
     METH_VARARGS | METH_KEYWORDS, "merge_corpus(corpus, merges, engine='fast') -> list[int]"},
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encodeHook)),
     METH_VARARGS | METH_KEYWORDS, "encode(merges, data, engine='fast') -> (echo, ids)"},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decodeHook)),
     METH_VARARGS | METH_KEYWORDS, "decode(merges, ids, engine='fast') -> bytes"},
    {"decode_timed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decodeTimedHook)),
     METH_VARARGS | METH_KEYWORDS,
     "decode_timed(merges, ids, engine='fast', repeat=1) -> (best seconds of the core call, bytes)"},
    {"pair_stats", pairStats, METH_O, "pair_stats(corpus) -> [((a, b), count)] in walk order"},
    {"max_freq_pair", maxFreqPair, METH_O, "max_freq_pair(corpus) -> ((a, b), freq)"},
    {"pair_hash", pairHashHook, METH_VARARGS, "pair_hash(a, b) -> int"},
    {"split_string", splitStringHook, METH_O, "split_string(data) -> list[bytes]"},
    {"table_walk_order", tableWalkOrderHook, METH_O,
     "table_walk_order(hashes) -> key indices in walk order (hashes given as int32)"},
    {nullptr, nullptr, 0, nullptr},
};
