// The tokens of a vocabulary that encode to themselves, indexed by every
// prefix of their bytes: the longest such token a text begins with, and for
// every token the longest such token its bytes begin with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "encode/token_arena.h"
#include "encode/token_types.h"

namespace brevix::bpe {

// Performance notes: a walk down a trie waits for each node before it can
// look up the next byte, and the search for an encoding walks once a token.
// Here every prefix from three bytes on is looked up by a hash of its
// bytes, which the walk computes without any lookup, so the lookups of one
// walk overlap; the first two bytes index a dense table (256 KB). A prefix
// says whether any longer token goes on from it, so most walks stop without
// a lookup that misses. Hashes can collide: an answer is always a token the
// text begins with, checked against it, but a collision can make it a
// shorter one than the longest, or leave it unknown.
class TokenPrefixes {
public:
    // Ids of up to this many tokens are indexed.
    static constexpr std::size_t kMostIds = 0xFFFF;

    // `tokens`: every token to index (each byte value among them), with
    // `arena` holding the bytes of every id. Throws std::length_error for
    // an id of kMostIds or more.
    TokenPrefixes(const TokenArena& arena, const std::vector<TokenId>& tokens);

    // The longest indexed token that `text` (at least one byte) begins
    // with (see above for collisions: -1 when unknown). `arena` is the one
    // given to the constructor.
    TokenId longest(const TokenArena& arena, const unsigned char* text, std::size_t size) const {
        if (size < 2) return first_[text[0]];
        std::uint32_t best = second_[static_cast<std::size_t>(text[0]) << 8 | text[1]];
        bool hashed = false;
        std::uint64_t hash = startHash(text);
        for (std::size_t i = 2; i < size && goesOnWith(best, text[i]); ++i) {
            hash = stepHash(hash, text[i]);
            const std::uint32_t found = find(hash);
            if (found == kMissing) break;
            best = found;
            hashed = true;
        }
        const auto token = static_cast<TokenId>(best & kTokenBits);
        if (hashed && !startsWith(arena, text, size, token)) return -1;
        return token;
    }

    // The longest indexed token that is a proper prefix of the bytes of
    // token `id` (an indexed token; see above for collisions), or -1 for a
    // one-byte token.
    TokenId shorter(TokenId id) const { return shorter_[static_cast<std::size_t>(id)]; }

private:
    // An entry: the longest token among the prefix's own prefixes (the low
    // 16 bits), and which bytes a longer indexed token has after the prefix,
    // by kByteBucket (the high 16 bits, a bit for each bucket): most walks
    // end on a byte no token goes on with, without the lookup that misses.
    static constexpr std::uint32_t kTokenBits = 0xFFFF;
    static constexpr unsigned kNextShift = 16;
    static constexpr std::uint32_t kMissing = UINT32_MAX;
    static unsigned byteBucket(unsigned char byte) { return (byte ^ (byte >> 4)) & 15u; }
    static std::uint32_t nextBit(unsigned char byte) { return std::uint32_t{1} << (kNextShift + byteBucket(byte)); }
    static bool goesOnWith(std::uint32_t entry, unsigned char byte) { return (entry & nextBit(byte)) != 0; }
    struct Slot {
        std::uint32_t tag = 0;
        std::uint32_t entry = kMissing;
    };

    // Each step is a bijection of the hash for a given byte, and a byte
    // enters as 256 + byte: with a zero byte mixed in as zero, every run of
    // zero bytes hashed to 0.
    static std::uint64_t startHash(const unsigned char* text) {
        return ((static_cast<std::uint64_t>(text[0]) << 8 | text[1]) + 0x10000) * 0x9E3779B97F4A7C15ull;
    }
    static std::uint64_t stepHash(std::uint64_t hash, unsigned char byte) {
        return (hash ^ (hash >> 29) ^ (0x100u + byte)) * 0xBF58476D1CE4E5B9ull;
    }
    std::uint32_t find(std::uint64_t hash) const {
        const auto tag = static_cast<std::uint32_t>(hash);
        for (std::size_t i = static_cast<std::size_t>(hash >> shift_);; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (slot.tag == tag) return slot.entry;
            if (slot.entry == kMissing) return kMissing;
        }
    }
    static bool startsWith(const TokenArena& arena, const unsigned char* text, std::size_t size, TokenId token) {
        const std::string_view bytes = arena.view(token);
        return bytes.size() <= size && std::memcmp(bytes.data(), text, bytes.size()) == 0;
    }
    // The steps of building, in order; `Build` holds what they pass on.
    struct Build;
    void indexWholeTokens(const TokenArena& arena, const std::vector<TokenId>& tokens, Build& build);
    void walkPrefixes(const TokenArena& arena, const std::vector<TokenId>& tokens, Build& build);
    void keepShorterProper(const TokenArena& arena, const std::vector<TokenId>& tokens);
    void fillSlots(const Build& build);
    void fillUnusedPairs();
    void place(std::uint64_t hash, std::uint32_t entry);

    TokenId first_[256] = {};
    std::vector<std::uint32_t> second_;  // by first byte << 8 | second byte: an entry
    std::vector<Slot> slots_;            // prefixes of three bytes or more
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
    std::vector<TokenId> shorter_;       // by id
};

}  // namespace brevix::bpe
