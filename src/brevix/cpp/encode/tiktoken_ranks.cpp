// Performance notes: each token is split with the byte-rank rule on its own
// bytes, as tiktoken splits a short piece (ranks of the adjacent pairs'
// concatenations in an array, a scan for the lowest), with lookups of
// substrings in a BytesIndex over an arena of all tokens; o200k's 200,000
// tokens take a few lookups each.
#include "encode/tiktoken_ranks.h"

#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "encode/bytes_index.h"
#include "encode/describe_bytes.h"
#include "encode/token_arena.h"

namespace brevix::bpe {

namespace {

constexpr std::uint32_t kNoRank = UINT32_MAX;

// Byte-string ranks below a limit, over an arena and its index.
class RankLookup {
public:
    RankLookup(const TokenArena& arena, const BytesIndex& index) : arena_(arena), index_(index) {}

    // The rank of `bytes` when it is below `limit`, else kNoRank.
    std::uint32_t below(std::string_view bytes, std::uint32_t limit) const {
        bool flag = false;
        const TokenId id = index_.find(arena_, bytes, flag);
        return id >= 0 && static_cast<std::uint32_t>(id) < limit ? static_cast<std::uint32_t>(id) : kNoRank;
    }

private:
    const TokenArena& arena_;
    const BytesIndex& index_;
};

// tiktoken's rule on `bytes` with the ranks below `limit`: the starts of the
// parts that remain (a part ends where the next starts, the last at the end).
std::vector<std::size_t> splitByByteRank(std::string_view bytes, std::uint32_t limit,
                                         const RankLookup& ranks) {
    std::vector<std::size_t> starts(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) starts[i] = i;
    // joined[i]: rank of parts i and i + 1 together.
    auto end = [&](std::size_t part) { return part < starts.size() ? starts[part] : bytes.size(); };
    auto joinedRank = [&](std::size_t i) {
        return ranks.below(bytes.substr(starts[i], end(i + 2) - starts[i]), limit);
    };
    std::vector<std::uint32_t> joined(bytes.size() > 0 ? bytes.size() - 1 : 0);
    for (std::size_t i = 0; i < joined.size(); ++i) joined[i] = joinedRank(i);
    while (!joined.empty()) {
        std::size_t best = 0;
        for (std::size_t i = 1; i < joined.size(); ++i) {
            if (joined[i] < joined[best]) best = i;
        }
        if (joined[best] == kNoRank) break;
        starts.erase(starts.begin() + static_cast<std::ptrdiff_t>(best) + 1);
        joined.erase(joined.begin() + static_cast<std::ptrdiff_t>(best));
        if (best < joined.size()) joined[best] = joinedRank(best);
        if (best > 0) joined[best - 1] = joinedRank(best - 1);
    }
    return starts;
}

std::string describeRanked(std::string_view token, std::size_t rank) {
    return "token " + describeBytes(token) + " at rank " + std::to_string(rank);
}

[[noreturn]] void refuse(std::string_view token, std::size_t rank, const std::string& problem) {
    throw std::invalid_argument(describeRanked(token, rank) + " " + problem);
}

// Every token in an arena (id = rank) and an index; refuses empty and
// repeated tokens.
void indexTokens(const std::vector<std::string>& tokens, TokenArena& arena, BytesIndex& index) {
    std::size_t total = 0;
    for (const std::string& token : tokens) total += token.size();
    arena.reserve(tokens.size(), total);
    for (std::size_t rank = 0; rank < tokens.size(); ++rank) {
        if (tokens[rank].empty()) refuse(tokens[rank], rank, "is empty");
        arena.append(tokens[rank]);
        const TokenId earlier = index.insert(arena, static_cast<TokenId>(rank), false);
        if (earlier >= 0) refuse(tokens[rank], rank, "repeats the token at rank " + std::to_string(earlier));
    }
}

// The merge of a token of two or more bytes, from its split.
Merge mergeOf(std::string_view token, std::size_t rank, const RankLookup& ranks) {
    const auto limit = static_cast<std::uint32_t>(rank);
    const std::vector<std::size_t> starts = splitByByteRank(token, limit, ranks);
    if (starts.size() != 2) {
        refuse(token, rank, "is not a merge of two tokens of lower rank: tiktoken's rule splits it into " +
                                std::to_string(starts.size()) + " parts");
    }
    const std::string_view left = token.substr(0, starts[1]);
    const std::string_view right = token.substr(starts[1]);
    const std::uint32_t leftRank = ranks.below(left, UINT32_MAX);
    const std::uint32_t rightRank = ranks.below(right, UINT32_MAX);
    for (std::uint32_t part : {leftRank, rightRank}) {
        if (part >= limit) {
            refuse(token, rank, "has a part of rank " + std::to_string(part) + ", above its own");
        }
    }
    return Merge{static_cast<TokenId>(leftRank), static_cast<TokenId>(rightRank), static_cast<TokenId>(rank)};
}

}  // namespace

RankedMerges mergesFromRanks(const std::vector<std::string>& tokensByRank) {
    if (tokensByRank.size() >= static_cast<std::size_t>(INT32_MAX)) {
        throw std::invalid_argument("a tiktoken vocabulary has fewer than 2^31 - 1 tokens");
    }
    TokenArena arena;
    BytesIndex index(tokensByRank.size());
    indexTokens(tokensByRank, arena, index);
    const RankLookup ranks(arena, index);
    RankedMerges result;
    for (std::size_t b = 0; b < 256; ++b) {
        const char byte = static_cast<char>(b);
        const std::uint32_t rank = ranks.below(std::string_view(&byte, 1), UINT32_MAX);
        if (rank == kNoRank) throw std::invalid_argument("byte " + describeBytes(std::string_view(&byte, 1)) + " has no rank");
        result.byteIds[b] = static_cast<TokenId>(rank);
    }
    result.merges.reserve(tokensByRank.size() - 256);
    for (std::size_t rank = 0; rank < tokensByRank.size(); ++rank) {
        if (tokensByRank[rank].size() >= 2) result.merges.push_back(mergeOf(tokensByRank[rank], rank, ranks));
    }
    return result;
}

std::optional<TokenId> firstTiktokenIncompatible(const Vocabulary& vocab) {
    // The normal tokens only: a special token's bytes are no rank to tiktoken.
    BytesIndex index(256 + vocab.merges().size());
    for (TokenId id = 0; static_cast<std::size_t>(id) < vocab.size(); ++id) {
        if (vocab.kind(id) == Vocabulary::Kind::Byte || vocab.kind(id) == Vocabulary::Kind::Merge) {
            index.insert(vocab.arena(), id, false);
        }
    }
    const RankLookup ranks(vocab.arena(), index);
    for (const Merge& m : vocab.merges()) {
        const std::string_view token = vocab.bytes(m.id);
        const std::vector<std::size_t> starts = splitByByteRank(token, static_cast<std::uint32_t>(m.id), ranks);
        if (starts.size() != 2 || starts[1] != vocab.bytes(m.left).size()) return m.id;
    }
    return std::nullopt;
}

}  // namespace brevix::bpe
