// What the engines derive from a merge table, kept with the tokenizer across
// calls and grown merge by merge, so a call on a small input costs in
// proportion to that input rather than to everything learned before.
//
// A merge table only ever grows (training appends merges with the next id;
// resetting a tokenizer starts from empty tables), so the index follows it
// by appending. It is a cache, never the source of truth: it checks itself
// against the tables before it is used, and where it does not describe them
// (tables changed behind its back, or it could not grow for lack of memory)
// the engines take the paths that need no index.
//
// Thread safety: refresh() is the only mutating member and runs only inside
// calls that mutate the tokenizer (training, loading a table, assignment);
// everything const may be called from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/dtypes.h"

namespace bytepairtokenizer {

class TableIndex {
public:
    TableIndex() noexcept = default;
    // A copy that cannot be made (memory) is left empty, which is stale for
    // any non-empty table; copying never throws.
    TableIndex(const TableIndex& other) noexcept;
    TableIndex& operator=(const TableIndex& other) noexcept;
    TableIndex(TableIndex&& other) noexcept = default;
    TableIndex& operator=(TableIndex&& other) noexcept = default;

    // Brings the index up to date with the tables: appends the merges
    // recorded since the last refresh (ids nextIndexed()..nextVocabIndex-1),
    // or starts over when the tables no longer extend what is indexed. On
    // failure (memory, or tables that break the id invariants) the index is
    // left empty. Never throws.
    void refresh(const DTYPE_BYTEPAIR_VOCAB& vocab, const DTYPE_BYTEPAIR_REV_VOCAB& revVocab,
                 int nextVocabIndex) noexcept;

    // Forgets everything, then refresh(): for tables replaced rather than
    // grown, which the constant-time checks below cannot always tell apart.
    void rebuild(const DTYPE_BYTEPAIR_VOCAB& vocab, const DTYPE_BYTEPAIR_REV_VOCAB& revVocab,
                 int nextVocabIndex) noexcept;

    // True when the index describes these tables. Constant time: the sizes,
    // the next id and three sampled merges (first, middle, newest) are
    // compared; tables replaced member by member need rebuild().
    bool current(const DTYPE_BYTEPAIR_VOCAB& vocab, const DTYPE_BYTEPAIR_REV_VOCAB& revVocab,
                 int nextVocabIndex) const;

    // The merged id of (left, right), or -1 when the pair is not a key.
    int find(int left, int right) const {
        if (slots_.empty()) return -1;
        for (std::size_t i = slot(left, right);; i = (i + 1) & mask_) {
            const int k = slots_[i];
            if (k < 0) return -1;
            const DTYPE_BYTEPAIR& p = pairs_[static_cast<std::size_t>(k)];
            if (p[0] == left && p[1] == right) return k + kFirstMergeId;
        }
    }

    // Some key holds `id` on either side. May answer true for an id that is
    // in no key (never the other way round).
    bool idInKeys(int id) const;

    // No merged id refers to itself or a later id (so every expansion ends)
    // and none expands to 2^31 bytes or more: appendExpansion() is exact and
    // expansionLength() known. Otherwise the expander, which reports cycles
    // and lengths it cannot write, decodes.
    bool decodesExactly() const { return !forwardReferences_ && !longExpansions_; }

    // Bytes `id` expands to. Only when decodesExactly().
    std::uint64_t expansionLength(int id) const {
        if (id < kFirstMergeId) return 1;
        const std::size_t k = static_cast<std::size_t>(id - kFirstMergeId);
        return k < lengths_.size() ? lengths_[k] : 2;  // an unassigned id: (0, 0)
    }

    // Appends the bytes of `id` to `out`, as the straightforward expansion
    // does; `stack` is scratch. Only when decodesExactly().
    void appendExpansion(std::string& out, int id, std::vector<int>& stack) const;

    // Bytes held, for the memory report.
    std::size_t bytesUsed() const;

private:
    static constexpr int kFirstMergeId = 256;

    std::size_t slot(int left, int right) const {
        const std::uint64_t key = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(left)) << 32) |
                                  static_cast<std::uint32_t>(right);
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    void clear() noexcept;
    bool samplesMatch(const DTYPE_BYTEPAIR_REV_VOCAB& revVocab) const;
    void reserveFor(std::size_t merges);
    void rehash(std::size_t capacity);
    void place(int k);
    void noteKeyId(int id);
    void append(const DTYPE_BYTEPAIR& pair);

    std::vector<DTYPE_BYTEPAIR> pairs_;  // by id - 256
    std::vector<std::uint32_t> lengths_;  // by id - 256, saturating
    // Open addressing over pairs_: each slot holds an index into pairs_, or
    // -1. 4 bytes a slot, the key read back from pairs_.
    std::vector<int> slots_;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
    // Ids held by some key: a bit per id from -128 up, a set for the rest.
    std::vector<std::uint64_t> keyIdBits_;
    std::unordered_set<int> otherKeyIds_;
    bool forwardReferences_ = false;
    bool longExpansions_ = false;
};

}  // namespace bytepairtokenizer
