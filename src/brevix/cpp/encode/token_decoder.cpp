// Performance notes: one pass checks the ids and sums their lengths from the
// offsets, the second copies. Tokens of up to kPadding bytes (nearly all)
// are copied as one fixed 16-byte block, which the arena's padding and the
// room asked for make safe; the copy's overrun is overwritten by the next
// token or is slack.
#include "encode/token_decoder.h"

#include <algorithm>
#include <cstdint>
#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>

namespace brevix::bpe {

static_assert(std::is_same<TokenId, int>::value, "IdSource hands over ids as int");

BadTokenId::BadTokenId(std::size_t index, long long id, std::size_t vocabSize)
    : std::invalid_argument("unknown token id " + std::to_string(id) + " at position " +
                            std::to_string(index) + " (the vocabulary has " +
                            std::to_string(vocabSize) + " ids)"),
      index_(index),
      id_(id) {}

namespace {

// Out of line, so that the decoding loops keep their registers.
[[noreturn, gnu::noinline, gnu::cold]] void throwBadTokenId(std::size_t index, long long id, std::size_t vocabSize) {
    throw BadTokenId(index, id, vocabSize);
}

}  // namespace

std::size_t decodedLength(const Vocabulary& vocab, const TokenId* ids, std::size_t count) {
    const std::uint32_t* offsets = vocab.arena().offsets();
    const auto size = static_cast<std::uint32_t>(vocab.size());
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const auto id = static_cast<std::uint32_t>(ids[i]);
        if (id >= size) throwBadTokenId(i, ids[i], vocab.size());
        const std::uint32_t length = offsets[id + 1] - offsets[id];
        // Every token has bytes; only ids no token takes (gaps between
        // special tokens) have none.
        if (length == 0) throwBadTokenId(i, ids[i], vocab.size());
        total += length;
    }
    if (total > SIZE_MAX - TokenArena::kPadding) throw std::length_error("decoded bytes do not fit in memory");
    return static_cast<std::size_t>(total);
}

namespace {

// Copies the bytes of ids (all checked) to `out`, which has room for their
// length plus TokenArena::kPadding; returns the end of what was written.
char* copyTokens(const Vocabulary& vocab, const TokenId* ids, std::size_t count, char* out) {
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
    return out;
}

// Ids asked of an IdSource at a time.
constexpr std::size_t kBlock = 4096;
}  // namespace

std::size_t guessedRoom(std::size_t ids) {
    constexpr std::size_t kGuessPerId = 4;
    constexpr std::size_t kLargeGuess = std::size_t{1} << 30;
    const std::size_t guess = ids < kLargeGuess / kGuessPerId ? ids * kGuessPerId : std::max(ids, kLargeGuess);
    constexpr auto kMost = static_cast<std::size_t>(PTRDIFF_MAX) - TokenArena::kPadding;
    return std::min(guess, kMost) + TokenArena::kPadding;
}

DecodedPart decodeWhileRoom(const Vocabulary& vocab, const TokenId* ids, std::size_t count, char* out,
                            std::size_t room) {
    const char* bytes = vocab.arena().data();
    const std::uint32_t* offsets = vocab.arena().offsets();
    const auto size = static_cast<std::uint32_t>(vocab.size());
    std::size_t used = 0;
    std::size_t i = 0;
    for (; i < count; ++i) {
        const auto id = static_cast<std::uint32_t>(ids[i]);
        if (id >= size) throwBadTokenId(i, ids[i], vocab.size());
        const std::uint32_t begin = offsets[id];
        const std::uint32_t tokenLength = offsets[id + 1] - begin;
        if (tokenLength == 0) throwBadTokenId(i, ids[i], vocab.size());
        // A padded copy where the room allows it, exact near the end.
        if (tokenLength <= TokenArena::kPadding && room - used >= TokenArena::kPadding) {
            std::memcpy(out + used, bytes + begin, TokenArena::kPadding);
        } else if (tokenLength <= room - used) {
            std::memcpy(out + used, bytes + begin, tokenLength);
        } else {
            break;
        }
        used += tokenLength;
    }
    return {i, used};
}

std::size_t decodeChecked(const Vocabulary& vocab, const TokenId* ids, std::size_t count, char* out,
                          std::size_t room) {
    const DecodedPart part = decodeWhileRoom(vocab, ids, count, out, room);
    return part.ids == count ? part.bytes : kDoesNotFit;
}

std::size_t decodeTokens(const Vocabulary& vocab, const TokenId* ids, std::size_t count,
                         bytepairtokenizer::ByteSink& sink) {
    const std::size_t total = decodedLength(vocab, ids, count);
    copyTokens(vocab, ids, count, sink.reserve(0, total + TokenArena::kPadding));
    return total;
}

bool decodeFrom(const Vocabulary& vocab, bytepairtokenizer::IdSource& source, std::size_t expectedIds,
                bytepairtokenizer::ByteSink& sink, std::size_t& written) {
    std::size_t capacity = guessedRoom(expectedIds);
    char* start = sink.reserve(0, capacity);
    std::size_t used = 0, read = 0;
    TokenId block[kBlock];
    for (;;) {
        const std::size_t n = source.next(block, kBlock);
        if (n == bytepairtokenizer::IdSource::kGaveUp) return false;
        if (n == 0) break;
        if (n > kBlock) throw std::logic_error("id source overfilled its block");
        std::size_t length = 0;
        try {
            length = decodedLength(vocab, block, n);
        } catch (const BadTokenId& bad) {
            throw BadTokenId(read + bad.index(), bad.id(), vocab.size());
        }
        if (used + length + TokenArena::kPadding > capacity) {
            capacity = std::max(capacity * 2, used + length + TokenArena::kPadding);
            start = sink.reserve(used, capacity);
        }
        used = static_cast<std::size_t>(copyTokens(vocab, block, n, start + used) - start);
        read += n;
    }
    written = used;
    return true;
}

}  // namespace brevix::bpe
