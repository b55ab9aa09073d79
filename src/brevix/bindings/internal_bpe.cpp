// brevix._internal hooks into standard byte-pair encoding (brevix::bpe), for
// the tests, the fuzzer and the benchmark. Tables are given as `byte_ids` (256
// ints), `merges` ((left, right, id) triples) and `specials` ((bytes, id)
// pairs):
//
//   special_find(specials, text, start=0, chosen=None)
//       -> (start, length, index, id) | None     chosen: indices, None for all
//   rank_encode(byte_ids, merges, data, path="auto") -> list[int]
//       one piece; path "auto" (the encoder), "bytes" (no whole-token lookup),
//       "long-piece" (the encoder's way for long pieces at any length),
//       "keyed", "short", "long", "batched" (one merge path forced),
//       "reference" (the definition)
//   bpe_encoder(byte_ids, merges, specials=(), pattern=None, chunk=0) -> encoder
//       a capsule holding a TextEncoder; pattern None keeps texts whole, and
//       chunk > 0 (for tests of the piece loop) cuts pieces of `chunk` bytes
//   bpe_encode(encoder, text, allowed=()) -> list[int]
//   bpe_count(encoder, text, allowed=()) -> int
//       allowed: "all" or the bytes of the special tokens to match
//   bpe_disallowed(encoder, text, allowed=()) -> (start, length, index, id) | None
//       the first special token not in `allowed`
//   bpe_decode(encoder, ids, streamed=False) -> bytes
//       streamed: read plain lists, tuples and arrays a block at a time
//   bpe_token_id(encoder, token) -> (id | None, whole id | None)
//   merges_from_ranks(tokens) -> (byte_ids, merges)      tokens: bytes by rank
//   tiktoken_incompatible(byte_ids, merges) -> int | None
//
// For the benchmark (the core's CPU time on this thread, best of `repeat` runs):
//   bpe_count_pieces(encoder, text, ends, repeat=1) -> (seconds, ids)
//       encodes the pieces ending at `ends` one by one
//   bpe_decode_timed(encoder, ids, repeat=1) -> (seconds, bytes)
//   merges_from_ranks_timed(tokens, repeat=1) -> seconds
#include <cstddef>
#include <algorithm>
#include <ctime>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "encode/backtrack_encode.h"
#include "encode/batch_merge.h"
#include "encode/describe_bytes.h"
#include "encode/rank_encoder.h"
#include "encode/rank_merge.h"
#include "encode/rank_reference.h"
#include "encode/special_tokens.h"
#include "encode/text_encoder.h"
#include "encode/tiktoken_ranks.h"
#include "encode/token_decoder.h"
#include "encode/vocabulary.h"
#include "text/make_splitter.h"
#include "convert.h"
#include "core_errors.h"
#include "binding_table.h"
#include "internal.h"
#include "merge_table.h"
#include "pyref.h"

namespace brevix {

namespace {

using brevix::PyRef;
using brevix::requirePython;

std::size_t indexFromInt(PyObject* obj) {
    const Py_ssize_t value = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
    requirePython(!(value == -1 && PyErr_Occurred()));
    if (value < 0) {
        PyErr_SetString(PyExc_ValueError, "an index must not be negative");
        throw brevix::PythonErrorSet{};
    }
    return static_cast<std::size_t>(value);
}

std::vector<std::size_t> indicesFromSequence(PyObject* obj) {
    PyRef seq = fastSequence(obj, "indices must be a sequence of ints");
    std::vector<std::size_t> indices;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        indices.push_back(indexFromInt(PySequence_Fast_GET_ITEM(seq.get(), i)));
    }
    return indices;
}

// A sequence of (bytes, id) pairs.
bpe::SpecialTokens specialTokensFromPairs(PyObject* obj) {
    std::vector<bpe::SpecialToken> tokens;
    if (obj != nullptr && obj != Py_None) {
        PyRef seq = fastSequence(obj, "special tokens must be a sequence of (bytes, id)");
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
            PyObject* bytes = nullptr;
            PyObject* id = nullptr;
            requirePython(PyArg_ParseTuple(item, "OO;a special token is (bytes, id)", &bytes, &id));
            tokens.push_back(bpe::SpecialToken{stringFromBytes(bytes), int32FromInt(id)});
        }
    }
    return bpe::SpecialTokens(std::move(tokens));
}

PyObject* specialMatchToTuple(const std::optional<bpe::SpecialMatch>& match) {
    if (!match) Py_RETURN_NONE;
    return Py_BuildValue("(nnni)", static_cast<Py_ssize_t>(match->start),
                         static_cast<Py_ssize_t>(match->length),
                         static_cast<Py_ssize_t>(match->token), static_cast<int>(match->id));
}

PyObject* specialFindHook(PyObject*, const BoundArgs& args) {
    Py_ssize_t start = args.ssizeOr(2, 0);
    const bpe::SpecialTokens specials = specialTokensFromPairs(args[0]);
    const std::string text = stringFromBytes(args[1]);
    PyObject* chosenObj = args.objectOr(3, Py_None);
    const bpe::SpecialMatcher matcher =
        chosenObj == Py_None ? bpe::SpecialMatcher::all(specials)
                             : bpe::SpecialMatcher(specials, indicesFromSequence(chosenObj));
    if (start < 0) start = 0;
    return specialMatchToTuple(matcher.find(text, static_cast<std::size_t>(start)));
}

static_assert(sizeof(bpe::TokenId) == sizeof(int), "ids cross the boundary as C ints");

bpe::ByteIds byteIdsFromIterable(PyObject* obj) {
    const std::vector<int> ids = idsFromIterable(obj);
    if (ids.size() != 256) {
        PyErr_Format(PyExc_ValueError, "byte_ids must hold 256 ids, not %zu", ids.size());
        throw brevix::PythonErrorSet{};
    }
    bpe::ByteIds byteIds;
    std::copy(ids.begin(), ids.end(), byteIds.begin());
    return byteIds;
}

std::vector<bpe::Merge> mergesFromTriples(PyObject* obj) {
    PyRef seq = fastSequence(obj, "merges must be a sequence of (left, right, id)");
    std::vector<bpe::Merge> merges;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        PyObject *left = nullptr, *right = nullptr, *id = nullptr;
        requirePython(PyArg_ParseTuple(item, "OOO;a merge is (left, right, id)", &left, &right, &id));
        merges.push_back(bpe::Merge{int32FromInt(left), int32FromInt(right), int32FromInt(id)});
    }
    return merges;
}

std::vector<std::string> tokensFromSequence(PyObject* obj) {
    PyRef seq = fastSequence(obj, "tokens must be a sequence of bytes");
    std::vector<std::string> tokens;
    tokens.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get())));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        tokens.push_back(stringFromBytes(PySequence_Fast_GET_ITEM(seq.get(), i)));
    }
    return tokens;
}

PyObject* intOrNone(const std::optional<bpe::TokenId>& id) {
    if (!id) Py_RETURN_NONE;
    return PyLong_FromLong(*id);
}

// The encoder capsule: a TextEncoder owned by a PyCapsule.
constexpr const char* kEncoderCapsule = "brevix._internal.bpe_encoder";

void destroyEncoder(PyObject* capsule) {
    delete static_cast<bpe::TextEncoder*>(PyCapsule_GetPointer(capsule, kEncoderCapsule));
}

const bpe::TextEncoder& encoderInCapsule(PyObject* obj) {
    void* pointer = PyCapsule_GetPointer(obj, kEncoderCapsule);
    requirePython(pointer != nullptr);
    return *static_cast<const bpe::TextEncoder*>(pointer);
}

bool isAll(PyObject* obj) {
    return PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, "all") == 0;
}

// The indices of the special tokens `obj` names: "all", or a sequence of
// their bytes.
std::vector<std::size_t> allowedIndices(const bpe::TextEncoder& encoder, PyObject* obj) {
    const bpe::SpecialTokens& specials = encoder.vocabulary().specials();
    std::vector<std::size_t> chosen;
    if (isAll(obj)) {
        for (std::size_t i = 0; i < specials.size(); ++i) chosen.push_back(i);
        return chosen;
    }
    for (const std::string& token : tokensFromSequence(obj)) {
        const std::optional<std::size_t> index = specials.indexOf(token);
        if (!index) throw std::invalid_argument("not a special token: " + bpe::describeBytes(token));
        chosen.push_back(*index);
    }
    return chosen;
}

bpe::SpecialMatcher allowedMatcher(const bpe::TextEncoder& encoder, PyObject* obj) {
    if (isAll(obj)) return encoder.allSpecials();
    return bpe::SpecialMatcher(encoder.vocabulary().specials(), allowedIndices(encoder, obj));
}

std::vector<bpe::TokenId> encodeOnePiece(const bpe::Vocabulary& vocab, const std::string& data,
                                         const std::string& path) {
    std::vector<bpe::TokenId> ids;
    if (path == "auto") {
        bpe::encodePiece(vocab, data, ids);
    } else if (path == "bytes") {
        bpe::encodePieceFromBytes(vocab, data, ids);
    } else if (path == "long-piece") {
        bpe::encodeLongPiece(vocab, data, ids);
    } else if (path == "search") {
        // Strict: the fallback of encodeBySearch would hide a search that
        // wrongly finds nothing from the tests comparing this path.
        if (!data.empty() && !bpe::encodeByBacktracking(vocab, data, ids)) {
            throw std::runtime_error("the search found no encoding");
        }
    } else if (path == "keyed" || path == "short" || path == "long" || path == "batched") {
        for (char c : data) ids.push_back(vocab.byteIds()[static_cast<unsigned char>(c)]);
        const bpe::PairRanks& ranks = vocab.pairRanks();
        const std::size_t count = path == "keyed"   ? bpe::mergeByRankKeyed(ranks, ids.data(), ids.size())
                                  : path == "short" ? bpe::mergeByRankShort(ranks, ids.data(), ids.size())
                                  : path == "long"  ? bpe::mergeByRankLong(ranks, ids.data(), ids.size())
                                                    : bpe::mergeByRankBatched(ranks, ids.data(), ids.size());
        ids.resize(count);
    } else {
        throw std::invalid_argument(
            "path must be 'auto', 'bytes', 'long-piece', 'search', 'keyed', 'short', 'long', 'batched' or "
            "'reference'");
    }
    return ids;
}

PyObject* rankEncodeHook(PyObject*, const BoundArgs& args) {
    const char* path = args.utf8Or(3, "auto");
    const bpe::ByteIds byteIds = byteIdsFromIterable(args[0]);
    std::vector<bpe::Merge> merges = mergesFromTriples(args[1]);
    const std::string data = stringFromBytes(args[2]);
    if (std::strcmp(path, "reference") == 0) {
        return listFromIds(bpe::encodeByRankReference(byteIds, merges, data));
    }
    const bpe::Vocabulary vocab(byteIds, std::move(merges));
    return listFromIds(encodeOnePiece(vocab, data, path));
}

// Pieces of a fixed number of bytes (the last one shorter), resumable as
// the Splitter contract asks: for tests of the text encoder's piece loop.
class ChunkSplitter final : public brevix::text::Splitter {
public:
    explicit ChunkSplitter(std::size_t chunk) : chunk_(chunk) {}
    std::size_t split(std::string_view text, std::size_t from, std::vector<std::size_t>& ends,
                      std::size_t limit) const override {
        while (from < text.size() && ends.size() < limit) {
            from = std::min(text.size(), from + chunk_);
            ends.push_back(from);
        }
        return from;
    }

private:
    std::size_t chunk_;
};

std::shared_ptr<const brevix::text::Splitter> splitterFor(const char* pattern, Py_ssize_t chunk) {
    if (chunk > 0) return std::make_shared<ChunkSplitter>(static_cast<std::size_t>(chunk));
    if (pattern == nullptr) return brevix::text::makeWholeSplitter();
    return brevix::text::makeSplitter(pattern);
}

PyObject* encoderHook(PyObject*, const BoundArgs& args) {
    const char* pattern = args.utf8OrNull(3);
    const Py_ssize_t chunk = args.ssizeOr(4, 0);
    auto vocab = std::make_shared<const bpe::Vocabulary>(byteIdsFromIterable(args[0]), mergesFromTriples(args[1]),
                                                         specialTokensFromPairs(args.objectOr(2, Py_None)));
    std::shared_ptr<const brevix::text::Splitter> splitter = splitterFor(pattern, chunk);
    auto encoder = std::make_unique<bpe::TextEncoder>(std::move(vocab), std::move(splitter));
    PyObject* capsule = PyCapsule_New(encoder.get(), kEncoderCapsule, destroyEncoder);
    requirePython(capsule != nullptr);
    encoder.release();
    return capsule;
}

PyObject* encodeTextHook(PyObject*, const BoundArgs& args) {
    const bpe::TextEncoder& encoder = encoderInCapsule(args[0]);
    const std::string text = stringFromBytes(args[1]);
    std::vector<bpe::TokenId> ids;
    if (args.given(2)) {
        encoder.encode(text, allowedMatcher(encoder, args[2]), ids);
    } else {
        encoder.encodeOrdinary(text, ids);
    }
    return listFromIds(ids);
}

PyObject* countHook(PyObject*, const BoundArgs& args) {
    const bpe::TextEncoder& encoder = encoderInCapsule(args[0]);
    const HeldBuffer text(args[1]);
    const bpe::SpecialMatcher none;
    return PyLong_FromSize_t(
        encoder.count(text.bytes(), args.given(2) ? allowedMatcher(encoder, args[2]) : none));
}

PyObject* disallowedHook(PyObject*, const BoundArgs& args) {
    const bpe::TextEncoder& encoder = encoderInCapsule(args[0]);
    const std::string text = stringFromBytes(args[1]);
    const std::vector<std::size_t> allowed =
        args.given(2) ? allowedIndices(encoder, args[2]) : std::vector<std::size_t>{};
    const auto matcher = bpe::SpecialMatcher::allExcept(encoder.vocabulary().specials(), allowed);
    return specialMatchToTuple(matcher.find(text, 0));
}

// The ids read a block at a time by IdStream (exact lists, tuples, arrays
// of plain ints); false when the stream cannot read `obj` plainly.
bool decodeStreamed(const bpe::Vocabulary& vocab, PyObject* obj, brevix::BytesBuilder& builder,
                        std::size_t& written) {
    brevix::IdStream stream(obj);
    if (!stream.usable()) return false;
    return bpe::decodeFrom(vocab, stream, stream.expected(), builder, written);
}

PyObject* decodeHook(PyObject*, const BoundArgs& args) {
    const bool streamed = args.flagOr(2, false);
    const bpe::Vocabulary& vocab = encoderInCapsule(args[0]).vocabulary();
    brevix::BytesBuilder builder;
    std::size_t written = 0;
    try {
        if (!streamed || !decodeStreamed(vocab, args[1], builder, written)) {
            const std::vector<int> ids = idsFromIterable(args[1]);
            written = bpe::decodeTokens(vocab, ids.data(), ids.size(), builder);
        }
    } catch (const brevix::BytesBuildFailed&) {
        throw brevix::PythonErrorSet{};
    }
    PyObject* bytes = builder.finish(written);
    requirePython(bytes != nullptr);
    return bytes;
}

PyObject* tokenIdHook(PyObject*, const BoundArgs& args) {
    const bpe::Vocabulary& vocab = encoderInCapsule(args[0]).vocabulary();
    const std::string token = stringFromBytes(args[1]);
    PyRef id(intOrNone(vocab.tokenId(token)));
    requirePython(static_cast<bool>(id));
    PyRef whole(intOrNone(vocab.wholeTokenId(token)));
    requirePython(static_cast<bool>(whole));
    return PyTuple_Pack(2, id.get(), whole.get());
}

PyObject* mergesFromRanksHook(PyObject*, const BoundArgs& args) {
    const bpe::RankedMerges ranked = bpe::mergesFromRanks(tokensFromSequence(args[0]));
    PyRef byteIds(listFromIds(std::vector<bpe::TokenId>(ranked.byteIds.begin(), ranked.byteIds.end())));
    PyRef merges(mergesToList(ranked.merges));
    requirePython(static_cast<bool>(merges));
    return PyTuple_Pack(2, byteIds.get(), merges.get());
}

PyObject* tiktokenIncompatibleHook(PyObject*, const BoundArgs& args) {
    const bpe::Vocabulary vocab(byteIdsFromIterable(args[0]), mergesFromTriples(args[1]));
    return intOrNone(bpe::firstTiktokenIncompatible(vocab));
}

// This thread's CPU time in seconds: other load on the machine disturbs it
// less than the wall clock.
double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

template <typename Run>
double bestSeconds(int repeat, Run&& run) {
    double best = -1;
    for (int i = 0; i < (repeat < 1 ? 1 : repeat); ++i) {
        const double start = threadSeconds();
        run();
        const double seconds = threadSeconds() - start;
        if (best < 0 || seconds < best) best = seconds;
    }
    return best;
}

std::vector<std::size_t> pieceEndsFromSequence(PyObject* obj, std::size_t textSize) {
    std::vector<std::size_t> ends = indicesFromSequence(obj);
    std::size_t previous = 0;
    for (std::size_t end : ends) {
        if (end < previous || end > textSize) throw std::invalid_argument("piece ends must rise within the text");
        previous = end;
    }
    return ends;
}

PyObject* countPiecesHook(PyObject*, const BoundArgs& args) {
    const int repeat = args.int32Or(3, 1);
    const bpe::Vocabulary& vocab = encoderInCapsule(args[0]).vocabulary();
    const std::string text = stringFromBytes(args[1]);
    const std::vector<std::size_t> ends = pieceEndsFromSequence(args[2], text.size());
    std::vector<bpe::TokenId> ids;
    std::size_t count = 0;
    const double seconds = bestSeconds(repeat, [&] {
        count = 0;
        std::size_t start = 0;
        for (std::size_t end : ends) {
            ids.clear();
            bpe::encodePiece(vocab, std::string_view(text).substr(start, end - start), ids);
            count += ids.size();
            start = end;
        }
    });
    return Py_BuildValue("(dn)", seconds, static_cast<Py_ssize_t>(count));
}

PyObject* decodeTimedHook(PyObject*, const BoundArgs& args) {
    const int repeat = args.int32Or(2, 1);
    const bpe::Vocabulary& vocab = encoderInCapsule(args[0]).vocabulary();
    const std::vector<int> ids = idsFromIterable(args[1]);
    struct StringSink final : bytepairtokenizer::ByteSink {
        std::string bytes;
        char* reserve(std::size_t, std::size_t capacity) override {
            if (bytes.size() < capacity) bytes.resize(capacity);
            return &bytes[0];
        }
    } sink;
    std::size_t written = 0;
    const double seconds =
        bestSeconds(repeat, [&] { written = bpe::decodeTokens(vocab, ids.data(), ids.size(), sink); });
    return Py_BuildValue("(dy#)", seconds, sink.bytes.data(), static_cast<Py_ssize_t>(written));
}

PyObject* mergesFromRanksTimedHook(PyObject*, const BoundArgs& args) {
    const int repeat = args.int32Or(1, 1);
    const std::vector<std::string> tokens = tokensFromSequence(args[0]);
    return PyFloat_FromDouble(bestSeconds(repeat, [&] { bpe::mergesFromRanks(tokens); }));
}

}  // namespace

namespace {

const FunctionRow kRows[] = {
    {"special_find", {"specials", "text", optional("start", "0"), optional("chosen", "None")}, specialFindHook,
     "-> (start, length, index, id) | None\nThe leftmost-longest special token of `chosen` (indices; None: all) at or after start."},
    {"rank_encode", {"byte_ids", "merges", "data", optional("path", "'auto'")}, rankEncodeHook,
     "-> list[int]: one piece encoded by rank"},
    {"bpe_encoder", {"byte_ids", "merges", optional("specials", "()"), optional("pattern", "None"), optional("chunk", "0")}, encoderHook,
     "-> a text encoder capsule"},
    {"bpe_encode", {"encoder", "text", optional("allowed", "()")}, encodeTextHook,
     "-> list[int]"},
    {"bpe_count", {"encoder", "text", optional("allowed", "()")}, countHook,
     "-> int: the number of ids bpe_encode gives"},
    {"bpe_disallowed", {"encoder", "text", optional("allowed", "()")}, disallowedHook,
     "-> the first special token not allowed, or None"},
    {"bpe_decode", {"encoder", "ids", optional("streamed", "False")}, decodeHook,
     "-> bytes"},
    {"bpe_token_id", {"encoder", "token"}, tokenIdHook,
     "-> (id or None, whole-token id or None)"},
    {"merges_from_ranks", {"tokens"}, mergesFromRanksHook,
     "-> (byte_ids, merges): tiktoken's tokens by rank as merges"},
    {"tiktoken_incompatible", {"byte_ids", "merges"}, tiktokenIncompatibleHook,
     "-> the first merge tiktoken's rule splits otherwise, or None"},
    {"bpe_count_pieces", {"encoder", "text", "ends", optional("repeat", "1")}, countPiecesHook,
     "-> (best seconds, ids of the pieces ending at `ends`)"},
    {"bpe_decode_timed", {"encoder", "ids", optional("repeat", "1")}, decodeTimedHook,
     "-> (best seconds, bytes)"},
    {"merges_from_ranks_timed", {"tokens", optional("repeat", "1")}, mergesFromRanksTimedHook,
     "-> best seconds of the core call"},
};

}  // namespace

PyMethodDef* bpeMethods() {
    return methodTable<kRows>(TableKind::ModuleFunctions);
}

}  // namespace brevix
