#include "encode/token_prefixes.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_map>

namespace brevix::bpe {

// Prefixes are told apart by the same hashes the lookups use, so building
// takes time linear in the tokens' bytes (a prefix compared as bytes would
// cost its length again). Where two hashes collide the entries only answer
// wrongly, which longest() detects; shorter() is checked here.
struct TokenPrefixes::Build {
    // What a prefix of three bytes or more knows: the longest token among
    // its own prefixes (itself included), and whether a longer token goes
    // on from it.
    struct PrefixInfo {
        TokenId best = -1;
        std::uint32_t next = 0;  // nextBit() of the bytes longer tokens have after it
    };
    TokenId largest = -1;
    std::vector<TokenId> twoBytes = std::vector<TokenId>(65536, -1);  // by first byte << 8 | second byte
    std::unordered_map<std::uint64_t, TokenId> longer;                // by the hash of all its bytes
    std::unordered_map<std::uint64_t, PrefixInfo> prefixes;           // by the hash of the prefix
};

TokenPrefixes::TokenPrefixes(const TokenArena& arena, const std::vector<TokenId>& tokens)
    : second_(65536, kMissing) {
    Build build;
    indexWholeTokens(arena, tokens, build);
    walkPrefixes(arena, tokens, build);
    keepShorterProper(arena, tokens);
    fillSlots(build);
    fillUnusedPairs();
}

// Each token by its bytes: one byte in first_, two in Build::twoBytes, more
// by the hash of all of them.
void TokenPrefixes::indexWholeTokens(const TokenArena& arena, const std::vector<TokenId>& tokens, Build& build) {
    for (std::size_t byte = 0; byte < 256; ++byte) first_[byte] = -1;
    for (const TokenId token : tokens) {
        if (static_cast<std::size_t>(token) >= kMostIds) throw std::length_error("too many tokens to index by prefix");
        build.largest = std::max(build.largest, token);
        const std::string_view bytes = arena.view(token);
        const auto* text = reinterpret_cast<const unsigned char*>(bytes.data());
        if (bytes.size() == 1) {
            first_[text[0]] = token;
        } else if (bytes.size() == 2) {
            build.twoBytes[static_cast<std::size_t>(text[0]) << 8 | text[1]] = token;
        } else {
            std::uint64_t hash = startHash(text);
            for (std::size_t i = 2; i < bytes.size(); ++i) hash = stepHash(hash, text[i]);
            build.longer.emplace(hash, token);
        }
    }
}

// Every prefix of every token, shortest first: its best token is the
// longest token among its prefixes, and each token's shorter() is the best
// token of its prefix one byte shorter.
void TokenPrefixes::walkPrefixes(const TokenArena& arena, const std::vector<TokenId>& tokens, Build& build) {
    shorter_.assign(static_cast<std::size_t>(build.largest + 1), -1);
    for (const TokenId token : tokens) {
        const std::string_view bytes = arena.view(token);
        if (bytes.size() < 2) continue;
        const auto* text = reinterpret_cast<const unsigned char*>(bytes.data());
        const std::size_t pair = static_cast<std::size_t>(text[0]) << 8 | text[1];
        TokenId best = first_[text[0]];
        shorter_[static_cast<std::size_t>(token)] = best;
        if (build.twoBytes[pair] >= 0) best = build.twoBytes[pair];
        const std::uint32_t next = (second_[pair] == kMissing ? 0u : second_[pair] & ~kTokenBits) |
                                   (bytes.size() > 2 ? nextBit(text[2]) : 0u);
        second_[pair] = static_cast<std::uint32_t>(best) | next;
        std::uint64_t hash = startHash(text);
        for (std::size_t i = 2; i < bytes.size(); ++i) {
            shorter_[static_cast<std::size_t>(token)] = best;
            hash = stepHash(hash, text[i]);
            const auto found = build.longer.find(hash);
            if (found != build.longer.end()) best = found->second;
            Build::PrefixInfo& info = build.prefixes[hash];
            info.best = best;
            if (i + 1 < bytes.size()) info.next |= nextBit(text[i + 1]);
        }
    }
}

// A collision could name a token that is not a proper prefix of the one it
// is shorter() of; the search relies on each being shorter, so such a one
// falls back to the token's first byte.
void TokenPrefixes::keepShorterProper(const TokenArena& arena, const std::vector<TokenId>& tokens) {
    for (const TokenId token : tokens) {
        TokenId& shorter = shorter_[static_cast<std::size_t>(token)];
        const std::string_view bytes = arena.view(token);
        if (shorter >= 0 && (arena.length(shorter) >= bytes.size() ||
                             arena.view(shorter) != bytes.substr(0, arena.length(shorter)))) {
            shorter = first_[static_cast<unsigned char>(bytes[0])];
        }
    }
}

// A quarter full: a walk mostly ends on a byte that goes on from no prefix,
// and that lookup probes to a free slot (4% faster than half full on an
// unsplit model).
void TokenPrefixes::fillSlots(const Build& build) {
    std::size_t capacity = 16;
    while (capacity < 4 * build.prefixes.size()) capacity *= 2;
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    shift_ = 64;
    for (std::size_t c = capacity; c > 1; c >>= 1) --shift_;
    for (const auto& [hash, info] : build.prefixes) {
        place(hash, static_cast<std::uint32_t>(info.best) | info.next);
    }
}

// Two bytes that begin no token: the first byte's token, nothing after.
void TokenPrefixes::fillUnusedPairs() {
    for (std::size_t pair = 0; pair < second_.size(); ++pair) {
        if (second_[pair] == kMissing) second_[pair] = static_cast<std::uint32_t>(first_[pair >> 8]);
    }
}

// Two prefixes whose hashes share a tag and a probe sequence would answer
// for each other; longest() checks its answer, so this only costs speed.
void TokenPrefixes::place(std::uint64_t hash, std::uint32_t entry) {
    std::size_t i = static_cast<std::size_t>(hash >> shift_);
    while (slots_[i].entry != kMissing) i = (i + 1) & mask_;
    slots_[i] = Slot{static_cast<std::uint32_t>(hash), entry};
}

}  // namespace brevix::bpe
