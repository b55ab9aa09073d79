#include "pieces/piece_table.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace brevix::bpe {

namespace {

constexpr std::size_t kFirstSlots = 256;

}  // namespace

PieceTable::PieceTable() : slots_(kFirstSlots, Slot{0, 0, 0, 0}), mask_(kFirstSlots - 1) {}

void PieceTable::throwCountOverflow() {
    throw std::overflow_error("a piece count passes 2**64 - 1");
}

void PieceTable::insertAt(std::size_t slot, std::uint64_t hash, std::uint64_t head,
                          std::string_view piece, std::uint64_t count) {
    // Everything that can fail (allocation) happens before the table changes.
    // The arena at least doubles when it grows, so that growing piece by
    // piece stays linear.
    const std::size_t needed = arena_.size() + piece.size();
    if (needed > arena_.capacity()) arena_.reserve(std::max(needed, arena_.capacity() * 2));
    // At most one slot in two is used, so that probes stay short.
    if ((size_ + 1) * 2 > slots_.size()) {
        grow();
        slot = emptySlotFor(hash);
    }
    slots_[slot] = Slot{head, piece.size(), count, arena_.size()};
    arena_.insert(arena_.end(), piece.begin(), piece.end());
    ++size_;
}

void PieceTable::grow() {
    std::vector<Slot> slots(slots_.size() * 2, Slot{0, 0, 0, 0});
    const std::size_t mask = slots.size() - 1;
    for (const Slot& old : slots_) {
        if (old.length == 0) continue;
        std::size_t i = hashPiece(std::string_view(arena_.data() + old.offset, old.length)) & mask;
        while (slots[i].length != 0) i = (i + 1) & mask;
        slots[i] = old;
    }
    slots_.swap(slots);
    mask_ = mask;
}

std::size_t PieceTable::emptySlotFor(std::uint64_t hash) const {
    std::size_t i = hash & mask_;
    while (slots_[i].length != 0) i = (i + 1) & mask_;
    return i;
}

void PieceTable::addAll(const PieceTable& other) {
    other.forEach([this](std::string_view piece, std::uint64_t count) { add(piece, count); });
}

std::uint64_t PieceTable::countOf(std::string_view piece) const {
    if (piece.empty()) return 0;
    const std::uint64_t hash = hashPiece(piece);
    const std::uint64_t head = pieceHead(piece.data(), piece.size());
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
        const Slot& slot = slots_[i];
        if (slot.length == 0) return 0;
        if (slot.head == head && slot.length == piece.size() && sameTail(slot, piece)) {
            return slot.count;
        }
    }
}

std::size_t PieceTable::memoryBytes() const {
    return slots_.capacity() * sizeof(Slot) + arena_.capacity();
}

PieceTable PieceTable::take() {
    PieceTable taken;
    std::swap(taken.slots_, slots_);
    std::swap(taken.mask_, mask_);
    std::swap(taken.size_, size_);
    std::swap(taken.arena_, arena_);
    return taken;
}

}  // namespace brevix::bpe
