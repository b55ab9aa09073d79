#include "encode/backtrack_encode.h"

#include <algorithm>
#include <cstdint>

namespace brevix::bpe {

// While neither token is formed, their bytes are pieces formed earlier: the
// right spine of `left` (its right part, that part's right part, ...) and the
// left spine of `right`, each piece living from its own merge until the merge
// that takes it in. Going back in time from the two whole tokens, the pair
// of pieces facing each other changes whenever the later-formed of them
// splits; the two tokens stay apart exactly when no facing pair is itself a
// merge whose rank falls while both its pieces live. On a tie with the rank
// that takes a piece in (a merge of a token with itself), the leftmost pair
// merges first: the left piece's own merge wins, and the facing pair wins
// over the right piece's.
bool encodesAsPair(const PairRanks& ranks, TokenId left, TokenId right) {
    std::uint32_t leftEnd = UINT32_MAX;   // the rank that takes `left` in
    std::uint32_t rightEnd = UINT32_MAX;  // the rank that takes `right` in
    for (;;) {
        const std::uint32_t rank = ranks.rank(left, right);
        if (rank < leftEnd && rank <= rightEnd) return false;
        const bool leftMerged = ranks.isMerge(left);
        const bool rightMerged = ranks.isMerge(right);
        if (leftMerged && (!rightMerged || left > right)) {
            leftEnd = static_cast<std::uint32_t>(left);
            left = ranks.rightOf(leftEnd);
        } else if (rightMerged) {
            rightEnd = static_cast<std::uint32_t>(right);
            right = ranks.leftOf(rightEnd);
        } else {
            return true;
        }
    }
}

namespace {

// Positions after which the search found no token that can follow. Tokens
// that all pass encodesAsPair up to a position are the encoding of the text
// before it, the only one; so a position that failed once fails however it
// is reached again.
class DeadEnds {
public:
    explicit DeadEnds(std::size_t size) : bits_((size >> 6) + 1, 0) {}
    bool has(std::size_t at) const { return (bits_[at >> 6] >> (at & 63)) & 1u; }
    void add(std::size_t at) { bits_[at >> 6] |= std::uint64_t{1} << (at & 63); }

private:
    std::vector<std::uint64_t> bits_;
};

// The answers of encodesAsPair for the pairs met lately: text repeats its
// pairs of tokens, and a pair that encodes as itself costs a lookup for
// every piece down both spines.
class PairCache {
public:
    PairCache() : entries_(kSlots, kEmpty) {}
    bool encodesAsPair(const PairRanks& ranks, TokenId left, TokenId right) {
        const std::uint64_t key = static_cast<std::uint64_t>(static_cast<std::uint32_t>(left)) << 32 |
                                  static_cast<std::uint32_t>(right);
        std::uint64_t& entry = entries_[static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> kShift)];
        if ((entry & ~kAnswer) == key) return entry & kAnswer;
        const bool answer = bpe::encodesAsPair(ranks, left, right);
        entry = key | (answer ? kAnswer : 0);
        return answer;
    }

private:
    static constexpr unsigned kBits = 16;
    static constexpr unsigned kShift = 64 - kBits;
    static constexpr std::size_t kSlots = std::size_t{1} << kBits;
    // Ids are below 2^31, so a key's top bit is free to hold the answer.
    static constexpr std::uint64_t kAnswer = std::uint64_t{1} << 63;
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
    std::vector<std::uint64_t> entries_;
};

// The longest token that encodes to itself at the start of `text`: a lone
// byte where no token holds it with the next one (most bytes of text that is
// not like the vocabulary's), else from the index, and where the index
// cannot tell, by looking up every length.
TokenId longestAt(const Vocabulary& vocab, const TokenPrefixes& prefixes, const unsigned char* text,
                  std::size_t size) {
    if (size == 1 || !vocab.mayJoin(text[0], text[1])) return vocab.byteIds()[text[0]];
    const TokenId found = prefixes.longest(vocab.arena(), text, size);
    if (found >= 0) return found;
    for (std::size_t length = std::min(size, vocab.maxTokenLength()); length > 1; --length) {
        if (auto id = vocab.wholeTokenId({reinterpret_cast<const char*>(text), length})) return *id;
    }
    return vocab.byteIds()[text[0]];
}

}  // namespace

bool encodeByBacktracking(const Vocabulary& vocab, std::string_view piece, std::vector<TokenId>& out) {
    const PairRanks& ranks = vocab.pairRanks();
    const TokenPrefixes& prefixes = vocab.wholePrefixes();
    const std::size_t start = out.size();
    const auto* text = reinterpret_cast<const unsigned char*>(piece.data());
    const std::size_t size = piece.size();
    DeadEnds dead(size);
    PairCache pairs;
    std::size_t at = 0;
    // No merge joins bytes that no token holds side by side: a token
    // starting there follows any other.
    bool cut = true;
    TokenId next = longestAt(vocab, prefixes, text, size);
    for (;;) {
        // The longest token at `at` that follows the last one and does not
        // end where the search has failed before.
        while (next >= 0 && (dead.has(at + ranks.length(next)) ||
                             (!cut && !pairs.encodesAsPair(ranks, out.back(), next)))) {
            next = prefixes.shorter(next);
        }
        if (next < 0) {
            // No token can follow the ones before: their last one steps back.
            if (at == 0) {
                out.resize(start);
                return false;
            }
            dead.add(at);
            const TokenId last = out.back();
            out.pop_back();
            at -= ranks.length(last);
            cut = at == 0 || !vocab.mayJoin(text[at - 1], text[at]);
            next = prefixes.shorter(last);
            continue;
        }
        out.push_back(next);
        at += ranks.length(next);
        if (at == size) return true;
        cut = !vocab.mayJoin(text[at - 1], text[at]);
        next = longestAt(vocab, prefixes, text + at, size - at);
    }
}

}  // namespace brevix::bpe
