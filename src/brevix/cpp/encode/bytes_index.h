// A hash index from byte strings to the ids of a TokenArena holding them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "encode/token_arena.h"
#include "encode/token_types.h"

namespace brevix::bpe {

// A fast hash of a byte string (not for untrusted-collision resistance: the
// keys are a vocabulary's tokens, chosen by whoever built it, and a lookup
// of any text costs at most one probe sequence).
std::uint64_t hashBytes(const char* data, std::size_t size);

// Maps byte strings to ids whose bytes live in a TokenArena; each entry
// carries one flag bit. The arena is passed to each call rather than held, so
// the owner of both may be moved or copied freely.
//
// Performance notes: a slot is 8 bytes (32 bits of the hash, the id, the
// flag), so a probe rarely touches the arena for a string that is not there;
// the table is at most half full.
class BytesIndex {
public:
    BytesIndex() = default;
    explicit BytesIndex(std::size_t expected);

    // Adds `id` (whose bytes `arena` holds) unless its bytes are present:
    // returns the id already there, or -1 when added.
    TokenId insert(const TokenArena& arena, TokenId id, bool flag);

    // The id stored for `bytes`, or -1; `flag` receives its flag.
    TokenId find(const TokenArena& arena, std::string_view bytes, bool& flag) const;

    void setFlag(const TokenArena& arena, TokenId id, bool flag);
    std::size_t size() const { return size_; }

private:
    struct Slot {
        std::uint32_t tag;    // the hash's high 32 bits
        std::uint32_t entry;  // id << 1 | flag; kEmpty for a free slot
    };
    static constexpr std::uint32_t kEmpty = UINT32_MAX;

    std::size_t home(std::uint64_t hash) const { return static_cast<std::size_t>(hash) & mask_; }
    std::size_t slotOf(const TokenArena& arena, std::string_view bytes, std::uint64_t hash) const;
    void grow(const TokenArena& arena);

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

}  // namespace brevix::bpe
