#include "expander.h"

#include <cstring>
#include <stdexcept>

#include "tokenizer.h"

// Performance notes
// - Lengths are resolved once per reachable id (post-order, explicit stack),
//   so the output is sized exactly and written without reallocation.
// - Ids whose expansion is at most 16 bytes are cached as 16-byte blocks and
//   copied with one fixed-size memcpy; the output keeps 16 bytes of slack so
//   the copy may overrun the token's true length.
// - Longer ids are expanded with an explicit stack that stops at cached ids,
//   so a chain 100,000 levels deep costs no C++ stack.

namespace bytepairtokenizer {

namespace {

constexpr std::uint64_t kLengthCap = std::uint64_t{1} << 62;  // saturates absurd expansions

inline char tokenByte(int id) { return static_cast<char>(static_cast<std::uint32_t>(id) & 0xFFu); }

}  // namespace

TokenExpander::TokenExpander(DTYPE_BYTEPAIR_REV_VOCAB& revVocab) : revVocab_(revVocab) {
    for (const auto& entry : revVocab) {
        if (entry.first >= end_) end_ = entry.first + 1;
    }
    const std::size_t n = static_cast<std::size_t>(end_) - 256;
    pairs_.assign(n, DTYPE_BYTEPAIR{0, 0});
    for (const auto& entry : revVocab) {
        if (entry.first >= 256) pairs_[slot(entry.first)] = entry.second;
    }
    length_.assign(n, 0);
    state_.assign(n, kUnseen);
    short_.assign(n * kShort, 0);
}

DTYPE_BYTEPAIR TokenExpander::pairOf(int id) const {
    return id < end_ ? pairs_[slot(id)] : DTYPE_BYTEPAIR{0, 0};
}

std::uint64_t TokenExpander::lengthOf(int id) const {
    if (!isMerged(id)) return 1;
    if (id >= end_) return 2;
    return length_[slot(id)];
}

// Post-order walk from `id`: every id below it gets its length and, when
// short, its cached bytes. An id met again while on the walk's path, and
// every id above it, is marked cyclic.
void TokenExpander::resolve(int id) {
    if (!isMerged(id) || id >= end_ || state_[slot(id)] != kUnseen) return;
    stack_.clear();
    stack_.push_back(id);
    state_[slot(id)] = kOnPath;
    while (!stack_.empty()) {
        const int top = stack_.back();
        const DTYPE_BYTEPAIR pair = pairs_[slot(top)];
        bool descended = false;
        bool cyclic = false;
        for (int child : pair) {
            if (!isMerged(child) || child >= end_) continue;
            const State s = state_[slot(child)];
            if (s == kUnseen) {
                state_[slot(child)] = kOnPath;
                stack_.push_back(child);
                descended = true;
                break;
            }
            if (s == kOnPath || s == kCyclic) cyclic = true;
        }
        if (descended) continue;
        stack_.pop_back();
        if (cyclic) {
            state_[slot(top)] = kCyclic;
            continue;
        }
        const std::uint64_t len = lengthOf(pair[0]) + lengthOf(pair[1]);
        length_[slot(top)] = len < kLengthCap ? len : kLengthCap;
        state_[slot(top)] = kDone;
        if (len <= kShort) fillShort(top);
    }
}

void TokenExpander::fillShort(int id) {
    char* dst = &short_[slot(id) * kShort];
    for (int child : pairOf(id)) {
        if (!isMerged(child)) {
            *dst++ = tokenByte(child);
        } else if (child >= end_) {
            *dst++ = 0;
            *dst++ = 0;
        } else {
            const std::size_t len = static_cast<std::size_t>(length_[slot(child)]);
            std::memcpy(dst, &short_[slot(child) * kShort], len);
            dst += len;
        }
    }
}

void TokenExpander::expandLong(char*& out, int id) const {
    std::vector<int> stack{id};
    while (!stack.empty()) {
        const int t = stack.back();
        stack.pop_back();
        if (!isMerged(t)) {
            *out++ = tokenByte(t);
        } else if (t >= end_) {
            *out++ = 0;
            *out++ = 0;
        } else if (length_[slot(t)] <= kShort) {
            std::memcpy(out, &short_[slot(t) * kShort], kShort);
            out += length_[slot(t)];
        } else {
            const DTYPE_BYTEPAIR& pair = pairs_[slot(t)];
            stack.push_back(pair[1]);
            stack.push_back(pair[0]);
        }
    }
}

void TokenExpander::appendAll(std::string& out, const std::vector<int>& ids) {
    std::uint64_t total = 0;
    for (int id : ids) {
        resolve(id);
        if (isMerged(id) && id < end_ && state_[slot(id)] == kCyclic) {
            // Let the straightforward expansion name the id it meets again.
            _decodeRecursive(id, revVocab_);
            throw std::invalid_argument("cannot decode token id " + std::to_string(id) +
                                        ": its expansion leads back to itself");
        }
        total += lengthOf(id);
        if (total >= kLengthCap) throw std::length_error("decoded text too long");
    }
    const std::size_t start = out.size();
    out.resize(start + static_cast<std::size_t>(total) + kShort);
    char* p = &out[start];
    for (int id : ids) {
        if (!isMerged(id)) {
            *p++ = tokenByte(id);
        } else if (id < end_ && length_[slot(id)] <= kShort) {
            std::memcpy(p, &short_[slot(id) * kShort], kShort);
            p += length_[slot(id)];
        } else {
            expandLong(p, id);
        }
    }
    out.resize(start + static_cast<std::size_t>(total));
}

}  // namespace bytepairtokenizer
