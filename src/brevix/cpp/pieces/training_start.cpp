#include "pieces/training_start.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <unordered_set>

namespace brevix::bpe {

namespace {

std::uint64_t pairKey(TokenId left, TokenId right) {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(left)) << 32 |
           static_cast<std::uint32_t>(right);
}

std::string describeMerge(std::size_t index, const Merge& m) {
    return "merge " + std::to_string(index) + " (" + std::to_string(m.left) + ", " +
           std::to_string(m.right) + ", " + std::to_string(m.id) + ")";
}

// Checks the byte ids; returns them as the first defined ids.
std::unordered_set<TokenId> checkByteIds(const ByteIds& byteIds) {
    std::unordered_set<TokenId> defined;
    for (std::size_t b = 0; b < byteIds.size(); ++b) {
        if (byteIds[b] < 0) {
            throw std::invalid_argument("byte " + std::to_string(b) + " has a negative id");
        }
        if (!defined.insert(byteIds[b]).second) {
            throw std::invalid_argument("byte " + std::to_string(b) + " has the id " +
                                        std::to_string(byteIds[b]) + " of another byte");
        }
    }
    return defined;
}

void checkMerges(const std::vector<Merge>& merges, std::unordered_set<TokenId>& defined) {
    std::unordered_set<std::uint64_t> pairs;
    for (std::size_t i = 0; i < merges.size(); ++i) {
        const Merge& m = merges[i];
        const std::string what = describeMerge(i, m);
        if (i > 0 && m.id <= merges[i - 1].id) {
            throw std::invalid_argument(what + ": ids must increase");
        }
        if (defined.count(m.id) != 0) throw std::invalid_argument(what + ": its id is a byte's");
        if (defined.count(m.left) == 0 || defined.count(m.right) == 0) {
            throw std::invalid_argument(what + ": a part is neither a byte nor an earlier merge");
        }
        if (!pairs.insert(pairKey(m.left, m.right)).second) {
            throw std::invalid_argument(what + ": the pair is merged twice");
        }
        defined.insert(m.id);
    }
}

TokenId largestId(const TrainingStart& start) {
    TokenId largest = *std::max_element(start.byteIds.begin(), start.byteIds.end());
    if (!start.merges.empty()) largest = std::max(largest, start.merges.back().id);
    return largest;
}

}  // namespace

ByteIds identityByteIds() {
    ByteIds ids{};
    for (std::size_t b = 0; b < ids.size(); ++b) ids[b] = static_cast<TokenId>(b);
    return ids;
}

void checkTrainingStart(const TrainingStart& start) {
    std::unordered_set<TokenId> defined = checkByteIds(start.byteIds);
    checkMerges(start.merges, defined);
    if (start.firstNewId && *start.firstNewId <= largestId(start)) {
        throw std::invalid_argument("the first new id " + std::to_string(*start.firstNewId) +
                                    " is not above every id of the vocabulary");
    }
}

TokenId firstNewId(const TrainingStart& start) {
    if (start.firstNewId) return *start.firstNewId;
    const TokenId largest = largestId(start);
    // At the top of the id range nothing can follow; mergesRoomAfter says 0.
    return largest == std::numeric_limits<TokenId>::max() ? largest : largest + 1;
}

std::size_t mergesRoomAfter(const TrainingStart& start) {
    if (!start.firstNewId && largestId(start) == std::numeric_limits<TokenId>::max()) return 0;
    return static_cast<std::size_t>(std::numeric_limits<TokenId>::max()) -
           static_cast<std::size_t>(firstNewId(start)) + 1;
}

}  // namespace brevix::bpe
