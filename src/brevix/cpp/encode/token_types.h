// The value types every part of standard byte-pair encoding shares.
#pragma once

#include <array>
#include <cstdint>

namespace brevix::bpe {

// Token ids run from 0 to the vocabulary's size - 1. A merge's id is also its
// rank: lower ids merge first.
using TokenId = std::int32_t;

// The id of the single-byte token of each byte value.
using ByteIds = std::array<TokenId, 256>;

// A merge: the adjacent tokens `left` and `right` become the token `id`.
struct Merge {
    TokenId left;
    TokenId right;
    TokenId id;
};

}  // namespace brevix::bpe
