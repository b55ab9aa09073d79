#include "encode/bytes_index.h"

namespace brevix::bpe {

namespace {

constexpr std::uint64_t kMul1 = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kMul2 = 0xD6E8FEB86659FD93ull;

std::uint64_t load64(const char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

std::uint32_t load32(const char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// The last 1..7 bytes of a string as one word, from at most two fixed-size
// loads that may overlap (no copy of variable length).
std::uint64_t loadTail(const char* p, std::size_t n) {
    if (n >= 4) return static_cast<std::uint64_t>(load32(p)) << 32 | load32(p + n - 4);
    const auto first = static_cast<unsigned char>(p[0]);
    const auto middle = static_cast<unsigned char>(p[n >> 1]);
    const auto last = static_cast<unsigned char>(p[n - 1]);
    return static_cast<std::uint64_t>(first) << 16 | static_cast<std::uint64_t>(middle) << 8 | last;
}

std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 32;
    h *= kMul2;
    h ^= h >> 29;
    return h;
}

std::size_t capacityFor(std::size_t expected) {
    std::size_t capacity = 16;
    while (capacity < expected * 2) capacity <<= 1;
    return capacity;
}

}  // namespace

std::uint64_t hashBytes(const char* data, std::size_t size) {
    std::uint64_t h = (static_cast<std::uint64_t>(size) + 1) * kMul1;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) h = (h ^ load64(data + i)) * kMul1 + (h >> 41);
    if (i < size) h = (h ^ loadTail(data + i, size - i)) * kMul2;
    return mix(h);
}

BytesIndex::BytesIndex(std::size_t expected)
    : slots_(capacityFor(expected), Slot{0, kEmpty}), mask_(slots_.size() - 1) {}

// The slot holding `bytes`, or the free slot where it would go.
std::size_t BytesIndex::slotOf(const TokenArena& arena, std::string_view bytes,
                               std::uint64_t hash) const {
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    for (std::size_t i = home(hash);; i = (i + 1) & mask_) {
        const Slot& s = slots_[i];
        if (s.entry == kEmpty) return i;
        if (s.tag == tag && arena.view(static_cast<TokenId>(s.entry >> 1)) == bytes) return i;
    }
}

void BytesIndex::grow(const TokenArena& arena) {
    std::vector<Slot> old(capacityFor(size_ + 1), Slot{0, kEmpty});
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    for (const Slot& s : old) {
        if (s.entry == kEmpty) continue;
        const std::string_view bytes = arena.view(static_cast<TokenId>(s.entry >> 1));
        slots_[slotOf(arena, bytes, hashBytes(bytes.data(), bytes.size()))] = s;
    }
}

TokenId BytesIndex::insert(const TokenArena& arena, TokenId id, bool flag) {
    if ((size_ + 1) * 2 > slots_.size()) grow(arena);
    const std::string_view bytes = arena.view(id);
    const std::uint64_t hash = hashBytes(bytes.data(), bytes.size());
    Slot& s = slots_[slotOf(arena, bytes, hash)];
    if (s.entry != kEmpty) return static_cast<TokenId>(s.entry >> 1);
    s = Slot{static_cast<std::uint32_t>(hash >> 32),
             (static_cast<std::uint32_t>(id) << 1) | (flag ? 1u : 0u)};
    ++size_;
    return -1;
}

TokenId BytesIndex::find(const TokenArena& arena, std::string_view bytes, bool& flag) const {
    if (size_ == 0) return -1;
    const Slot& s = slots_[slotOf(arena, bytes, hashBytes(bytes.data(), bytes.size()))];
    if (s.entry == kEmpty) return -1;
    flag = (s.entry & 1u) != 0;
    return static_cast<TokenId>(s.entry >> 1);
}

void BytesIndex::setFlag(const TokenArena& arena, TokenId id, bool flag) {
    const std::string_view bytes = arena.view(id);
    Slot& s = slots_[slotOf(arena, bytes, hashBytes(bytes.data(), bytes.size()))];
    if (s.entry != kEmpty && static_cast<TokenId>(s.entry >> 1) == id) {
        s.entry = (s.entry & ~1u) | (flag ? 1u : 0u);
    }
}

}  // namespace brevix::bpe
