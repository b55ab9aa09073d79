#include "encode/pair_ranks.h"

#include <utility>

namespace brevix::bpe {

PairRanks::PairRanks(const std::vector<Merge>& merges, std::vector<std::uint32_t> lengths)
    : map_(merges.size()), parts_(lengths.size(), UINT64_MAX), length_(std::move(lengths)) {
    for (const Merge& m : merges) {
        const auto l = static_cast<std::uint32_t>(m.left);
        const auto r = static_cast<std::uint32_t>(m.right);
        if ((l | r) < kDirect) {
            direct_[l * kDirect + r] = static_cast<std::uint32_t>(m.id);
            ++directCount_;
        } else {
            map_.insertNew(l, r, static_cast<std::uint32_t>(m.id));
        }
        parts_[static_cast<std::size_t>(m.id)] = pack(m.left, m.right);
    }
}

}  // namespace brevix::bpe
