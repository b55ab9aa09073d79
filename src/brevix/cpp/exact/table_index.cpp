#include "exact/table_index.h"

#include <algorithm>
#include <new>
#include <utility>

// Performance notes
// - Memory per merge: 8 bytes of pair, 4 of expansion length, 4-byte slots
//   at a load between 1/4 and 1/2 (8 to 16 bytes), a bit per id of the
//   key-id set, plus vector slack: about 20 to 25 bytes a merge, against
//   about 100 for the two tables themselves (GNU nodes with the stored hash,
//   malloc headers, buckets).
// - Decoding reserves the exact output from the stored lengths, then
//   expands; without the lengths the string regrew about log2(n) times.
// - Slots hold an index into pairs_ instead of the key: 4 bytes instead of
//   16, for one more load per probe. The index serves only inputs much
//   shorter than the table; long inputs still build the flat MergeLookup,
//   whose cost is then paid back many times over.
// - Growth is amortised: pairs_ and slots_ double, so 250,000 single-merge
//   calls cost about 500,000 slot placements in all.
// - Measured (bench/small_calls.py): encoding 1,000 bytes costs about the
//   same at 1,000 and 250,000 merges (23 and 28 us) where the per-call
//   lookup build or the plain passes took 24 and 70 us; decoding 1,000
//   tokens 15 to 24 us where the expander's set-up or the plain expansion
//   (a hash set per id) took 40 to 90 us. 250,000 single-merge fits and a
//   decode of the top id: 0.6 s, from over 10 minutes.

namespace bytepairtokenizer {

namespace {

constexpr int kBitBase = -128;
// Expansions this long or longer are left to the expander, which refuses
// what it cannot write (a string of 2^32 bytes) before allocating.
constexpr std::uint64_t kLongExpansion = std::uint64_t{1} << 31;

inline char tokenByte(int id) { return static_cast<char>(static_cast<std::uint32_t>(id) & 0xFFu); }

}  // namespace

TableIndex::TableIndex(const TableIndex& other) noexcept {
    try {
        pairs_ = other.pairs_;
        lengths_ = other.lengths_;
        slots_ = other.slots_;
        keyIdBits_ = other.keyIdBits_;
        otherKeyIds_ = other.otherKeyIds_;
        mask_ = other.mask_;
        shift_ = other.shift_;
        forwardReferences_ = other.forwardReferences_;
        longExpansions_ = other.longExpansions_;
    } catch (...) {
        clear();
    }
}

TableIndex& TableIndex::operator=(const TableIndex& other) noexcept {
    if (this != &other) {
        TableIndex copy(other);
        *this = std::move(copy);
    }
    return *this;
}

void TableIndex::clear() noexcept {
    std::vector<DTYPE_BYTEPAIR>().swap(pairs_);
    std::vector<std::uint32_t>().swap(lengths_);
    std::vector<int>().swap(slots_);
    std::vector<std::uint64_t>().swap(keyIdBits_);
    std::unordered_set<int>().swap(otherKeyIds_);
    mask_ = 0;
    shift_ = 64;
    forwardReferences_ = false;
    longExpansions_ = false;
}

bool TableIndex::current(const DTYPE_BYTEPAIR_VOCAB& vocab, const DTYPE_BYTEPAIR_REV_VOCAB& revVocab,
                         int nextVocabIndex) const {
    const std::size_t n = pairs_.size();
    if (static_cast<long long>(n) + kFirstMergeId != nextVocabIndex || revVocab.size() != n ||
        vocab.size() != n) {
        return false;
    }
    return samplesMatch(revVocab);
}

// The first, middle and newest indexed merges are still in the tables.
bool TableIndex::samplesMatch(const DTYPE_BYTEPAIR_REV_VOCAB& revVocab) const {
    if (pairs_.empty()) return true;
    for (std::size_t k : {std::size_t{0}, pairs_.size() / 2, pairs_.size() - 1}) {
        const auto entry = revVocab.find(kFirstMergeId + static_cast<int>(k));
        if (entry == revVocab.end() || entry->second != pairs_[k]) return false;
    }
    return true;
}

void TableIndex::rebuild(const DTYPE_BYTEPAIR_VOCAB& vocab,
                         const DTYPE_BYTEPAIR_REV_VOCAB& revVocab, int nextVocabIndex) noexcept {
    clear();
    refresh(vocab, revVocab, nextVocabIndex);
}

void TableIndex::refresh(const DTYPE_BYTEPAIR_VOCAB& vocab,
                         const DTYPE_BYTEPAIR_REV_VOCAB& revVocab, int nextVocabIndex) noexcept {
    try {
        const long long wanted = static_cast<long long>(nextVocabIndex) - kFirstMergeId;
        if (wanted < 0 || revVocab.size() != static_cast<std::size_t>(wanted) ||
            vocab.size() != revVocab.size()) {
            clear();  // not tables updateVocab could have built
            return;
        }
        // Still a prefix of the tables? Otherwise they were replaced.
        if (static_cast<long long>(pairs_.size()) > wanted || !samplesMatch(revVocab)) clear();
        if (static_cast<long long>(pairs_.size()) == wanted) return;
        reserveFor(static_cast<std::size_t>(wanted));
        for (long long k = static_cast<long long>(pairs_.size()); k < wanted; ++k) {
            const int id = kFirstMergeId + static_cast<int>(k);
            const auto entry = revVocab.find(id);
            if (entry == revVocab.end()) {
                clear();
                return;
            }
            const auto key = vocab.find(entry->second);
            if (key == vocab.end() || key->second != id) {
                clear();
                return;
            }
            append(entry->second);
        }
    } catch (...) {
        clear();  // memory: leave no half-grown state behind
    }
}

// Room for `merges` pairs and their slots, allocated before anything
// changes, so append() below cannot fail half way.
void TableIndex::reserveFor(std::size_t merges) {
    if (pairs_.capacity() < merges) pairs_.reserve(std::max(merges, pairs_.capacity() * 2));
    if (lengths_.capacity() < merges) lengths_.reserve(pairs_.capacity());
    std::size_t capacity = std::max<std::size_t>(slots_.size(), 16);
    while (capacity < merges * 2) capacity *= 2;
    if (capacity != slots_.size()) rehash(capacity);
    const long long highestId = static_cast<long long>(merges) + kFirstMergeId;
    const std::size_t words = static_cast<std::size_t>(highestId - kBitBase) / 64 + 1;
    if (keyIdBits_.size() < words) keyIdBits_.resize(std::max(words, keyIdBits_.size() * 2), 0);
}

void TableIndex::rehash(std::size_t capacity) {
    std::vector<int> fresh(capacity, -1);
    fresh.swap(slots_);
    mask_ = capacity - 1;
    shift_ = 64;
    for (std::size_t c = capacity; c > 1; c >>= 1) --shift_;
    for (std::size_t k = 0; k < pairs_.size(); ++k) place(static_cast<int>(k));
}

void TableIndex::place(int k) {
    const DTYPE_BYTEPAIR& p = pairs_[static_cast<std::size_t>(k)];
    std::size_t i = slot(p[0], p[1]);
    while (slots_[i] >= 0) i = (i + 1) & mask_;
    slots_[i] = k;
}

void TableIndex::noteKeyId(int id) {
    const long long bit = static_cast<long long>(id) - kBitBase;
    if (bit >= 0 && static_cast<std::size_t>(bit / 64) < keyIdBits_.size()) {
        keyIdBits_[static_cast<std::size_t>(bit / 64)] |= std::uint64_t{1} << (bit % 64);
    } else {
        otherKeyIds_.insert(id);  // may throw; an extra entry only makes idInKeys cautious
    }
}

void TableIndex::append(const DTYPE_BYTEPAIR& pair) {
    const int id = kFirstMergeId + static_cast<int>(pairs_.size());
    noteKeyId(pair[0]);
    noteKeyId(pair[1]);
    forwardReferences_ = forwardReferences_ || pair[0] >= id || pair[1] >= id;
    // Lengths only mean something while no merge refers forward.
    const std::uint64_t length =
        forwardReferences_ ? 0 : expansionLength(pair[0]) + expansionLength(pair[1]);
    longExpansions_ = longExpansions_ || length >= kLongExpansion;
    pairs_.push_back(pair);  // capacity reserved: cannot throw
    lengths_.push_back(static_cast<std::uint32_t>(std::min(length, kLongExpansion)));
    place(static_cast<int>(pairs_.size()) - 1);
}

bool TableIndex::idInKeys(int id) const {
    const long long bit = static_cast<long long>(id) - kBitBase;
    if (bit >= 0 && static_cast<std::size_t>(bit / 64) < keyIdBits_.size() &&
        (keyIdBits_[static_cast<std::size_t>(bit / 64)] >> (bit % 64) & 1u) != 0) {
        return true;
    }
    return !otherKeyIds_.empty() && otherKeyIds_.count(id) != 0;
}

void TableIndex::appendExpansion(std::string& out, int id, std::vector<int>& stack) const {
    if (id < kFirstMergeId) {
        out.push_back(tokenByte(id));
        return;
    }
    stack.clear();
    stack.push_back(id);
    while (!stack.empty()) {
        const int t = stack.back();
        stack.pop_back();
        if (t < kFirstMergeId) {
            out.push_back(tokenByte(t));
        } else if (static_cast<std::size_t>(t - kFirstMergeId) < pairs_.size()) {
            const DTYPE_BYTEPAIR& p = pairs_[static_cast<std::size_t>(t - kFirstMergeId)];
            stack.push_back(p[1]);
            stack.push_back(p[0]);
        } else {
            out.append(2, '\0');  // an id nobody was assigned expands as (0, 0)
        }
    }
}

std::size_t TableIndex::bytesUsed() const {
    return pairs_.capacity() * sizeof(DTYPE_BYTEPAIR) + lengths_.capacity() * sizeof(std::uint32_t) +
           slots_.capacity() * sizeof(int) +
           keyIdBits_.capacity() * sizeof(std::uint64_t) +
           otherKeyIds_.size() * (sizeof(void*) * 2 + sizeof(int) + 16) +
           otherKeyIds_.bucket_count() * sizeof(void*);
}

}  // namespace bytepairtokenizer
