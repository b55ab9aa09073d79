#include "pieces/piece_reference.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <utility>

namespace brevix::bpe {

namespace {

struct CountedSequence {
    std::vector<TokenId> tokens;
    std::uint64_t count;
};

using Pair = std::pair<TokenId, TokenId>;

std::vector<CountedSequence> sequencesOf(const PieceTable& pieces, const ByteIds& byteIds) {
    std::vector<CountedSequence> sequences;
    std::uint64_t weight = 0;
    pieces.forEach([&](std::string_view piece, std::uint64_t count) {
        std::uint64_t pairs = 0;
        if (piece.size() > 1 && (__builtin_mul_overflow(count, piece.size() - 1, &pairs) ||
                                 __builtin_add_overflow(weight, pairs, &weight))) {
            throw std::overflow_error("the piece counts add up to more pairs than 2**64 - 1");
        }
        CountedSequence sequence{{}, count};
        for (const char byte : piece) {
            sequence.tokens.push_back(byteIds[static_cast<unsigned char>(byte)]);
        }
        sequences.push_back(std::move(sequence));
    });
    return sequences;
}

// Replaces every (pair.first, pair.second) by id, left to right.
void mergeEverywhere(std::vector<CountedSequence>& sequences, Pair pair, TokenId id) {
    for (CountedSequence& sequence : sequences) {
        std::vector<TokenId> merged;
        const std::vector<TokenId>& t = sequence.tokens;
        for (std::size_t i = 0; i < t.size(); ++i) {
            if (i + 1 < t.size() && t[i] == pair.first && t[i + 1] == pair.second) {
                merged.push_back(id);
                ++i;
            } else {
                merged.push_back(t[i]);
            }
        }
        sequence.tokens = std::move(merged);
    }
}

std::map<Pair, std::uint64_t> pairCounts(const std::vector<CountedSequence>& sequences) {
    std::map<Pair, std::uint64_t> counts;
    for (const CountedSequence& sequence : sequences) {
        for (std::size_t i = 0; i + 1 < sequence.tokens.size(); ++i) {
            counts[{sequence.tokens[i], sequence.tokens[i + 1]}] += sequence.count;
        }
    }
    return counts;
}

// The highest count wins; the map walks pairs in increasing order, so the
// first pair met with that count is the smallest.
std::pair<Pair, std::uint64_t> mostFrequent(const std::map<Pair, std::uint64_t>& counts) {
    std::pair<Pair, std::uint64_t> best{{0, 0}, 0};
    for (const auto& [pair, count] : counts) {
        if (count > best.second) best = {pair, count};
    }
    return best;
}

}  // namespace

std::vector<Merge> trainPiecesReference(const PieceTable& pieces, const TrainingStart& start,
                                        std::size_t merges) {
    checkTrainingStart(start);
    std::vector<CountedSequence> sequences = sequencesOf(pieces, start.byteIds);
    for (const Merge& m : start.merges) mergeEverywhere(sequences, {m.left, m.right}, m.id);
    std::vector<Merge> learned;
    const std::size_t wanted = std::min(merges, mergesRoomAfter(start));
    const TokenId first = firstNewId(start);
    while (learned.size() < wanted) {
        const auto [pair, count] = mostFrequent(pairCounts(sequences));
        if (count == 0) break;
        const auto id = static_cast<TokenId>(first + static_cast<TokenId>(learned.size()));
        mergeEverywhere(sequences, pair, id);
        learned.push_back(Merge{pair.first, pair.second, id});
    }
    return learned;
}

}  // namespace brevix::bpe
