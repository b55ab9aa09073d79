#include "encode/pair_rank_map.h"

namespace brevix::bpe {

namespace {

std::size_t capacityFor(std::size_t expected) {
    std::size_t capacity = 256;  // keeps shift_ >= 7 bits below the tag
    while (capacity < expected * 2) capacity <<= 1;
    return capacity;
}

}  // namespace

PairRankMap::PairRankMap(std::size_t expected) { rehash(capacityFor(expected)); }

void PairRankMap::place(std::uint64_t key, std::uint32_t rank) {
    const std::uint64_t hash = key * 0x9E3779B97F4A7C15ull;
    std::size_t i = static_cast<std::size_t>(hash >> shift_);
    while (tags_[i] != 0) i = (i + 1) & mask_;
    tags_[i] = tagOf(hash);
    slots_[i] = Slot{key, rank};
}

void PairRankMap::rehash(std::size_t capacity) {
    std::vector<std::uint8_t> oldTags(capacity, 0);
    std::vector<Slot> oldSlots(capacity, Slot{0, 0});
    oldTags.swap(tags_);
    oldSlots.swap(slots_);
    mask_ = capacity - 1;
    shift_ = 64;
    for (std::size_t c = capacity; c > 1; c >>= 1) --shift_;
    for (std::size_t i = 0; i < oldTags.size(); ++i) {
        if (oldTags[i] != 0) place(oldSlots[i].key, oldSlots[i].rank);
    }
}

void PairRankMap::insertNew(std::uint32_t left, std::uint32_t right, std::uint32_t rank) {
    if (slots_.empty() || (size_ + 1) * 2 > slots_.size()) rehash(capacityFor(size_ + 1));
    place(pack(left, right), rank);
    ++size_;
}

}  // namespace brevix::bpe
