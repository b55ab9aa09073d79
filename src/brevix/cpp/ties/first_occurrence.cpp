#include "ties/first_occurrence.h"

namespace bytepairtokenizer {

FirstOccurrenceSet::FirstOccurrenceSet(std::size_t positions)
    : words_((positions + 63) / 64, 0), tree_(words_.size() + 1, 0) {
    while (topStep_ * 2 <= words_.size()) topStep_ *= 2;
}

void FirstOccurrenceSet::addToWord(std::size_t word, int delta) {
    for (std::size_t i = word + 1; i < tree_.size(); i += i & (~i + 1)) tree_[i] += delta;
    size_ += delta;
}

void FirstOccurrenceSet::insert(int pos) {
    words_[static_cast<std::size_t>(pos) / 64] |= 1ull << (pos % 64);
    addToWord(static_cast<std::size_t>(pos) / 64, 1);
}

void FirstOccurrenceSet::erase(int pos) {
    words_[static_cast<std::size_t>(pos) / 64] &= ~(1ull << (pos % 64));
    addToWord(static_cast<std::size_t>(pos) / 64, -1);
}

int FirstOccurrenceSet::select(int r) const {
    // Descend the Fenwick tree to the word holding the r-th member ...
    std::size_t word = 0;
    for (std::size_t step = topStep_; step > 0; step >>= 1) {
        const std::size_t next = word + step;
        if (next < tree_.size() && tree_[next] < r) {
            word = next;
            r -= tree_[next];
        }
    }
    // ... then find the r-th set bit inside it.
    std::uint64_t bits = words_[word];
    for (int k = 1; k < r; ++k) bits &= bits - 1;
    return static_cast<int>(word * 64 + __builtin_ctzll(bits));
}

int FirstOccurrenceSet::rank(int pos) const {
    const std::size_t word = static_cast<std::size_t>(pos) / 64;
    if (word >= words_.size()) return size_;
    int below = 0;
    for (std::size_t i = word; i > 0; i -= i & (~i + 1)) below += tree_[i];
    const std::uint64_t lower = words_[word] & ((1ull << (pos % 64)) - 1);
    return below + __builtin_popcountll(lower);
}

}  // namespace bytepairtokenizer
