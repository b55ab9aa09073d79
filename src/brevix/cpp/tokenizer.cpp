// Straightforward algorithms of the core. They are the executable definition
// of behaviour: faster engines elsewhere must agree with them byte for byte.
#include "tokenizer.h"

#include "expander.h"
#include "merger.h"
#include "trainer.h"

#include <cstdint>
#include <cstring>
#include <iostream>
#include <ostream>
#include <stdexcept>
#include <unordered_set>
#include <utility>

namespace {

// Base token of a byte: the byte read as a signed 8-bit value.
inline int baseToken(char c) { return static_cast<int>(static_cast<signed char>(c)); }

// Byte of a base token: the low 8 bits of the id.
inline char tokenByte(int id) { return static_cast<char>(static_cast<std::uint32_t>(id) & 0xFFu); }

// (original - now) * 100 / original, truncated toward zero, in 64 bits so no
// corpus length can overflow it.
inline long long reductionPercent(int originalSize, int newSize) {
    return (static_cast<long long>(originalSize) - newSize) * 100 / originalSize;
}

// Writes `id` in decimal followed by a space at p; returns the end.
char* writeIdAndSpace(char* p, int id) {
    std::uint32_t magnitude = static_cast<std::uint32_t>(id);
    if (id < 0) {
        *p++ = '-';
        magnitude = 0u - magnitude;
    }
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (n > 0) *p++ = digits[--n];
    *p++ = ' ';
    return p;
}

// The echo of encode(): every id in decimal followed by a space, one
// newline, one flush; built in one buffer sized for the widest ids.
void writeEcho(std::ostream& out, const std::vector<int>& ids) {
    std::string echo(ids.size() * 12 + 1, '\0');
    char* p = &echo[0];
    for (int id : ids) p = writeIdAndSpace(p, id);
    *p++ = '\n';
    out.write(echo.data(), static_cast<std::streamsize>(p - echo.data()));
    out.flush();
}

// Inputs this much shorter than the table (plus the flat part of the fast
// lookup, 64K entries) are merged through the index the tokenizer keeps:
// building a lookup for them would cost more than the merging itself.
constexpr std::size_t kLookupBuildCost = 65536;

void mergeCorpusPreferFast(std::vector<int>& corpus, const bytepairtokenizer::BytePairTokenizer& tok) {
    if (corpus.size() * 4 < tok.vocab.size() + kLookupBuildCost) {
        if (const bytepairtokenizer::TableIndex* index = tok.currentTableIndex()) {
            bytepairtokenizer::mergeCorpusIndexed(corpus, *index);
            return;
        }
    }
    if (corpus.size() * 4 < tok.vocab.size()) {
        mergeCorpus(corpus, tok.vocab);
    } else {
        bytepairtokenizer::mergeCorpusFast(corpus, tok.vocab);
    }
}

// Fewer ids than twice the table's merges plus this many are decoded through
// the index: the expander's set-up (about 10 us plus 25 ns a merge) would
// cost more than the index's slower expansion (about 13 ns an id).
constexpr std::size_t kExpanderBuildCost = 1024;

// The index, when it can decode these ids exactly without building anything.
const bytepairtokenizer::TableIndex* indexForDecoding(const bytepairtokenizer::BytePairTokenizer& tok,
                                                      std::size_t ids) {
    if (ids >= 2 * tok.revVocab.size() + kExpanderBuildCost) return nullptr;
    const bytepairtokenizer::TableIndex* index = tok.currentTableIndex();
    return index != nullptr && index->decodesExactly() ? index : nullptr;
}

std::string decodeIndexed(const bytepairtokenizer::TableIndex& index, const std::vector<int>& ids) {
    std::uint64_t length = 0;
    for (int id : ids) length += index.expansionLength(id);  // below 2^31 each: no overflow
    std::string decoded;
    if (length > decoded.max_size()) throw std::length_error("decoded text too long");
    decoded.reserve(static_cast<std::size_t>(length));
    std::vector<int> stack;
    for (int id : ids) index.appendExpansion(decoded, id, stack);
    return decoded;
}

}  // namespace

DTYPE_BYTEPAIR_STATS bytePairStats(const std::vector<int>& corpus) {
    DTYPE_BYTEPAIR_STATS stats;
    const int sizeOfCorpus = static_cast<int>(corpus.size());
    for (int i = 0; i < sizeOfCorpus - 1; ++i) {
        ++stats[DTYPE_BYTEPAIR{corpus[i], corpus[i + 1]}];
    }
    return stats;
}

MostFreqPair getMaxFreqPair(DTYPE_BYTEPAIR_STATS stats) {
    // The first pair of maximal count in walk order wins; a later pair with
    // the same count never replaces it.
    MostFreqPair best{DTYPE_BYTEPAIR{-1, -1}, 0};
    for (const auto& entry : stats) {
        if (entry.second > best.freq) {
            best.freq = entry.second;
            best.pair = entry.first;
        }
    }
    return best;
}

void updateVocab(DTYPE_BYTEPAIR_VOCAB& vocab, DTYPE_BYTEPAIR_REV_VOCAB& revVocab,
                 const DTYPE_BYTEPAIR& pair, int& nextVocabIndex, int& vocabSize) {
    if (vocab.find(pair) != vocab.end()) return;
    vocab.emplace(pair, nextVocabIndex);
    revVocab.emplace(nextVocabIndex, pair);
    ++nextVocabIndex;
    ++vocabSize;
}

void mergeCorpus(std::vector<int>& corpus, const DTYPE_BYTEPAIR_VOCAB& vocab) {
    for (;;) {
        std::vector<int> newCorpus;
        newCorpus.reserve(corpus.size());
        const int sizeOfCorpus = static_cast<int>(corpus.size());
        bool changeFlag = false;
        int i = 0;
        while (i < sizeOfCorpus - 1) {
            auto it = vocab.find(DTYPE_BYTEPAIR{corpus[i], corpus[i + 1]});
            if (it != vocab.end()) {
                newCorpus.push_back(it->second);
                changeFlag = true;
                i += 2;
            } else {
                newCorpus.push_back(corpus[i]);
                i += 1;
            }
        }
        if (i == sizeOfCorpus - 1) newCorpus.push_back(corpus[i]);
        if (!changeFlag) return;
        corpus.swap(newCorpus);
    }
}

std::vector<std::string> splitString(std::string& str) {
    std::vector<std::string> vec;
    std::string tempString;
    for (char c : str) {
        if (c == ' ') {
            vec.push_back(tempString);
            tempString.clear();
        } else {
            tempString.push_back(c);
        }
    }
    vec.push_back(tempString);
    return vec;
}

namespace bytepairtokenizer {

BytePairTokenizer::BytePairTokenizer() : nextVocabIndex(256), vocabSize(256) {}

BytePairTokenizer::~BytePairTokenizer() = default;

int BytePairTokenizer::size() { return vocabSize; }

void BytePairTokenizer::fit(std::vector<int>& corpus, int maxVocabSize, int nIter) {
    fitWith(corpus, maxVocabSize, nIter, std::cout);
}

void BytePairTokenizer::fitStraightforward(std::vector<int>& corpus, int maxVocabSize, int nIter,
                                           std::ostream& out,
                                           const std::function<bool()>& interrupted) {
    const int originalSize = static_cast<int>(corpus.size());
    for (int i = 0; i < nIter; ++i) {
        if (interrupted && interrupted()) return;
        out << "Iteration " << i + 1 << std::endl;
        const MostFreqPair mostFreqPair = getMaxFreqPair(bytePairStats(corpus));
        out << "[" << mostFreqPair.pair[0] << " .. " << mostFreqPair.pair[1] << "] -> "
            << mostFreqPair.freq << std::endl;
        if (mostFreqPair.freq == 0) {
            out << "Nothing to Merge";  // no line end, no flush
            return;
        }
        updateVocab(vocab, revVocab, mostFreqPair.pair, nextVocabIndex, vocabSize);
        out << size() << std::endl;
        // The merge just recorded stays in the tables but is not applied.
        if (size() >= maxVocabSize) return;
        mergeCorpus(corpus, vocab);
        const int newSize = static_cast<int>(corpus.size());
        out << newSize << " " << originalSize << " " << reductionPercent(originalSize, newSize)
            << "%" << std::endl;
    }
}

void BytePairTokenizer::fitWith(std::vector<int>& corpus, int maxVocabSize, int nIter,
                                std::ostream& out, const std::function<bool()>& interrupted) {
    // The incremental engine's set-up costs about 1.5 plain iterations on a
    // small corpus (measured from 33 to 1,000 ids): a few ids, or a single
    // iteration on a short corpus, are trained faster by the plain algorithm.
    const bool plain = corpus.size() <= kPlainTrainingMaxCorpus ||
                       (nIter <= 1 && corpus.size() <= kPlainSingleIterationMaxCorpus);
    if (plain) {
        fitStraightforward(corpus, maxVocabSize, nIter, out, interrupted);
        refreshTableIndex();
        return;
    }
    fitIncremental(*this, corpus, maxVocabSize, nIter, out, interrupted);
}

void BytePairTokenizer::applyMerges(std::vector<int>& corpus) const {
    const TableIndex* index = corpus.size() * 4 < vocab.size() + kLookupBuildCost
                                  ? currentTableIndex()
                                  : nullptr;
    if (index != nullptr) {
        mergeCorpusIndexed(corpus, *index);
    } else {
        mergeCorpus(corpus, vocab);
    }
}

std::vector<int> BytePairTokenizer::encode(std::string s) {
    return encodeWith(std::move(s), std::cout, true);
}

std::vector<int> BytePairTokenizer::encodeWith(std::string s, std::ostream& out, bool fast) {
    std::vector<int> encoded;
    encoded.reserve(s.size());
    for (char c : s) encoded.push_back(baseToken(c));
    if (fast) {
        mergeCorpusPreferFast(encoded, *this);
    } else {
        mergeCorpus(encoded, vocab);
    }
    writeEcho(out, encoded);
    return encoded;
}

std::vector<int> BytePairTokenizer::encodeCorpus(std::vector<int>& corpus) {
    mergeCorpusPreferFast(corpus, *this);
    return corpus;
}

namespace {

// Appends the bytes of `token` to `out` without recursion. `onPath` holds the
// merged ids whose expansion is in progress; meeting one again means the
// table leads an id back to itself, which would never end.
void expandInto(std::string& out, int token, const DTYPE_BYTEPAIR_REV_VOCAB& revVocab) {
    struct Frame {
        int id;
        DTYPE_BYTEPAIR pair;
        int next;  // index of the element to expand next (0, 1, or 2 = done)
    };
    if (token <= 255) {
        out.push_back(tokenByte(token));
        return;
    }
    std::vector<Frame> stack;
    std::unordered_set<int> onPath;
    auto push = [&](int id) {
        auto it = revVocab.find(id);
        const DTYPE_BYTEPAIR pair = it == revVocab.end() ? DTYPE_BYTEPAIR{0, 0} : it->second;
        if (!onPath.insert(id).second) {
            throw std::invalid_argument("cannot decode token id " + std::to_string(id) +
                                        ": its expansion leads back to itself");
        }
        stack.push_back(Frame{id, pair, 0});
    };
    push(token);
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == 2) {
            onPath.erase(top.id);
            stack.pop_back();
            continue;
        }
        const int child = top.pair[top.next++];
        if (child <= 255) {
            out.push_back(tokenByte(child));
        } else {
            push(child);
        }
    }
}

}  // namespace

std::string _decodeRecursive(int token, DTYPE_BYTEPAIR_REV_VOCAB& revVocab) {
    std::string out;
    expandInto(out, token, revVocab);
    return out;
}

std::string BytePairTokenizer::decode(std::vector<int> encoded) {
    if (const TableIndex* index = indexForDecoding(*this, encoded.size())) {
        return decodeIndexed(*index, encoded);
    }
    // Building the expander's tables costs a pass over revVocab; for a
    // handful of ids the plain expansion is cheaper.
    if (encoded.size() * 4 < revVocab.size()) return decodeStraightforward(encoded);
    return decodeFast(encoded);
}

std::size_t BytePairTokenizer::decodeInto(std::vector<int> encoded, ByteSink& sink) {
    const TableIndex* index = indexForDecoding(*this, encoded.size());
    if (index != nullptr || encoded.size() * 4 < revVocab.size()) {
        const std::string decoded =
            index != nullptr ? decodeIndexed(*index, encoded) : decodeStraightforward(encoded);
        char* out = sink.reserve(0, decoded.size());
        if (!decoded.empty()) std::memcpy(out, decoded.data(), decoded.size());
        return decoded.size();
    }
    return TokenExpander(revVocab).writeAll(sink, encoded);
}

bool BytePairTokenizer::decodeStreamed(IdSource& source, std::size_t expectedIds, ByteSink& sink,
                                       std::size_t& written) {
    if (expectedIds * 4 < revVocab.size() || indexForDecoding(*this, expectedIds) != nullptr) {
        return false;
    }
    TokenExpander expander(revVocab);
    if (!expander.bounded()) return false;
    return expander.writeFrom(sink, source, expectedIds, written);
}

std::string BytePairTokenizer::decodeStraightforward(const std::vector<int>& encoded) {
    std::string decoded;
    for (int id : encoded) expandInto(decoded, id, revVocab);
    return decoded;
}

std::string BytePairTokenizer::decodeFast(const std::vector<int>& encoded) {
    std::string decoded;
    TokenExpander(revVocab).appendAll(decoded, encoded);
    return decoded;
}

void BytePairTokenizer::refreshTableIndex() noexcept {
    tableIndex_.refresh(vocab, revVocab, nextVocabIndex);
}

void BytePairTokenizer::rebuildTableIndex() noexcept {
    tableIndex_.rebuild(vocab, revVocab, nextVocabIndex);
}

const TableIndex* BytePairTokenizer::currentTableIndex() const {
    return tableIndex_.current(vocab, revVocab, nextVocabIndex) ? &tableIndex_ : nullptr;
}

}  // namespace bytepairtokenizer
