// The bytes of many tokens in one flat block, addressed by token id.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "encode/token_types.h"

namespace brevix::bpe {

class TokenArena {
public:
    // Bytes readable past the end of the last token, so that a reader may
    // copy a fixed-size block from any token's start.
    static constexpr std::size_t kPadding = 16;

    TokenArena() { bytes_.assign(kPadding, '\0'); }

    // Reserves room for `tokens` tokens of `totalBytes` bytes in all.
    void reserve(std::size_t tokens, std::size_t totalBytes) {
        offsets_.reserve(tokens + 1);
        bytes_.reserve(totalBytes + kPadding);
    }

    // Adds the next token (id size()). Throws std::length_error when the
    // arena would pass 4 GiB.
    void append(std::string_view token) {
        const std::size_t used = bytes_.size() - kPadding;
        if (token.size() > UINT32_MAX - used) throw std::length_error("token bytes exceed 4 GiB in all");
        bytes_.resize(used);
        bytes_.append(token);
        bytes_.append(kPadding, '\0');
        offsets_.push_back(static_cast<std::uint32_t>(used + token.size()));
    }

    // Adds the next token as the concatenation of two earlier tokens.
    void appendJoined(TokenId left, TokenId right) {
        const std::size_t leftLength = length(left);
        const std::size_t rightLength = length(right);
        const std::size_t used = bytes_.size() - kPadding;
        if (leftLength + rightLength > UINT32_MAX - used) {
            throw std::length_error("token bytes exceed 4 GiB in all");
        }
        bytes_.resize(used + leftLength + rightLength + kPadding);
        char* out = &bytes_[used];
        bytes_.copy(out, leftLength, begin(left));
        bytes_.copy(out + leftLength, rightLength, begin(right));
        std::fill(out + leftLength + rightLength, out + leftLength + rightLength + kPadding, '\0');
        offsets_.push_back(static_cast<std::uint32_t>(used + leftLength + rightLength));
    }

    std::size_t size() const { return offsets_.size() - 1; }
    std::size_t totalBytes() const { return bytes_.size() - kPadding; }

    // For an id below size().
    std::size_t begin(TokenId id) const { return offsets_[static_cast<std::size_t>(id)]; }
    std::size_t length(TokenId id) const {
        return offsets_[static_cast<std::size_t>(id) + 1] - offsets_[static_cast<std::size_t>(id)];
    }
    std::string_view view(TokenId id) const { return {bytes_.data() + begin(id), length(id)}; }

    // The block itself, kPadding readable bytes past totalBytes().
    const char* data() const { return bytes_.data(); }
    const std::uint32_t* offsets() const { return offsets_.data(); }

private:
    std::string bytes_;
    std::vector<std::uint32_t> offsets_{0};
};

}  // namespace brevix::bpe
