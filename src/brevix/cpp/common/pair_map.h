// A flat open-addressing map from a pair of token ids to a non-negative int.
// Used on the hot paths of training and merging, where std::unordered_map's
// node allocations and pointer chasing dominate.
#pragma once

#include <cstdint>
#include <vector>

namespace bytepairtokenizer {

class PairMap {
public:
    explicit PairMap(std::size_t expected = 16) { rehash(capacityFor(expected)); }

    // The value stored for (left, right), or -1.
    int find(int left, int right) const {
        const std::uint64_t key = pack(left, right);
        for (std::size_t i = slot(key);; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.value < 0) return -1;
            if (s.key == key) return s.value;
        }
    }

    // Stores value (>= 0) for a pair not yet present.
    void insertNew(int left, int right, int value) {
        if ((size_ + 1) * 2 > slots_.size()) rehash(slots_.size() * 2);
        place(pack(left, right), value);
        ++size_;
    }

    std::size_t size() const { return size_; }

    // Bytes of its slots.
    std::size_t memoryBytes() const { return slots_.capacity() * sizeof(Slot); }

private:
    struct Slot {
        std::uint64_t key;
        int value;  // -1: empty
    };

    static std::uint64_t pack(int left, int right) {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(left)) << 32) |
               static_cast<std::uint32_t>(right);
    }
    static std::size_t capacityFor(std::size_t n) {
        std::size_t c = 16;
        while (c < n * 2) c <<= 1;
        return c;
    }
    std::size_t slot(std::uint64_t key) const {
        // Fibonacci hashing: the multiply spreads both halves into the top bits.
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    void place(std::uint64_t key, int value) {
        std::size_t i = slot(key);
        while (slots_[i].value >= 0) i = (i + 1) & mask_;
        slots_[i] = Slot{key, value};
    }
    void rehash(std::size_t capacity) {
        std::vector<Slot> old;
        old.swap(slots_);
        slots_.assign(capacity, Slot{0, -1});
        mask_ = capacity - 1;
        shift_ = 64;
        for (std::size_t c = capacity; c > 1; c >>= 1) --shift_;
        for (const Slot& s : old) {
            if (s.value >= 0) place(s.key, s.value);
        }
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
    std::size_t size_ = 0;
};

}  // namespace bytepairtokenizer
