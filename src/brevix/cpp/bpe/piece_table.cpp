#include "bpe/piece_table.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace brevix::bpe {

namespace {

constexpr std::size_t kFirstSlots = 1024;
// At most one slot in two is used, so that probes stay short.
constexpr std::size_t kMostEntries = 0xFFFFFFFEu;

// Makes room for `needed` items, at least doubling the capacity when it must
// grow, so that growing one item at a time stays linear overall.
template <typename T>
void reserveGeometric(std::vector<T>& v, std::size_t needed) {
    if (needed > v.capacity()) v.reserve(std::max(needed, v.capacity() * 2));
}

}  // namespace

PieceTable::PieceTable() : slots_(kFirstSlots, 0), mask_(kFirstSlots - 1) {}

void PieceTable::throwCountOverflow() {
    throw std::overflow_error("a piece count passes 2**64 - 1");
}

void PieceTable::insertAt(std::size_t slot, std::uint64_t hash, std::string_view piece,
                          std::uint64_t count) {
    if (entries_.size() >= kMostEntries) throw std::length_error("too many distinct pieces");
    // Everything that can fail (allocation) happens before the table changes.
    reserveGeometric(entries_, entries_.size() + 1);
    reserveGeometric(arena_, arena_.size() + piece.size());
    if ((entries_.size() + 1) * 2 > slots_.size()) {
        grow();
        slot = emptySlotFor(hash);
    }
    arena_.insert(arena_.end(), piece.begin(), piece.end());
    entries_.push_back(Entry{arena_.size() - piece.size(), piece.size(), count});
    slots_[slot] = (hash >> 32) << 32 | entries_.size();
}

void PieceTable::grow() {
    std::vector<std::uint64_t> slots(slots_.size() * 2, 0);
    const std::size_t mask = slots.size() - 1;
    for (std::size_t index = 0; index < entries_.size(); ++index) {
        const Entry& entry = entries_[index];
        const std::uint64_t hash =
            hashPiece(std::string_view(arena_.data() + entry.offset, entry.length));
        std::size_t i = hash & mask;
        while (slots[i] != 0) i = (i + 1) & mask;
        slots[i] = (hash >> 32) << 32 | (index + 1);
    }
    slots_.swap(slots);
    mask_ = mask;
}

std::size_t PieceTable::emptySlotFor(std::uint64_t hash) const {
    std::size_t i = hash & mask_;
    while (slots_[i] != 0) i = (i + 1) & mask_;
    return i;
}

void PieceTable::addAll(const PieceTable& other) {
    other.forEach([this](std::string_view piece, std::uint64_t count) { add(piece, count); });
}

std::uint64_t PieceTable::countOf(std::string_view piece) const {
    if (piece.empty()) return 0;
    const std::uint64_t hash = hashPiece(piece);
    const std::uint32_t tag = static_cast<std::uint32_t>(hash >> 32);
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
        const std::uint64_t slot = slots_[i];
        if (slot == 0) return 0;
        if (static_cast<std::uint32_t>(slot >> 32) != tag) continue;
        const Entry& entry = entries_[static_cast<std::uint32_t>(slot) - 1];
        if (entry.length == piece.size() &&
            std::memcmp(arena_.data() + entry.offset, piece.data(), piece.size()) == 0) {
            return entry.count;
        }
    }
}

std::size_t PieceTable::memoryBytes() const {
    return slots_.capacity() * sizeof(std::uint64_t) + entries_.capacity() * sizeof(Entry) +
           arena_.capacity();
}

PieceTable PieceTable::take() {
    PieceTable taken;
    std::swap(taken.slots_, slots_);
    std::swap(taken.mask_, mask_);
    std::swap(taken.entries_, entries_);
    std::swap(taken.arena_, arena_);
    return taken;
}

}  // namespace brevix::bpe
