#include "encode/rank_encoder.h"

#include "encode/rank_merge.h"

namespace brevix::bpe {

void encodePieceFromBytes(const Vocabulary& vocab, std::string_view piece, std::vector<TokenId>& out) {
    const std::size_t start = out.size();
    out.resize(start + piece.size());
    TokenId* ids = out.data() + start;
    const ByteIds& byteIds = vocab.byteIds();
    for (std::size_t i = 0; i < piece.size(); ++i) ids[i] = byteIds[static_cast<unsigned char>(piece[i])];
    out.resize(start + mergeByRank(vocab.pairRanks(), ids, piece.size()));
}

namespace {

void encodePart(const Vocabulary& vocab, std::string_view part, std::vector<TokenId>& out) {
    // A single byte is its own token: no lookup (real text cut where no
    // token joins two bytes gives many, four in ten parts in English).
    if (part.size() == 1) {
        out.push_back(vocab.byteIds()[static_cast<unsigned char>(part[0])]);
        return;
    }
    if (auto id = vocab.wholeTokenId(part)) {
        out.push_back(*id);
    } else {
        encodePieceFromBytes(vocab, part, out);
    }
}

}  // namespace

void encodePiece(const Vocabulary& vocab, std::string_view piece, std::vector<TokenId>& out) {
    if (auto id = vocab.wholeTokenId(piece)) {
        out.push_back(*id);
        return;
    }
    std::size_t start = 0;
    for (std::size_t i = 1; i < piece.size(); ++i) {
        if (!vocab.mayJoin(static_cast<unsigned char>(piece[i - 1]), static_cast<unsigned char>(piece[i]))) {
            encodePart(vocab, piece.substr(start, i - start), out);
            start = i;
        }
    }
    encodePart(vocab, piece.substr(start), out);
}

}  // namespace brevix::bpe
