// Fast decoding: expands ids through the reverse merge table without
// recursion and without rebuilding any byte string twice.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dtypes.h"

namespace bytepairtokenizer {

class TokenExpander {
public:
    // Snapshots revVocab; merged ids are expected to be dense from 256 up.
    explicit TokenExpander(DTYPE_BYTEPAIR_REV_VOCAB& revVocab);

    // Appends the bytes of every id to `out`. Throws std::invalid_argument
    // (before writing anything) when an id's expansion leads back to itself,
    // naming the id the straightforward expansion names.
    void appendAll(std::string& out, const std::vector<int>& ids);

private:
    static constexpr int kShort = 16;  // expansions up to this long are cached

    enum State : std::uint8_t { kUnseen, kOnPath, kDone, kCyclic };

    bool isMerged(int id) const { return id >= 256; }
    std::size_t slot(int id) const { return static_cast<std::size_t>(id) - 256; }
    DTYPE_BYTEPAIR pairOf(int id) const;
    void resolve(int id);
    std::uint64_t lengthOf(int id) const;
    void fillShort(int id);
    void expandLong(char*& out, int id) const;

    DTYPE_BYTEPAIR_REV_VOCAB& revVocab_;  // only read
    int end_ = 256;  // dense ids 256..end_-1 have slots; others decode as (0, 0)
    std::vector<DTYPE_BYTEPAIR> pairs_;
    std::vector<std::uint64_t> length_;
    std::vector<State> state_;
    std::vector<char> short_;  // kShort bytes per slot
    std::vector<int> stack_;
};

}  // namespace bytepairtokenizer
