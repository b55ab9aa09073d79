// Encoding whole texts: special tokens cut out, the rest split into pieces
// by a text::Splitter, each piece encoded by rank.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "encode/special_tokens.h"
#include "encode/token_types.h"
#include "encode/vocabulary.h"
#include "text/splitter.h"

namespace brevix::bpe {

// Immutable after construction; usable from many threads at once (each call
// keeps its working memory to itself).
class TextEncoder {
public:
    // Throws std::invalid_argument for a null vocabulary or splitter.
    TextEncoder(std::shared_ptr<const Vocabulary> vocabulary,
                std::shared_ptr<const text::Splitter> splitter);

    const Vocabulary& vocabulary() const { return *vocabulary_; }

    // Matches every special token of the vocabulary (for allowing them all,
    // or for refusing texts that hold any).
    const SpecialMatcher& allSpecials() const { return allSpecials_; }

    // Appends the ids of `text` to `out`, keeping what `out` held. Each
    // occurrence of a special token that `allowed` matches (leftmost, then
    // longest) becomes its id; each stretch between them is split into
    // pieces by the splitter (a stretch is a text of its own to it), and
    // each piece is encoded by rank (encodePiece). Throws what encodePiece
    // or the splitter throws; `out` then holds its earlier ids followed by
    // some of this text's.
    void encode(std::string_view text, const SpecialMatcher& allowed, std::vector<TokenId>& out) const;

    // The first `maxIds` ids encode() would append (all of them when there
    // are fewer), appended to `out`. Pieces are encoded in text order and
    // encoding stops at the piece that reaches the limit, so the cost is
    // that of the prefix, not of the whole text.
    void encodePrefix(std::string_view text, const SpecialMatcher& allowed, std::size_t maxIds,
                      std::vector<TokenId>& out) const;

    // encode() with no special tokens: every byte is ordinary text.
    void encodeOrdinary(std::string_view text, std::vector<TokenId>& out) const;

    // The number of ids encode() would append, without keeping them.
    std::size_t count(std::string_view text, const SpecialMatcher& allowed) const;

private:
    template <typename OnPiece>
    bool forEachPiece(std::string_view stretch, std::vector<std::size_t>& ends, OnPiece&& onPiece) const;
    template <typename OnSpecial, typename OnPiece>
    void walk(std::string_view text, const SpecialMatcher& allowed, OnSpecial&& onSpecial,
              OnPiece&& onPiece) const;

    std::shared_ptr<const Vocabulary> vocabulary_;
    std::shared_ptr<const text::Splitter> splitter_;
    SpecialMatcher allSpecials_;
    SpecialMatcher noSpecials_;
};

}  // namespace brevix::bpe
