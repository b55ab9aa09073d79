// An open-addressing map from a pair of token ids to a rank, laid out for
// lookups that mostly miss.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brevix::bpe {

// Performance notes: encoding looks up every adjacent pair, and most pairs
// are no merge. A probe reads a one-byte tag per slot first (7 bits of the
// hash; 0 marks a free slot), a table small enough to stay in cache, and
// reads a slot's key and rank only when the tag matches: a miss usually
// costs no access to the large array. At most half the slots are used.
class PairRankMap {
public:
    static constexpr std::uint32_t kNone = UINT32_MAX;

    PairRankMap() = default;
    // Room for `expected` pairs without growing.
    explicit PairRankMap(std::size_t expected);

    // The rank stored for (left, right), or kNone.
    std::uint32_t find(std::uint32_t left, std::uint32_t right) const {
        if (size_ == 0) return kNone;
        const std::uint64_t key = pack(left, right);
        const std::uint64_t hash = key * 0x9E3779B97F4A7C15ull;
        const std::uint8_t tag = tagOf(hash);
        for (std::size_t i = static_cast<std::size_t>(hash >> shift_);; i = (i + 1) & mask_) {
            const std::uint8_t t = tags_[i];
            if (t == 0) return kNone;
            if (t == tag && slots_[i].key == key) return slots_[i].rank;
        }
    }

    // Stores `rank` for a pair not yet present.
    void insertNew(std::uint32_t left, std::uint32_t right, std::uint32_t rank);

    std::size_t size() const { return size_; }

private:
    struct Slot {
        std::uint64_t key;
        std::uint32_t rank;
    };

    static std::uint64_t pack(std::uint32_t left, std::uint32_t right) {
        return static_cast<std::uint64_t>(left) << 32 | right;
    }
    // 0x80 | the 7 hash bits just below those that pick the slot.
    std::uint8_t tagOf(std::uint64_t hash) const {
        return static_cast<std::uint8_t>(0x80u | ((hash >> (shift_ - 7)) & 0x7Fu));
    }
    void rehash(std::size_t capacity);
    void place(std::uint64_t key, std::uint32_t rank);

    std::vector<std::uint8_t> tags_;
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
    std::size_t size_ = 0;
};

}  // namespace brevix::bpe
