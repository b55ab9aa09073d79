// Special tokens: byte strings that stand for one id of their own and are
// never split or merged, and the matcher that finds them in a text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "encode/token_types.h"

namespace brevix::bpe {

struct SpecialToken {
    std::string bytes;  // never empty
    TokenId id;
};

// A set of special tokens, in the order given. Immutable after construction.
class SpecialTokens {
public:
    SpecialTokens() = default;

    // Throws std::invalid_argument, naming the first bad entry, for empty
    // bytes, a negative id, or bytes or an id that an earlier entry has.
    explicit SpecialTokens(std::vector<SpecialToken> tokens);

    const std::vector<SpecialToken>& tokens() const { return tokens_; }
    std::size_t size() const { return tokens_.size(); }
    bool empty() const { return tokens_.empty(); }
    const SpecialToken& operator[](std::size_t index) const { return tokens_[index]; }

    // The index of the token with exactly these bytes, if any.
    std::optional<std::size_t> indexOf(std::string_view bytes) const;

private:
    std::vector<SpecialToken> tokens_;
    std::unordered_map<std::string, std::size_t> byBytes_;
};

// One occurrence of a special token in a text.
struct SpecialMatch {
    std::size_t start;   // offset of its first byte
    std::size_t length;  // its length in bytes
    std::size_t token;   // its index in the SpecialTokens it was matched from
    TokenId id;
};

// Finds occurrences of a chosen subset of special tokens. Holds copies of
// what it needs, so it outlives the SpecialTokens it was built from.
// Immutable after construction; usable from many threads at once.
//
// Performance notes: texts are scanned for the tokens' first bytes only
// (memchr when they all start with one byte, as "<|...|>" tokens do, else a
// byte table), and each candidate position walks a trie of the tokens, so a
// candidate costs the length of the longest token prefix found there. No
// specials, or none in a text, costs one scan.
class SpecialMatcher {
public:
    // Matches nothing.
    SpecialMatcher();

    // Matches the tokens of `tokens` whose indices are in `chosen` (repeats
    // are harmless). Throws std::out_of_range for an index past the end.
    SpecialMatcher(const SpecialTokens& tokens, const std::vector<std::size_t>& chosen);

    // Every token of `tokens`.
    static SpecialMatcher all(const SpecialTokens& tokens);

    // Every token of `tokens` but those in `excluded` (out-of-range indices
    // throw std::out_of_range).
    static SpecialMatcher allExcept(const SpecialTokens& tokens,
                                    const std::vector<std::size_t>& excluded);

    // True when it matches nothing at all.
    bool empty() const { return tokenCount_ == 0; }

    // The leftmost occurrence starting at or after `from` of any chosen
    // token; of several starting there, the longest. None when there is none
    // (also for `from` past the end).
    std::optional<SpecialMatch> find(std::string_view text, std::size_t from) const;

private:
    static constexpr std::uint32_t kNone = UINT32_MAX;

    struct Node {
        std::uint32_t firstEdge = 0;   // its edges are edgeByte_/edgeTarget_[firstEdge, +edgeCount)
        std::uint32_t edgeCount = 0;
        std::uint32_t token = kNone;   // index into tokenIndex_/tokenId_ of the token ending here
    };

    void build(const SpecialTokens& tokens, const std::vector<bool>& chosen);
    std::size_t nextCandidate(const unsigned char* text, std::size_t size, std::size_t from) const;
    std::optional<SpecialMatch> longestAt(const unsigned char* text, std::size_t size,
                                          std::size_t start) const;
    std::uint32_t child(std::uint32_t node, unsigned char byte) const;

    std::size_t tokenCount_ = 0;
    int firstByteCount_ = 0;     // distinct first bytes of the chosen tokens
    unsigned char onlyFirstByte_ = 0;  // the first byte when there is one only
    std::uint32_t rootChild_[256];     // node reached from the root by each byte, or kNone
    std::vector<Node> nodes_;          // nodes_[0] is the root
    std::vector<unsigned char> edgeByte_;  // sorted within a node
    std::vector<std::uint32_t> edgeTarget_;
    std::vector<std::size_t> tokenIndex_;  // per chosen token: index in the SpecialTokens
    std::vector<TokenId> tokenId_;
};

}  // namespace brevix::bpe
