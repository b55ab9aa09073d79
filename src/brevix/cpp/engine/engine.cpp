#include "engine/engine.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <cstring>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "encode/describe_bytes.h"
#include "encode/tiktoken_ranks.h"
#include "pieces/training_start.h"
#include "encode/token_decoder.h"
#include "exact/byte_training.h"
#include "text/make_splitter.h"
#include "exact/straightforward.h"
#include "exact/tokenizer.h"

namespace brevix {

namespace {

std::string describeMerge(std::size_t index, const MergeTriple& m) {
    return "merge " + std::to_string(index) + " (" + std::to_string(m[0]) + ", " +
           std::to_string(m[1]) + ", " + std::to_string(m[2]) + ")";
}

// The low-level trainer's lowest id: byte 0x80 as a signed 8-bit number.
constexpr int kLowestSignedByte = -128;

// The number of leading merges of `learned` (ids following those of
// `vocabulary`, in order) whose bytes no normal token before them has; when
// that is not all of them, `repeat` names the first that repeats a token.
std::size_t distinctPrefix(const bpe::Vocabulary& vocabulary,
                           const std::vector<bpe::Merge>& learned, std::string& repeat) {
    std::vector<std::string> learnedBytes;
    std::unordered_map<std::string, int> learnedIds;
    const int firstLearned = learned.empty() ? 0 : learned.front().id;
    auto bytesOf = [&](int id) -> std::string {
        return id < firstLearned ? std::string(vocabulary.bytes(id))
                                 : learnedBytes[static_cast<std::size_t>(id - firstLearned)];
    };
    for (const bpe::Merge& m : learned) {
        std::string bytes = bytesOf(m.left) + bytesOf(m.right);
        std::optional<int> other = vocabulary.tokenId(bytes);
        if (other && vocabulary.kind(*other) == bpe::Vocabulary::Kind::Special) other.reset();
        if (const auto found = learnedIds.find(bytes); found != learnedIds.end()) other = found->second;
        if (other) {
            repeat = "merge (" + std::to_string(m.left) + ", " + std::to_string(m.right) + " -> " +
                     std::to_string(m.id) + "), which gives the bytes " + bpe::describeBytes(bytes) +
                     " of token " + std::to_string(*other) + " a second id";
            return learnedBytes.size();
        }
        learnedIds.emplace(bytes, m.id);
        learnedBytes.push_back(std::move(bytes));
    }
    return learned.size();
}

}  // namespace

void recordCheckedMerges(const std::vector<MergeTriple>& merges,
                         bytepairtokenizer::BytePairTokenizer& fresh) {
    if (merges.size() > static_cast<std::size_t>(INT32_MAX - kFirstMergeId)) {
        throw std::invalid_argument("too many merges for 32-bit token ids");
    }
    fresh.vocab.reserve(merges.size());
    fresh.revVocab.reserve(merges.size());
    for (std::size_t i = 0; i < merges.size(); ++i) {
        const MergeTriple& m = merges[i];
        const int id = kFirstMergeId + static_cast<int>(i);
        if (m[2] != id) {
            throw std::invalid_argument(describeMerge(i, m) + ": id should be " +
                                        std::to_string(id));
        }
        for (int part : {m[0], m[1]}) {
            if (part < kLowestSignedByte || part >= id) {
                throw std::invalid_argument(describeMerge(i, m) + ": part " +
                                            std::to_string(part) + " is not a byte or an earlier merge");
            }
        }
        // The core skips a pair it already knows, leaving the next id as it was.
        updateVocab(fresh.vocab, fresh.revVocab, DTYPE_BYTEPAIR{m[0], m[1]}, fresh.nextVocabIndex,
                    fresh.vocabSize);
        if (fresh.nextVocabIndex != id + 1) {
            throw std::invalid_argument(describeMerge(i, m) + ": the pair is merged twice");
        }
    }
}

namespace {

// Marks the calling thread as the one training for the length of a scope.
class TrainingThreadMark {
public:
    explicit TrainingThreadMark(std::atomic<std::thread::id>& slot) : slot_(slot) {
        slot_.store(std::this_thread::get_id());
    }
    ~TrainingThreadMark() { slot_.store(std::thread::id()); }
    TrainingThreadMark(const TrainingThreadMark&) = delete;
    TrainingThreadMark& operator=(const TrainingThreadMark&) = delete;

private:
    std::atomic<std::thread::id>& slot_;
};

}  // namespace

std::shared_ptr<const text::Splitter> splitterFor(const std::optional<std::string>& pattern) {
    if (!pattern) return text::makeWholeSplitter();
    try {
        return text::makeSplitter(*pattern);
    } catch (const text::PatternError& e) {
        throw std::invalid_argument("invalid pattern at position " + std::to_string(e.position()) +
                                    ": " + e.what());
    }
}

namespace {

// The low-level trainer's id of a standard id below 256: the byte it stands
// for, read as a signed 8-bit number.
int signedByteId(const bpe::ByteIds& byteIds, std::vector<int>& byteOf, int id) {
    if (byteOf.empty()) {
        byteOf.assign(256, 0);
        for (int b = 0; b < 256; ++b) byteOf[static_cast<std::size_t>(byteIds[static_cast<std::size_t>(b)])] = b;
    }
    return static_cast<signed char>(byteOf[static_cast<std::size_t>(id)]);
}

}  // namespace

RefusedSpecialToken::RefusedSpecialToken(const std::string& token)
    : std::invalid_argument("text spells the special token '" + token +
                            "', which this call does not allow: pass it in allowed_special to "
                            "encode it as that token, or disallowed_special=() to encode it as "
                            "ordinary text") {}

CoreEngine::CoreEngine() {
    auto vocabulary = std::make_shared<const bpe::Vocabulary>(bpe::identityByteIds(), std::vector<bpe::Merge>{});
    encoder_ = std::make_shared<const bpe::TextEncoder>(vocabulary, splitterFor(std::nullopt));
}

CoreEngine::~CoreEngine() = default;

std::vector<MergeTriple> CoreEngine::merges() const {
    std::vector<MergeTriple> out;
    out.reserve(vocabulary().merges().size());
    for (const bpe::Merge& m : vocabulary().merges()) out.push_back(MergeTriple{m.left, m.right, m.id});
    return out;
}

void CoreEngine::setModel(const bpe::ByteIds& byteIds, std::vector<bpe::Merge> merges,
                          std::vector<bpe::SpecialToken> specials,
                          std::optional<std::string> pattern) {
    auto splitter = splitterFor(pattern);
    auto vocabulary = std::make_shared<const bpe::Vocabulary>(
        byteIds, std::move(merges), bpe::SpecialTokens(std::move(specials)));
    auto encoder = std::make_shared<const bpe::TextEncoder>(std::move(vocabulary), std::move(splitter));
    encoder_ = std::move(encoder);
    pattern_ = std::move(pattern);
    modelVersion_.fetch_add(1, std::memory_order_release);
}

void CoreEngine::appendMerges(const std::vector<bpe::Merge>& learned) {
    if (learned.empty()) return;
    std::vector<bpe::Merge> merges = vocabulary().merges();
    merges.insert(merges.end(), learned.begin(), learned.end());
    setModel(byteIds(), std::move(merges), vocabulary().specials().tokens(), pattern_);
}


std::string CoreEngine::train(const unsigned char* data, std::size_t size, int regularSize,
                              std::ostream& out, const std::function<bool()>& interrupted) {
    TrainingThreadMark mark(trainingThread_);
    std::vector<bpe::Merge> learned;
    std::exception_ptr error;
    // The trainer's own tables: the merges so far with bytes as signed ids.
    bytepairtokenizer::BytePairTokenizer low;
    std::vector<int> byteOf;
    std::vector<MergeTriple> signedMerges;
    for (const bpe::Merge& m : vocabulary().merges()) {
        auto part = [&](int id) { return id < 256 ? signedByteId(byteIds(), byteOf, id) : id; };
        signedMerges.push_back(MergeTriple{part(m.left), part(m.right), m.id});
    }
    recordCheckedMerges(signedMerges, low);
    low.rebuildTableIndex();
    const int before = low.nextVocabIndex;
    trainingDone_.store(0);
    const std::function<bool()> poll = [&] {
        trainingDone_.store(low.nextVocabIndex - before);
        return interrupted();
    };
    try {
        bytepairtokenizer::fitOnBytes(low, data, size, regularSize, INT32_MAX, out, poll);
    } catch (...) {
        error = std::current_exception();
    }
    for (int id = before; id < low.nextVocabIndex; ++id) {
        const DTYPE_BYTEPAIR& pair = low.revVocab.at(id);
        auto part = [&](int p) { return p < 256 ? byteIds()[static_cast<unsigned char>(p)] : p; };
        learned.push_back(bpe::Merge{part(pair[0]), part(pair[1]), id});
    }
    std::string repeat;
    learned.resize(distinctPrefix(vocabulary(), learned, repeat));
    // The trainer polls before each merge, so the last one is counted here.
    trainingDone_.store(static_cast<int>(learned.size()));
    appendMerges(learned);
    if (error) std::rethrow_exception(error);
    return repeat;
}

namespace {

bpe::SpecialMatcher matcherFor(const bpe::SpecialTokens& specials,
                               const std::vector<std::size_t>& chosen) {
    return chosen.empty() ? bpe::SpecialMatcher() : bpe::SpecialMatcher(specials, chosen);
}

}  // namespace

namespace {

// Throws RefusedSpecialToken when `text` spells a special token `refused` lists.
void refuseSpecials(const bpe::SpecialTokens& specials, const std::vector<std::size_t>& refused,
                    std::string_view text) {
    if (refused.empty()) return;
    const auto found = matcherFor(specials, refused).find(text, 0);
    if (found) throw RefusedSpecialToken(specials[found->token].bytes);
}

}  // namespace

void CoreEngine::encodeInto(const char* data, std::size_t size, const SpecialPolicy& policy,
                            std::vector<int>& ids, std::size_t maxIds) const {
    ids.clear();
    const std::string_view text(data, size);
    const bpe::SpecialTokens& specials = vocabulary().specials();
    refuseSpecials(specials, policy.refused, text);
    const bpe::SpecialMatcher allowed = matcherFor(specials, policy.allowed);
    if (maxIds != SIZE_MAX) {
        encoder_->encodePrefix(text, allowed, maxIds, ids);
    } else {
        encoder_->encode(text, allowed, ids);
    }
}

std::size_t CoreEngine::count(const char* data, std::size_t size, const SpecialPolicy& policy) const {
    const std::string_view text(data, size);
    const bpe::SpecialTokens& specials = vocabulary().specials();
    refuseSpecials(specials, policy.refused, text);
    return encoder_->count(text, matcherFor(specials, policy.allowed));
}

std::vector<std::size_t> CoreEngine::tokenStarts(const std::vector<int>& ids) const {
    std::vector<std::size_t> starts;
    starts.reserve(ids.size());
    std::size_t at = 0;
    for (int id : ids) {
        starts.push_back(at);
        at += vocabulary().bytes(id).size();
    }
    return starts;
}

bool CoreEngine::idInUse(long long id) const {
    if (id < 0 || id >= static_cast<long long>(vocabulary().size())) return false;
    return vocabulary().kind(static_cast<bpe::TokenId>(id)) != bpe::Vocabulary::Kind::Unused;
}

bool CoreEngine::idsInRange(const int* ids, std::size_t n, std::size_t& firstBad) const {
    for (std::size_t i = 0; i < n; ++i) {
        if (!idInUse(ids[i])) {
            firstBad = i;
            return false;
        }
    }
    return true;
}

std::size_t CoreEngine::decodeInto(const std::vector<int>& ids,
                                   bytepairtokenizer::ByteSink& sink) const {
    return bpe::decodeTokens(vocabulary(), ids.data(), ids.size(), sink);
}

namespace {

class StringSink final : public bytepairtokenizer::ByteSink {
public:
    explicit StringSink(std::string& out) : out_(out) {}
    char* reserve(std::size_t, std::size_t capacity) override {
        out_.resize(capacity);
        return out_.data();
    }

private:
    std::string& out_;
};

}  // namespace

std::string CoreEngine::decode(const std::vector<int>& ids) const {
    std::string out;
    StringSink sink(out);
    out.resize(decodeInto(ids, sink));
    return out;
}

bool CoreEngine::decodeFrom(bytepairtokenizer::IdSource& source, std::size_t expectedIds,
                            bytepairtokenizer::ByteSink& sink, std::size_t& written) const {
    return bpe::decodeFrom(vocabulary(), source, expectedIds, sink, written);
}

std::optional<int> CoreEngine::tokenId(std::string_view bytes) const {
    const auto id = vocabulary().tokenId(bytes);
    if (!id) return std::nullopt;
    return static_cast<int>(*id);
}

std::optional<int> CoreEngine::tiktokenConflict() const {
    const auto id = bpe::firstTiktokenIncompatible(vocabulary());
    if (!id) return std::nullopt;
    return static_cast<int>(*id);
}

MallocSink::~MallocSink() { std::free(data_); }

char* MallocSink::reserve(std::size_t, std::size_t capacity) {
    void* grown = std::realloc(data_, std::max<std::size_t>(capacity, 1));
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(grown);
    return data_;
}

}  // namespace brevix
