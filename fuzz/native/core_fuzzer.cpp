// libFuzzer target for the core, each fast engine against its straightforward
// counterpart on the same input. The first byte picks the check; the rest is
// its input. Any disagreement aborts with both results described.
//
//   0  split patterns: the hand-written scanner of each well-known pattern
//      against the general engine compiled from the same pattern string, on
//      any bytes (invalid UTF-8 included), whole and resumed piece by piece
//   1  rank encoding: encodePiece, encodePieceFromBytes, encodeLongPiece and
//      encodeByBacktracking against encodeByRankReference on merges built
//      from the input; decoding back; a long text of the input repeated,
//      split by gpt2's pattern, against encoding each piece alone
//   2  decoding: decodeTokens against the tokens' bytes concatenated
//   3  low-level training: fitWith (the fast engine) against
//      fitStraightforward; encoding and decoding by both engines
//   4  piece training: trainPieces against trainPiecesReference
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <set>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

#include "encode/backtrack_encode.h"
#include "encode/rank_encoder.h"
#include "encode/rank_reference.h"
#include "encode/text_encoder.h"
#include "encode/token_decoder.h"
#include "encode/vocabulary.h"
#include "exact/tokenizer.h"
#include "pieces/piece_reference.h"
#include "pieces/piece_table.h"
#include "pieces/piece_trainer.h"
#include "pieces/training_start.h"
#include "text/make_splitter.h"
#include "text/regex_splitter.h"
#include "text/splitter.h"

namespace {

using brevix::bpe::Merge;
using brevix::bpe::TokenId;

// Aborts with a description of what disagreed.
[[noreturn]] void disagree(const char* what, const std::string& detail) {
    std::fprintf(stderr, "DISAGREEMENT in %s: %s\n", what, detail.c_str());
    std::abort();
}

template <typename T>
std::string describe(const std::vector<T>& values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size() && i < 64; ++i) {
        out += (i ? " " : "") + std::to_string(values[i]);
    }
    return out + (values.size() > 64 ? " ...]" : "]");
}

// Reads bytes of the input one at a time; zero once it is used up.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::string_view rest() const {
        return {reinterpret_cast<const char*>(data_) + at_, size_ - at_};
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// ---- 0: split patterns ------------------------------------------------------

std::vector<std::size_t> splitWhole(const brevix::text::Splitter& splitter, std::string_view text) {
    std::vector<std::size_t> ends;
    splitter.split(text, 0, ends, SIZE_MAX);
    return ends;
}

std::vector<std::size_t> splitResumed(const brevix::text::Splitter& splitter, std::string_view text) {
    std::vector<std::size_t> ends;
    std::size_t at = 0;
    while (at < text.size()) at = splitter.split(text, at, ends, ends.size() + 1);
    return ends;
}

void checkSplit(std::string_view text) {
    static const std::string_view patterns[] = {brevix::text::kGpt2Pattern,
                                                brevix::text::kCl100kPattern,
                                                brevix::text::kO200kPattern};
    static const char* names[] = {"gpt2", "cl100k", "o200k"};
    static const auto scanners = [] {
        std::vector<std::unique_ptr<brevix::text::Splitter>> made;
        for (std::string_view p : patterns) made.push_back(brevix::text::makeSplitter(p));
        return made;
    }();
    static const auto engines = [] {
        std::vector<std::unique_ptr<brevix::text::Splitter>> made;
        for (std::string_view p : patterns) made.push_back(brevix::text::makeRegexSplitter(p));
        return made;
    }();
    for (std::size_t k = 0; k < 3; ++k) {
        const auto fast = splitWhole(*scanners[k], text);
        const auto general = splitWhole(*engines[k], text);
        if (fast != general) {
            disagree(names[k], "scanner " + describe(fast) + " engine " + describe(general));
        }
        if (splitResumed(*scanners[k], text) != fast) disagree(names[k], "scanner resumed");
    }
}

// ---- 1, 2: vocabularies, rank encoding, decoding ----------------------------

// Up to 24 merges whose parts are bytes or earlier merges, read from the
// input; a merge a vocabulary refuses (a repeated pair, or the bytes of
// another token) is left out.
std::vector<Merge> mergesFrom(Reader& in) {
    std::vector<Merge> merges;
    std::vector<std::string> bytesOf(256);
    for (int b = 0; b < 256; ++b) bytesOf[static_cast<std::size_t>(b)] = std::string(1, static_cast<char>(b));
    std::set<std::string> tokens(bytesOf.begin(), bytesOf.end());
    std::set<std::pair<TokenId, TokenId>> pairs;
    const unsigned count = in.byte() % 25;
    for (unsigned i = 0; i < count; ++i) {
        const TokenId next = 256 + static_cast<TokenId>(merges.size());
        auto part = [&] {
            const std::uint8_t b = in.byte();
            // Mostly small letters and earlier merges, so pairs repeat.
            if (b >= 128 && !merges.empty()) return 256 + static_cast<TokenId>(b % merges.size());
            return static_cast<TokenId>('a' + b % 4);
        };
        const Merge m{part(), part(), next};
        std::string joined = bytesOf[static_cast<std::size_t>(m.left)] + bytesOf[static_cast<std::size_t>(m.right)];
        if (!pairs.insert({m.left, m.right}).second || !tokens.insert(joined).second) continue;
        bytesOf.push_back(std::move(joined));
        merges.push_back(m);
    }
    return merges;
}

// The vocabulary of `merges` on identity bytes. Building one costs far more
// than the checks, and inputs that share their merges are common (mutations
// of the text after them), so the last few are kept.
const brevix::bpe::Vocabulary& vocabularyOf(const std::vector<Merge>& merges) {
    static std::map<std::vector<TokenId>, std::unique_ptr<brevix::bpe::Vocabulary>> cache;
    std::vector<TokenId> key;
    for (const Merge& m : merges) key.insert(key.end(), {m.left, m.right, m.id});
    auto found = cache.find(key);
    if (found != cache.end()) return *found->second;
    if (cache.size() >= 256) cache.clear();
    auto made = std::make_unique<brevix::bpe::Vocabulary>(brevix::bpe::identityByteIds(), merges);
    return *cache.emplace(std::move(key), std::move(made)).first->second;
}

class StringSink final : public bytepairtokenizer::ByteSink {
public:
    char* reserve(std::size_t, std::size_t capacity) override {
        out.resize(capacity);
        return out.data();
    }
    std::string out;
};

// The piece repeated, with spaces, past the size from which TextEncoder
// keeps the ids of a text's repeated pieces, split by gpt2's pattern: the
// ids of encoding each piece alone.
void checkTextEncoding(const brevix::bpe::Vocabulary& vocab, std::string_view piece) {
    static const std::shared_ptr<const brevix::text::Splitter> splitter =
        brevix::text::makeSplitter(brevix::text::kGpt2Pattern);
    std::string text;
    while (text.size() < 9000) {
        text += piece;
        text += ' ';
    }
    const brevix::bpe::TextEncoder encoder(
        std::shared_ptr<const brevix::bpe::Vocabulary>(&vocab, [](const brevix::bpe::Vocabulary*) {}), splitter);
    std::vector<TokenId> ids, alone;
    encoder.encodeOrdinary(text, ids);
    std::size_t from = 0;
    for (const std::size_t end : splitWhole(*splitter, text)) {
        brevix::bpe::encodePiece(vocab, std::string_view(text).substr(from, end - from), alone);
        from = end;
    }
    if (ids != alone) disagree("text encoding", describe(ids) + " vs " + describe(alone));
}

void checkRankEncoding(Reader& in) {
    const std::vector<Merge> merges = mergesFrom(in);
    const brevix::bpe::Vocabulary& vocab = vocabularyOf(merges);
    const std::string_view piece = in.rest().substr(0, 96);  // the reference is quadratic
    std::vector<TokenId> fast, fromBytes, longWay, searched;
    brevix::bpe::encodePiece(vocab, piece, fast);
    brevix::bpe::encodePieceFromBytes(vocab, piece, fromBytes);
    brevix::bpe::encodeLongPiece(vocab, piece, longWay);
    if (!piece.empty() && !brevix::bpe::encodeByBacktracking(vocab, piece, searched)) {
        disagree("rank encoding by search", "no sequence found");
    }
    const auto reference = brevix::bpe::encodeByRankReference(vocab.byteIds(), merges, piece);
    if (fast != reference) disagree("rank encoding", describe(fast) + " vs " + describe(reference));
    if (fromBytes != reference) disagree("rank encoding from bytes", describe(fromBytes));
    if (longWay != reference) disagree("rank encoding of long pieces", describe(longWay));
    if (searched != reference) disagree("rank encoding by search", describe(searched));
    checkTextEncoding(vocab, piece);
    StringSink sink;
    sink.out.resize(brevix::bpe::decodeTokens(vocab, fast.data(), fast.size(), sink));
    if (sink.out != piece) disagree("decoding an encoding", sink.out);
}

// Eight vocabularies of random merges over a few letters (built once:
// decoding does not depend on how the merges were chosen, and building a
// vocabulary costs more than the check).
const brevix::bpe::Vocabulary& decodingVocabulary(std::uint8_t pick) {
    static const auto made = [] {
        std::vector<std::unique_ptr<brevix::bpe::Vocabulary>> all;
        for (std::uint8_t seed = 0; seed < 8; ++seed) {
            std::vector<std::uint8_t> bytes(64);
            for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(seed * 37 + i * 101);
            bytes[0] = static_cast<std::uint8_t>(seed * 3);
            Reader in(bytes.data(), bytes.size());
            all.push_back(std::make_unique<brevix::bpe::Vocabulary>(brevix::bpe::identityByteIds(),
                                                                    mergesFrom(in)));
        }
        return all;
    }();
    return *made[pick % made.size()];
}

void checkDecoding(Reader& in) {
    const brevix::bpe::Vocabulary& vocab = decodingVocabulary(in.byte());
    std::vector<TokenId> ids;
    std::string expected;
    for (std::string_view rest = in.rest(); rest.size() >= 2; rest.remove_prefix(2)) {
        const unsigned raw = static_cast<std::uint8_t>(rest[0]) | static_cast<std::uint8_t>(rest[1]) << 8;
        const TokenId id = static_cast<TokenId>(raw % vocab.size());
        ids.push_back(id);
        expected += vocab.bytes(id);
    }
    if (brevix::bpe::decodedLength(vocab, ids.data(), ids.size()) != expected.size()) {
        disagree("decoded length", std::to_string(expected.size()));
    }
    StringSink sink;
    sink.out.resize(brevix::bpe::decodeTokens(vocab, ids.data(), ids.size(), sink));
    if (sink.out != expected) disagree("decoding", describe(ids));
}

// ---- 3: low-level training --------------------------------------------------

std::vector<int> mergeList(const bytepairtokenizer::BytePairTokenizer& tok) {
    std::vector<int> out;
    for (int id = 256; id < tok.nextVocabIndex; ++id) {
        const auto& pair = tok.revVocab.at(id);
        out.insert(out.end(), {pair[0], pair[1], id});
    }
    return out;
}

void checkLowLevelTraining(Reader& in) {
    const int iterations = in.byte() % 40;
    // Signed bytes as the low-level class reads them, from a small alphabet
    // (more repeats, deeper merges) or all 256 values.
    const bool small = in.byte() & 1;
    const std::string_view rest = in.rest().substr(0, 1024);
    std::vector<int> corpus;
    for (char c : rest) corpus.push_back(small ? 'a' + static_cast<unsigned char>(c) % 3 : static_cast<signed char>(c));
    std::ostream quiet(nullptr);
    bytepairtokenizer::BytePairTokenizer fast, plain;
    std::vector<int> fastCorpus = corpus, plainCorpus = corpus;
    fast.fitWith(fastCorpus, 100000, iterations, quiet);
    plain.fitStraightforward(plainCorpus, 100000, iterations, quiet);
    if (mergeList(fast) != mergeList(plain)) {
        disagree("low-level training", describe(mergeList(fast)) + " vs " + describe(mergeList(plain)));
    }
    if (fastCorpus != plainCorpus) disagree("low-level training's corpus", describe(fastCorpus));
    const std::string text(rest.substr(0, 256));
    const auto encodedFast = fast.encodeWith(text, quiet, true);
    const auto encodedPlain = fast.encodeWith(text, quiet, false);
    if (encodedFast != encodedPlain) disagree("low-level encoding", describe(encodedFast));
    if (fast.decodeFast(encodedFast) != fast.decodeStraightforward(encodedFast)) {
        disagree("low-level decoding", describe(encodedFast));
    }
}

// ---- 4: piece training ------------------------------------------------------

void checkPieceTraining(Reader& in) {
    const std::size_t merges = in.byte() % 40;
    brevix::bpe::TrainingStart start;
    start.merges = mergesFrom(in);
    brevix::bpe::PieceTable table;
    // Pieces separated by 0xFF; each piece's count is its first byte.
    std::string_view rest = in.rest().substr(0, 512);
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\xff'), rest.size());
        std::string_view piece = rest.substr(0, end);
        rest.remove_prefix(end < rest.size() ? end + 1 : end);
        if (piece.empty()) continue;
        const std::uint64_t count = 1 + static_cast<std::uint8_t>(piece[0]) % 5;
        piece.remove_prefix(1);
        std::string folded(piece);
        for (char& c : folded) c = static_cast<char>('a' + static_cast<unsigned char>(c) % 4);
        table.add(folded, count);
    }
    brevix::bpe::TrainSettings settings;
    settings.merges = merges;
    const auto fast = brevix::bpe::trainPieces(table, start, settings).merges;
    const auto reference = brevix::bpe::trainPiecesReference(table, start, merges);
    auto flat = [](const std::vector<Merge>& ms) {
        std::vector<TokenId> out;
        for (const Merge& m : ms) out.insert(out.end(), {m.left, m.right, m.id});
        return out;
    };
    if (flat(fast) != flat(reference)) {
        disagree("piece training", describe(flat(fast)) + " vs " + describe(flat(reference)));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    Reader in(data, size);
    switch (in.byte() % 5) {
        case 0: checkSplit(in.rest().substr(0, 2048)); break;
        case 1: checkRankEncoding(in); break;
        case 2: checkDecoding(in); break;
        case 3: checkLowLevelTraining(in); break;
        default: checkPieceTraining(in); break;
    }
    return 0;
}
