#include "encode/text_encoder.h"

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "encode/piece_cache.h"
#include "encode/rank_encoder.h"

namespace brevix::bpe {

namespace {

// Piece ends asked of the splitter at a time: bounds the working memory on
// long texts without a call per piece.
constexpr std::size_t kPiecesPerSplit = 4096;

template <typename T>
std::shared_ptr<const T> required(std::shared_ptr<const T> p, const char* what) {
    if (!p) throw std::invalid_argument(std::string("a text encoder needs a ") + what);
    return p;
}

// Texts from 8 KB on keep a PieceCache while they are encoded, of an entry
// for every 8 bytes of text up to its largest: a shorter text would not
// repay clearing it.
constexpr unsigned kFewestCacheBits = 10;
constexpr unsigned kTextBytesPerEntryBits = 3;

// The size of the PieceCache for a text of `size` bytes, as a power of 2;
// 0 for none.
unsigned cacheBitsFor(std::size_t size) {
    unsigned bits = 0;
    while (bits < PieceCache::kMostBits && (std::size_t{1} << (bits + 1 + kTextBytesPerEntryBits)) <= size) ++bits;
    return bits >= kFewestCacheBits ? bits : 0;
}

// encodePiece for the pieces of one text, through a PieceCache when the
// text is long enough (a one-byte piece costs encodePiece no lookup).
class PieceEncoder {
public:
    PieceEncoder(const Vocabulary& vocab, std::string_view text)
        : vocab_(vocab), end_(text.data() + text.size()) {
        if (const unsigned bits = cacheBitsFor(text.size())) cache_ = std::make_unique<PieceCache>(bits);
    }

    void encode(std::string_view piece, std::vector<TokenId>& out) {
        if (!cache_ || piece.size() < 2 || piece.size() > PieceCache::kLongestPiece) {
            return encodePiece(vocab_, piece, out);
        }
        const PieceCache::Key key = PieceCache::keyOf(piece, static_cast<std::size_t>(end_ - piece.data()));
        if (cache_->append(key, out)) return;
        const std::size_t before = out.size();
        encodePiece(vocab_, piece, out);
        cache_->keep(key, out.data() + before, out.size() - before);
    }

private:
    const Vocabulary& vocab_;
    const char* end_;
    std::unique_ptr<PieceCache> cache_;
};

}  // namespace

TextEncoder::TextEncoder(std::shared_ptr<const Vocabulary> vocabulary,
                         std::shared_ptr<const text::Splitter> splitter)
    : vocabulary_(required(std::move(vocabulary), "vocabulary")),
      splitter_(required(std::move(splitter), "splitter")),
      allSpecials_(SpecialMatcher::all(vocabulary_->specials())) {}

// Calls onPiece(piece) for each piece of `stretch`, in order, until one
// returns false (then returns false); `ends` is working memory. Pieces are
// found a batch at a time, so stopping early splits little past the stop.
template <typename OnPiece>
bool TextEncoder::forEachPiece(std::string_view stretch, std::vector<std::size_t>& ends,
                               OnPiece&& onPiece) const {
    std::size_t from = 0;
    while (from < stretch.size()) {
        ends.clear();
        const std::size_t stopped = splitter_->split(stretch, from, ends, kPiecesPerSplit);
        if (ends.empty()) throw std::logic_error("the splitter made no progress");
        for (std::size_t end : ends) {
            if (!onPiece(stretch.substr(from, end - from))) return false;
            from = end;
        }
        from = stopped;
    }
    return true;
}

// Calls onSpecial(match) for each special token `allowed` finds and
// onPiece(piece) for each piece of the stretches between, in text order,
// until a call returns false.
template <typename OnSpecial, typename OnPiece>
void TextEncoder::walk(std::string_view text, const SpecialMatcher& allowed, OnSpecial&& onSpecial,
                       OnPiece&& onPiece) const {
    std::vector<std::size_t> ends;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::optional<SpecialMatch> match = allowed.find(text, start);
        const std::size_t stretchEnd = match ? match->start : text.size();
        if (!forEachPiece(text.substr(start, stretchEnd - start), ends, onPiece)) return;
        if (!match) break;
        if (!onSpecial(*match)) return;
        start = match->start + match->length;
    }
}

void TextEncoder::encode(std::string_view text, const SpecialMatcher& allowed,
                         std::vector<TokenId>& out) const {
    PieceEncoder pieces(*vocabulary_, text);
    walk(
        text, allowed,
        [&](const SpecialMatch& match) {
            out.push_back(match.id);
            return true;
        },
        [&](std::string_view piece) {
            pieces.encode(piece, out);
            return true;
        });
}

void TextEncoder::encodePrefix(std::string_view text, const SpecialMatcher& allowed,
                               std::size_t maxIds, std::vector<TokenId>& out) const {
    PieceEncoder pieces(*vocabulary_, text);
    const std::size_t limit = out.size() + maxIds;
    walk(
        text, allowed,
        [&](const SpecialMatch& match) {
            out.push_back(match.id);
            return out.size() < limit;
        },
        [&](std::string_view piece) {
            pieces.encode(piece, out);
            return out.size() < limit;
        });
    if (out.size() > limit) out.resize(limit);
}

void TextEncoder::encodeOrdinary(std::string_view text, std::vector<TokenId>& out) const {
    encode(text, noSpecials_, out);
}

std::size_t TextEncoder::count(std::string_view text, const SpecialMatcher& allowed) const {
    PieceEncoder pieces(*vocabulary_, text);
    std::size_t total = 0;
    std::vector<TokenId> scratch;
    walk(
        text, allowed,
        [&](const SpecialMatch&) {
            ++total;
            return true;
        },
        [&](std::string_view piece) {
            scratch.clear();
            pieces.encode(piece, scratch);
            total += scratch.size();
            return true;
        });
    return total;
}

}  // namespace brevix::bpe
