#include "bpe/pair_ranks.h"

namespace brevix::bpe {

PairRanks::PairRanks(std::size_t idCount, const std::vector<Merge>& merges)
    : map_(merges.size()), parts_(idCount, UINT64_MAX) {
    for (const Merge& m : merges) {
        const auto l = static_cast<std::uint32_t>(m.left);
        const auto r = static_cast<std::uint32_t>(m.right);
        if ((l | r) < kDirect) {
            direct_[l * kDirect + r] = static_cast<std::uint32_t>(m.id);
            ++directCount_;
        } else {
            map_.insertNew(m.left, m.right, m.id);
        }
        parts_[static_cast<std::size_t>(m.id)] = pack(m.left, m.right);
    }
}

}  // namespace brevix::bpe
