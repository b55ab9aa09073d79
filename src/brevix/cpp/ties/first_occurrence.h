// The set of corpus positions that are the leftmost live occurrence of some
// pair, with rank/select. Ranked in position order, these positions are the
// order in which a freshly counted statistics table would insert the pairs.
#pragma once

#include <cstdint>
#include <vector>

namespace bytepairtokenizer {

class FirstOccurrenceSet {
public:
    explicit FirstOccurrenceSet(std::size_t positions = 0);

    void insert(int pos);
    void erase(int pos);
    int size() const { return size_; }

    // Position of the r-th smallest member, r = 1..size().
    int select(int r) const;
    // Number of members below `pos` (any pos >= 0; past the end: size()).
    int rank(int pos) const;

    // Calls f(pos) for the members in ascending order until f returns false.
    template <typename F>
    void forEachAscending(F f) const {
        for (std::size_t w = 0; w < words_.size(); ++w) {
            for (std::uint64_t bits = words_[w]; bits != 0; bits &= bits - 1) {
                if (!f(static_cast<int>(w * 64 + __builtin_ctzll(bits)))) return;
            }
        }
    }

private:
    void addToWord(std::size_t word, int delta);

    std::vector<std::uint64_t> words_;
    std::vector<int> tree_;  // Fenwick tree of per-word member counts, 1-based
    int size_ = 0;
    std::size_t topStep_ = 1;  // largest power of two <= number of words
};

}  // namespace bytepairtokenizer
