#include "encode/special_tokens.h"

#include <cstring>
#include <map>
#include <stdexcept>
#include <utility>

#include "encode/describe_bytes.h"

namespace brevix::bpe {

namespace {

std::string entryName(std::size_t index, const SpecialToken& token) {
    return "special token " + std::to_string(index) + " (" + describeBytes(token.bytes) +
           ", id " + std::to_string(token.id) + ")";
}

std::vector<bool> chosenFlags(std::size_t size, const std::vector<std::size_t>& indices) {
    std::vector<bool> chosen(size, false);
    for (std::size_t index : indices) {
        if (index >= size) {
            throw std::out_of_range("special token index " + std::to_string(index) +
                                    " is out of range (" + std::to_string(size) + " tokens)");
        }
        chosen[index] = true;
    }
    return chosen;
}

// A trie under construction: children by byte, and the chosen token ending at
// each node (UINT32_MAX for none).
struct TrieDraft {
    std::vector<std::map<unsigned char, std::uint32_t>> children{1};
    std::vector<std::uint32_t> token{UINT32_MAX};

    void insert(std::string_view bytes, std::uint32_t tokenNumber) {
        std::uint32_t node = 0;
        for (char c : bytes) {
            auto [it, added] = children[node].emplace(static_cast<unsigned char>(c),
                                                      static_cast<std::uint32_t>(children.size()));
            if (added) {
                children.emplace_back();
                token.push_back(UINT32_MAX);
            }
            node = it->second;
        }
        token[node] = tokenNumber;
    }
};

}  // namespace

SpecialTokens::SpecialTokens(std::vector<SpecialToken> tokens) : tokens_(std::move(tokens)) {
    std::unordered_map<TokenId, std::size_t> byId;
    for (std::size_t i = 0; i < tokens_.size(); ++i) {
        const SpecialToken& token = tokens_[i];
        if (token.bytes.empty()) throw std::invalid_argument(entryName(i, token) + " is empty");
        if (token.id < 0) throw std::invalid_argument(entryName(i, token) + " has a negative id");
        if (!byBytes_.emplace(token.bytes, i).second) {
            throw std::invalid_argument(entryName(i, token) + " repeats the bytes of special token " +
                                        std::to_string(byBytes_.at(token.bytes)));
        }
        if (!byId.emplace(token.id, i).second) {
            throw std::invalid_argument(entryName(i, token) + " repeats the id of special token " +
                                        std::to_string(byId.at(token.id)));
        }
    }
}

std::optional<std::size_t> SpecialTokens::indexOf(std::string_view bytes) const {
    auto it = byBytes_.find(std::string(bytes));
    if (it == byBytes_.end()) return std::nullopt;
    return it->second;
}

SpecialMatcher::SpecialMatcher() : nodes_(1) {
    for (std::uint32_t& c : rootChild_) c = kNone;
}

SpecialMatcher::SpecialMatcher(const SpecialTokens& tokens, const std::vector<std::size_t>& chosen)
    : SpecialMatcher() {
    build(tokens, chosenFlags(tokens.size(), chosen));
}

SpecialMatcher SpecialMatcher::all(const SpecialTokens& tokens) {
    SpecialMatcher matcher;
    matcher.build(tokens, std::vector<bool>(tokens.size(), true));
    return matcher;
}

SpecialMatcher SpecialMatcher::allExcept(const SpecialTokens& tokens,
                                         const std::vector<std::size_t>& excluded) {
    std::vector<bool> chosen = chosenFlags(tokens.size(), excluded);
    chosen.flip();
    SpecialMatcher matcher;
    matcher.build(tokens, chosen);
    return matcher;
}

void SpecialMatcher::build(const SpecialTokens& tokens, const std::vector<bool>& chosen) {
    TrieDraft draft;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (!chosen[i]) continue;
        draft.insert(tokens[i].bytes, static_cast<std::uint32_t>(tokenIndex_.size()));
        tokenIndex_.push_back(i);
        tokenId_.push_back(tokens[i].id);
    }
    tokenCount_ = tokenIndex_.size();
    nodes_.assign(draft.children.size(), Node{});
    for (std::uint32_t n = 0; n < nodes_.size(); ++n) {
        nodes_[n].firstEdge = static_cast<std::uint32_t>(edgeByte_.size());
        nodes_[n].edgeCount = static_cast<std::uint32_t>(draft.children[n].size());
        nodes_[n].token = draft.token[n];
        for (const auto& [byte, target] : draft.children[n]) {  // std::map: sorted by byte
            edgeByte_.push_back(byte);
            edgeTarget_.push_back(target);
        }
    }
    for (const auto& [byte, target] : draft.children[0]) {
        rootChild_[byte] = target;
        onlyFirstByte_ = byte;
        ++firstByteCount_;
    }
}

std::uint32_t SpecialMatcher::child(std::uint32_t node, unsigned char byte) const {
    const Node& n = nodes_[node];
    for (std::uint32_t e = n.firstEdge; e < n.firstEdge + n.edgeCount; ++e) {
        if (edgeByte_[e] == byte) return edgeTarget_[e];
        if (edgeByte_[e] > byte) break;
    }
    return kNone;
}

// The first position at or after `from` where a chosen token may start, or
// `size` when there is none.
std::size_t SpecialMatcher::nextCandidate(const unsigned char* text, std::size_t size,
                                          std::size_t from) const {
    if (firstByteCount_ == 1) {
        const void* hit = std::memchr(text + from, onlyFirstByte_, size - from);
        return hit == nullptr ? size : static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - text);
    }
    while (from < size && rootChild_[text[from]] == kNone) ++from;
    return from;
}

// The longest chosen token starting at `start`, if any.
std::optional<SpecialMatch> SpecialMatcher::longestAt(const unsigned char* text, std::size_t size,
                                                      std::size_t start) const {
    std::uint32_t node = rootChild_[text[start]];
    std::size_t end = start + 1;
    std::optional<SpecialMatch> found;
    while (node != kNone) {
        const std::uint32_t token = nodes_[node].token;
        if (token != kNone) found = SpecialMatch{start, end - start, tokenIndex_[token], tokenId_[token]};
        if (end == size) break;
        node = child(node, text[end++]);
    }
    return found;
}

std::optional<SpecialMatch> SpecialMatcher::find(std::string_view text, std::size_t from) const {
    if (tokenCount_ == 0) return std::nullopt;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t at = from; at < text.size(); ++at) {
        at = nextCandidate(bytes, text.size(), at);
        if (at == text.size()) break;
        if (auto match = longestAt(bytes, text.size(), at)) return match;
    }
    return std::nullopt;
}

}  // namespace brevix::bpe
