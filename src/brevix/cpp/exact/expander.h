// Fast decoding: expands ids through the reverse merge table without
// recursion, in one pass into storage that grows as needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_sink.h"
#include "common/dtypes.h"

namespace bytepairtokenizer {

class TokenExpander {
public:
    // Resolves every merged id of revVocab up front (lengths, short
    // expansions, cycles): O(number of merges). revVocab is only read.
    explicit TokenExpander(DTYPE_BYTEPAIR_REV_VOCAB& revVocab);

    // Appends the bytes of every id to `out`. Throws std::invalid_argument
    // (before writing anything) when an id's expansion leads back to itself,
    // naming the id the straightforward expansion names.
    void appendAll(std::string& out, const std::vector<int>& ids);

    // Writes the bytes of every id into `sink` from its start and returns how
    // many were written. Throws as appendAll does, before asking for room.
    std::size_t writeAll(ByteSink& sink, const std::vector<int>& ids);

    // writeAll() over ids read from `source` a block at a time, so they are
    // never held all at once. Only for a table without cyclic or saturated
    // ids (see bounded()), where decoding cannot fail on an id. Returns false
    // when the source gave up; what was written is then meaningless.
    bool writeFrom(ByteSink& sink, IdSource& source, std::size_t expectedIds,
                   std::size_t& written);
    bool bounded() const { return allBounded_; }

private:
    static constexpr std::size_t kShort = 16;  // expansions up to this long are cached
    static constexpr std::uint8_t kNotShort = 255;  // shortLength_ of longer or cyclic ids

    enum State : std::uint8_t { kUnseen, kOnPath, kDone, kCyclic };

    // Table index of ids -128 .. end_-1; anything else is outside.
    std::size_t index(int id) const { return static_cast<std::size_t>(static_cast<std::uint32_t>(id + 128)); }
    bool inTable(int id) const { return id >= -128 && id < end_; }
    bool isMerged(int id) const { return id >= 256; }
    void resolve(int id);
    void fillShort(int id);
    std::uint64_t lengthOf(int id) const;
    char* expandLong(char* out, int id) const;
    void checkExpandable(const std::vector<int>& ids);
    class Writer;

    DTYPE_BYTEPAIR_REV_VOCAB& revVocab_;
    int end_ = 256;  // merged ids 256..end_-1 are in the table; others decode as (0, 0)
    std::vector<DTYPE_BYTEPAIR> pairs_;  // by index
    std::vector<std::uint64_t> length_;  // by index; saturated for cyclic ids
    std::vector<State> state_;           // by index
    std::vector<char> short_;            // kShort bytes per index
    std::vector<std::uint8_t> shortLength_;  // by index: length up to kShort, else kNotShort
    bool allBounded_ = true;  // no id in the table is cyclic or saturated
};

}  // namespace bytepairtokenizer
