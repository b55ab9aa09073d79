// The front: each public call dispatches to the engine that serves it. The
// algorithms themselves live in straightforward.cpp and the engines.
#include "exact/tokenizer.h"

#include <cstdint>
#include <cstring>
#include <iostream>
#include <ostream>
#include <utility>

#include "common/core_helpers.h"
#include "exact/expander.h"
#include "exact/merger.h"
#include "exact/straightforward.h"
#include "exact/trainer.h"

namespace bytepairtokenizer {

namespace {

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

// The widest id and its space: "-2147483648 ".
constexpr std::size_t kWidestId = 12;

// The echo of encode(): every id in decimal followed by a space, one
// newline, one flush. Built a block at a time, so its size is never
// computed from the number of ids (which could wrap on 32-bit builds).
void writeEcho(std::ostream& out, const std::vector<int>& ids) {
    char block[1 << 16];
    char* const last = block + sizeof block - kWidestId - 1;  // room for the newline
    char* p = block;
    for (int id : ids) {
        if (p > last) {
            out.write(block, static_cast<std::streamsize>(p - block));
            p = block;
        }
        p = writeIdAndSpace(p, id);
    }
    *p++ = '\n';
    out.write(block, static_cast<std::streamsize>(p - block));
    out.flush();
}

// Inputs much shorter than the table are merged through the index the
// tables keep: building a lookup for them would cost more than the merging.
void mergeCorpusPreferFast(std::vector<int>& corpus, const MergeTables& tables) {
    if (mergeThroughIndex(corpus.size(), tables.vocab.size())) {
        if (const TableIndex* index = tables.currentTableIndex()) {
            mergeCorpusIndexed(corpus, *index);
            return;
        }
    }
    if (inputMuchShorterThanTable(corpus.size(), tables.vocab.size())) {
        mergeCorpus(corpus, tables.vocab);
    } else {
        mergeCorpusFast(corpus, tables.vocab);
    }
}

// The index, when it can decode these ids exactly without building anything.
const TableIndex* indexForDecoding(const MergeTables& tables, std::size_t ids) {
    if (!decodeThroughIndex(ids, tables.revVocab.size())) return nullptr;
    const TableIndex* index = tables.currentTableIndex();
    return index != nullptr && index->decodesExactly() ? index : nullptr;
}

std::string decodeIndexed(const TableIndex& index, const std::vector<int>& ids) {
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

BytePairTokenizer::BytePairTokenizer() = default;

BytePairTokenizer::~BytePairTokenizer() = default;

void BytePairTokenizer::fit(std::vector<int>& corpus, int maxVocabSize, int nIter) {
    fitWith(corpus, maxVocabSize, nIter, std::cout);
}

void BytePairTokenizer::fitStraightforward(std::vector<int>& corpus, int maxVocabSize, int nIter,
                                           std::ostream& out,
                                           const std::function<bool()>& interrupted) {
    bytepairtokenizer::fitStraightforward(*this, corpus, maxVocabSize, nIter, out, interrupted);
}

void BytePairTokenizer::fitWith(std::vector<int>& corpus, int maxVocabSize, int nIter,
                                std::ostream& out, const std::function<bool()>& interrupted,
                                FinalCorpus final) {
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
    fitIncremental(*this, corpus, maxVocabSize, nIter, out, interrupted, {}, final);
}

std::vector<int> BytePairTokenizer::encode(std::string s) {
    return encodeWith(std::move(s), std::cout, true);
}

std::vector<int> BytePairTokenizer::encodeWith(std::string s, std::ostream& out, bool fast) {
    std::vector<int> encoded = baseTokens(s);
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

std::string BytePairTokenizer::decode(std::vector<int> encoded) {
    if (const TableIndex* index = indexForDecoding(*this, encoded.size())) {
        return decodeIndexed(*index, encoded);
    }
    // Building the expander's tables costs a pass over revVocab.
    if (inputMuchShorterThanTable(encoded.size(), revVocab.size())) {
        return decodeStraightforward(encoded);
    }
    return decodeFast(encoded);
}

std::size_t BytePairTokenizer::decodeInto(std::vector<int> encoded, ByteSink& sink) {
    const TableIndex* index = indexForDecoding(*this, encoded.size());
    if (index != nullptr || inputMuchShorterThanTable(encoded.size(), revVocab.size())) {
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
    if (inputMuchShorterThanTable(expectedIds, revVocab.size()) ||
        indexForDecoding(*this, expectedIds) != nullptr) {
        return false;
    }
    TokenExpander expander(revVocab);
    if (!expander.bounded()) return false;
    return expander.writeFrom(sink, source, expectedIds, written);
}

std::string BytePairTokenizer::decodeStraightforward(const std::vector<int>& encoded) {
    return bytepairtokenizer::decodeStraightforward(encoded, revVocab);
}

std::string BytePairTokenizer::decodeFast(const std::vector<int>& encoded) {
    std::string decoded;
    TokenExpander(revVocab).appendAll(decoded, encoded);
    return decoded;
}

}  // namespace bytepairtokenizer
