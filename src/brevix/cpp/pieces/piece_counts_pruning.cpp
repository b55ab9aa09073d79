#include "pieces/piece_counts_pruning.h"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

namespace brevix::bpe {

namespace {

struct Entry {
    std::string_view piece;
    std::uint64_t count;
};

// Kept pieces first: higher counts, then smaller bytes.
bool keptBefore(const Entry& a, const Entry& b) {
    if (a.count != b.count) return a.count > b.count;
    return a.piece < b.piece;
}

}  // namespace

PruneResult keepMostFrequent(PieceTable& table, std::size_t keep) {
    PruneResult result;
    if (table.size() <= keep) {
        table.forEach([&result](std::string_view, std::uint64_t count) {
            if (result.leastKept == 0 || count < result.leastKept) result.leastKept = count;
        });
        return result;
    }
    std::vector<Entry> entries;
    entries.reserve(table.size());
    table.forEach([&entries](std::string_view piece, std::uint64_t count) {
        entries.push_back({piece, count});
    });
    const auto cut = entries.begin() + static_cast<std::ptrdiff_t>(keep);
    std::nth_element(entries.begin(), cut, entries.end(), keptBefore);
    PieceTable kept;
    for (auto it = entries.begin(); it != cut; ++it) {
        kept.add(it->piece, it->count);
        if (result.leastKept == 0 || it->count < result.leastKept) result.leastKept = it->count;
    }
    result.dropped = entries.size() - keep;
    entries.clear();
    table = std::move(kept);
    return result;
}

}  // namespace brevix::bpe
