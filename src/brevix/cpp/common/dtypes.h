// Shared value types of the core: the token pair, its hash and the three
// table types. The walk order of the pair-keyed tables decides which of
// several equally frequent pairs training merges, so these stay
// std::unordered_map of the GNU standard library (see walk_order.h for the
// closed form of that order).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_map>

// An ordered pair of token ids: element 0 is the left id, element 1 the right.
using DTYPE_BYTEPAIR = std::array<int, 2>;

// Hash of a fixed array of N values: h ^= u(x) + golden + (h << 6) + (h >> 2),
// all in unsigned 32-bit arithmetic. The value is zero-extended to size_t so
// that bucket indices (hash mod bucket count) match a 32-bit platform.
// Deliberately not noexcept: the GNU table then stores the hash beside each
// key, as the walk-order analysis assumes.
template <typename T, std::size_t N>
struct ArrayHasher {
    std::size_t operator()(const std::array<T, N>& a) const {
        std::uint32_t h = 0;
        for (std::size_t i = 0; i < N; ++i) {
            h ^= static_cast<std::uint32_t>(a[i]) + 0x9E3779B9u + (h << 6) + (h >> 2);
        }
        return static_cast<std::size_t>(h);
    }
};

// The hash of a single id: its bit pattern as an unsigned 32-bit value.
struct TokenIdHasher {
    std::size_t operator()(int id) const noexcept {
        return static_cast<std::size_t>(static_cast<std::uint32_t>(id));
    }
};

// Pair frequencies of a corpus.
using DTYPE_BYTEPAIR_STATS = std::unordered_map<DTYPE_BYTEPAIR, int, ArrayHasher<int, 2>>;
// Merge table: learned pair -> id of the token that replaces it.
using DTYPE_BYTEPAIR_VOCAB = std::unordered_map<DTYPE_BYTEPAIR, int, ArrayHasher<int, 2>>;
// Reverse merge table: merged id -> the pair it stands for.
using DTYPE_BYTEPAIR_REV_VOCAB = std::unordered_map<int, DTYPE_BYTEPAIR, TokenIdHasher>;

// The 32-bit pair hash itself, for code that reproduces the table order
// without building a table.
inline std::uint32_t pairHash(int left, int right) {
    return static_cast<std::uint32_t>(ArrayHasher<int, 2>{}(DTYPE_BYTEPAIR{left, right}));
}
