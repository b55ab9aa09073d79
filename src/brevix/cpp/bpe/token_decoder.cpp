// Performance notes: one pass checks the ids and sums their lengths from the
// offsets, the second copies. Tokens of up to kPadding bytes (nearly all)
// are copied as one fixed 16-byte block, which the arena's padding and the
// room asked for make safe; the copy's overrun is overwritten by the next
// token or is slack.
#include "bpe/token_decoder.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace brevix::bpe {

BadTokenId::BadTokenId(std::size_t index, long long id, std::size_t vocabSize)
    : std::invalid_argument("token id " + std::to_string(id) + " at index " + std::to_string(index) +
                            " is outside 0.." + std::to_string(static_cast<long long>(vocabSize) - 1)),
      index_(index),
      id_(id) {}

std::size_t decodedLength(const Vocabulary& vocab, const TokenId* ids, std::size_t count) {
    const std::uint32_t* offsets = vocab.arena().offsets();
    const auto size = static_cast<std::uint32_t>(vocab.size());
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const auto id = static_cast<std::uint32_t>(ids[i]);
        if (id >= size) throw BadTokenId(i, ids[i], vocab.size());
        total += offsets[id + 1] - offsets[id];
    }
    if (total > SIZE_MAX - TokenArena::kPadding) throw std::length_error("decoded bytes do not fit in memory");
    return static_cast<std::size_t>(total);
}

std::size_t decodeTokens(const Vocabulary& vocab, const TokenId* ids, std::size_t count,
                         bytepairtokenizer::ByteSink& sink) {
    const std::size_t total = decodedLength(vocab, ids, count);
    char* out = sink.reserve(0, total + TokenArena::kPadding);
    const char* bytes = vocab.arena().data();
    const std::uint32_t* offsets = vocab.arena().offsets();
    for (std::size_t i = 0; i < count; ++i) {
        const auto id = static_cast<std::uint32_t>(ids[i]);
        const std::uint32_t begin = offsets[id];
        const std::uint32_t length = offsets[id + 1] - begin;
        if (length <= TokenArena::kPadding) {
            std::memcpy(out, bytes + begin, TokenArena::kPadding);
        } else {
            std::memcpy(out, bytes + begin, length);
        }
        out += length;
    }
    return total;
}

}  // namespace brevix::bpe
