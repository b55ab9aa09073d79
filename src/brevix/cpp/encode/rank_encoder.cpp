#include "encode/rank_encoder.h"

#include "encode/backtrack_encode.h"
#include "encode/batch_merge.h"
#include "encode/rank_merge.h"
#include "encode/token_prefixes.h"

namespace brevix::bpe {

namespace {

// Pieces from this many bytes on take a way of their own: encodeBySearch
// with vocabularies of up to kSearchedIds ids, else with up to kBatchedIds,
// encodeLongPiece. A shorter piece would not repay their set-up (a cache of
// 512 KB for the search).
constexpr std::size_t kLongPieceBytes = std::size_t{1} << 16;
// The search walks a table of every prefix of every token once a token,
// which indexes up to TokenPrefixes::kMostIds ids. On English it is
// 1.2-1.4x faster than merging in batches from 5,000 to 50,000 merges; it
// is slower on random letters (0.7x with 50,000 merges), which have few
// long tokens to take. The table takes about 50 bytes a byte of the tokens
// while it is built: vocabularies of longer tokens than
// kSearchedTokenBytes in all merge instead.
constexpr std::size_t kSearchedIds = TokenPrefixes::kMostIds;
constexpr std::size_t kSearchedTokenBytes = std::size_t{1} << 22;
// A batch reads a bucket head (4 bytes) and a merge's parts (8 bytes) by
// rank at random, which past 2^16 ranks leaves the core's cache and cost
// more than batching saved (random letters, cl100k: 1.4x slower).
constexpr std::size_t kBatchedIds = std::size_t{1} << 16;
// Parts up to kAlonePartBytes merge alone on the keyed path (its cost grows
// with the part); longer ones wait in a batch, which merges once it holds
// kBatchTokens tokens. A part longer than that merges alone on the long
// path, whose positions are visited in order: a batch's are not, which
// costs more than it saves once the batch leaves the core's cache.
constexpr std::size_t kAlonePartBytes = 32;
constexpr std::size_t kBatchTokens = std::size_t{1} << 14;

// Calls onPart(from, to) for the parts of `piece`, in order: cut between
// bytes that no token holds side by side, so that no merge joins two parts.
template <typename OnPart>
void forEachPart(const Vocabulary& vocab, std::string_view piece, OnPart&& onPart) {
    std::size_t start = 0;
    for (std::size_t i = 1; i < piece.size(); ++i) {
        if (!vocab.mayJoin(static_cast<unsigned char>(piece[i - 1]), static_cast<unsigned char>(piece[i]))) {
            onPart(start, i);
            start = i;
        }
    }
    onPart(start, piece.size());
}

// A part that is one token (a single byte, or a whole token): appends its
// id to `out` and returns true.
bool appendIfOneToken(const Vocabulary& vocab, std::string_view part, std::vector<TokenId>& out) {
    // A single byte is its own token: no lookup (real text cut where no
    // token joins two bytes gives many, four in ten parts in English).
    if (part.size() == 1) {
        out.push_back(vocab.byteIds()[static_cast<unsigned char>(part[0])]);
        return true;
    }
    if (auto id = vocab.wholeTokenId(part)) {
        out.push_back(*id);
        return true;
    }
    return false;
}

void appendByteTokens(const Vocabulary& vocab, std::string_view bytes, std::vector<TokenId>& out) {
    const std::size_t start = out.size();
    out.resize(start + bytes.size());
    const ByteIds& byteIds = vocab.byteIds();
    for (std::size_t i = 0; i < bytes.size(); ++i) out[start + i] = byteIds[static_cast<unsigned char>(bytes[i])];
}

}  // namespace

void encodePieceFromBytes(const Vocabulary& vocab, std::string_view piece, std::vector<TokenId>& out) {
    const std::size_t start = out.size();
    appendByteTokens(vocab, piece, out);
    out.resize(start + mergeByRank(vocab.pairRanks(), out.data() + start, piece.size()));
}

void encodeBySearch(const Vocabulary& vocab, std::string_view piece, std::vector<TokenId>& out) {
    if (piece.empty()) return;
    if (!encodeByBacktracking(vocab, piece, out)) encodePieceFromBytes(vocab, piece, out);
}

void encodeLongPiece(const Vocabulary& vocab, std::string_view piece, std::vector<TokenId>& out) {
    BatchMerger batch(vocab.pairRanks());
    std::vector<TokenId> ids;  // of a batched part
    forEachPart(vocab, piece, [&](std::size_t from, std::size_t to) {
        const std::string_view part = piece.substr(from, to - from);
        if (appendIfOneToken(vocab, part, out)) return;
        if (part.size() <= kAlonePartBytes) {
            encodePieceFromBytes(vocab, part, out);
        } else if (part.size() <= kBatchTokens) {
            ids.clear();
            appendByteTokens(vocab, part, ids);
            batch.addPart(ids.data(), ids.size(), out.size());
            if (batch.size() >= kBatchTokens) batch.mergeInto(out);
        } else {
            batch.mergeInto(out);
            encodePieceFromBytes(vocab, part, out);
        }
    });
    batch.mergeInto(out);
}

void encodePiece(const Vocabulary& vocab, std::string_view piece, std::vector<TokenId>& out) {
    // A single byte is its own token, without a lookup: a third of the
    // pieces of English split by the large vocabularies' patterns.
    if (piece.size() == 1) {
        out.push_back(vocab.byteIds()[static_cast<unsigned char>(piece[0])]);
        return;
    }
    if (auto id = vocab.wholeTokenId(piece)) {
        out.push_back(*id);
        return;
    }
    if (piece.size() >= kLongPieceBytes) {
        const std::size_t ids = vocab.pairRanks().idCount();
        if (ids <= kSearchedIds && vocab.arena().totalBytes() <= kSearchedTokenBytes) {
            return encodeBySearch(vocab, piece, out);
        }
        if (ids <= kBatchedIds) return encodeLongPiece(vocab, piece, out);
    }
    forEachPart(vocab, piece, [&](std::size_t from, std::size_t to) {
        const std::string_view part = piece.substr(from, to - from);
        if (!appendIfOneToken(vocab, part, out)) encodePieceFromBytes(vocab, part, out);
    });
}

}  // namespace brevix::bpe
