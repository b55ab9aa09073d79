// The distinct pieces of a corpus and how often each occurs: a flat
// open-addressing table over the piece bytes, which live one after the other
// in an arena.
//
// Performance notes: counting calls add() once per piece of the corpus (26
// million times for 100 MB of text), almost always for a piece already in
// the table, so a hit must cost one hash of the bytes, one probe that rejects
// other pieces by a 32-bit tag without touching them, and one comparison of
// the bytes. Slots hold only the tag and the entry's index (8 bytes), so the
// slots of the frequent pieces stay in cache; the entries and the arena are
// touched only on a tag match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace brevix::bpe {

namespace detail {

inline std::uint64_t load64(const char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline std::uint64_t load32(const char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// The high and low halves of the 128-bit product, folded: a strong mix of
// two 64-bit words in one multiplication.
inline std::uint64_t fold(std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

}  // namespace detail

// The hash of a piece's bytes (the same in every run; byte order is the
// machine's). Short pieces, the usual case, cost one or two loads and two
// multiplications: the bytes are read as overlapping words rather than one
// at a time.
inline std::uint64_t hashPiece(std::string_view piece) {
    constexpr std::uint64_t k0 = 0x9E3779B97F4A7C15ull, k1 = 0xD6E8FEB86659FD93ull;
    const char* p = piece.data();
    std::size_t n = piece.size();
    std::uint64_t a = 0, b = 0;
    if (n > 16) {
        std::uint64_t h = k1 ^ n;
        const char* end = p + n;
        for (; end - p > 16; p += 16) {
            h = detail::fold(detail::load64(p) ^ k0, detail::load64(p + 8) ^ h);
        }
        a = detail::load64(end - 16) ^ h;  // the last 16 bytes, overlapping the loop's
        b = detail::load64(end - 8);
    } else if (n >= 8) {
        a = detail::load64(p);
        b = detail::load64(p + n - 8);
    } else if (n >= 4) {
        a = detail::load32(p);
        b = detail::load32(p + n - 4);
    } else if (n > 0) {
        const auto u = [p](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])); };
        a = u(0) << 16 | u(n / 2) << 8 | u(n - 1);
    }
    return detail::fold(a ^ k0, b ^ k1 ^ (static_cast<std::uint64_t>(piece.size()) << 56)) * k0;
}

class PieceTable {
public:
    PieceTable();

    // Adds `count` to the count of `piece` (an absent piece starts at 0).
    // Empty pieces are ignored. Throws std::overflow_error when the count
    // would pass 2^64 - 1 and std::length_error past 2^32 - 2 distinct
    // pieces; the table is unchanged then.
    void add(std::string_view piece, std::uint64_t count = 1) {
        if (piece.empty()) return;
        addHashed(piece, hashPiece(piece), count);
    }

    // add() with the piece's hashPiece() already computed.
    void addHashed(std::string_view piece, std::uint64_t hash, std::uint64_t count) {
        const std::uint32_t tag = static_cast<std::uint32_t>(hash >> 32);
        for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
            const std::uint64_t slot = slots_[i];
            if (slot == 0) {
                insertAt(i, hash, piece, count);
                return;
            }
            if (static_cast<std::uint32_t>(slot >> 32) == tag) {
                Entry& entry = entries_[static_cast<std::uint32_t>(slot) - 1];
                if (entry.length == piece.size() &&
                    std::memcmp(arena_.data() + entry.offset, piece.data(), piece.size()) == 0) {
                    if (entry.count + count < count) throwCountOverflow();
                    entry.count += count;
                    return;
                }
            }
        }
    }

    // Adds every piece of `other` with its count (same failures as add()).
    void addAll(const PieceTable& other);

    // The count of `piece`; 0 when absent.
    std::uint64_t countOf(std::string_view piece) const;

    // Number of distinct pieces.
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

    // Calls visit(piece, count) for every piece in the order they were first
    // added. The views stay valid until the table changes.
    template <typename Visit>
    void forEach(Visit&& visit) const {
        for (const Entry& entry : entries_) {
            visit(std::string_view(arena_.data() + entry.offset, entry.length), entry.count);
        }
    }

    // Total bytes of the distinct pieces.
    std::size_t pieceBytes() const { return arena_.size(); }

    // Bytes the table holds on the heap (capacities, not sizes).
    std::size_t memoryBytes() const;

    // Moves the contents out, leaving this table empty and usable.
    PieceTable take();

private:
    struct Entry {
        std::uint64_t offset;  // of its bytes in arena_
        std::uint64_t length;
        std::uint64_t count;
    };

    // Adds a piece known to be absent, whose probe sequence ends at the empty
    // `slot`.
    void insertAt(std::size_t slot, std::uint64_t hash, std::string_view piece,
                  std::uint64_t count);
    // Doubles the slots (the entries keep their indices).
    void grow();
    // The first empty slot of the probe sequence of `hash`.
    std::size_t emptySlotFor(std::uint64_t hash) const;
    [[noreturn]] static void throwCountOverflow();

    std::vector<std::uint64_t> slots_;  // tag << 32 | (entry index + 1); 0 when empty
    std::size_t mask_ = 0;              // slots_.size() - 1 (a power of two)
    std::vector<Entry> entries_;
    std::vector<char> arena_;
};

}  // namespace brevix::bpe
