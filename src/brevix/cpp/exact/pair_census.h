// The training engine's first count of a corpus, over one stretch of its
// positions: each pair's count, first and last occurrence, and the bytes its
// occurrences take in an occurrence list. Stretches are counted on threads
// of their own; pairs are numbered per stretch in order of first appearance,
// and the engine then numbers them across the corpus the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

#include "common/pair_map.h"
#include "exact/occurrence_lists.h"

namespace bytepairtokenizer {

// Pairs of ids in [kDirectLow, kDirectLow + kDirectSpan) are looked up in a
// flat table while a corpus is first counted: almost all of a real text's
// pairs are of that kind.
constexpr int kDirectLow = -128;
constexpr int kDirectSpan = 384;

inline bool inDirectRange(int id) { return id >= kDirectLow && id < kDirectLow + kDirectSpan; }

inline std::size_t directSlot(int left, int right) {
    return static_cast<std::size_t>(left - kDirectLow) * kDirectSpan + static_cast<std::size_t>(right - kDirectLow);
}

class PairCensus {
public:
    struct Pair {
        int left;
        int right;
        int count;
        int first;            // first occurrence in the stretch
        int last;             // last occurrence in the stretch
        std::uint32_t bytes;  // list bytes of the occurrences after the first
    };

    // With `useDirect`, pairs in the direct range go through the flat table
    // (590 KB, worth filling only for long corpora).
    explicit PairCensus(bool useDirect)
        : direct_(useDirect ? static_cast<std::size_t>(kDirectSpan) * kDirectSpan : 0, -1),
          useDirect_(useDirect) {}

    // The pairs found, by local number.
    const std::vector<Pair>& pairs() const { return pairs_; }
    // Ids at or above count()'s `firstFutureId` that occur in the stretch.
    const std::unordered_set<int>& futureIds() const { return futureIds_; }

    // Counts the pairs starting at positions [begin, end) of a corpus of n
    // ids, where valueAt(i) is the id at i. Calls store(i, id, local
    // number of the pair starting at i, or -1 at the corpus end) for each
    // position, and stopNow() every `pollEvery` positions from the first:
    // when it returns true the count stops and count() returns false.
    template <typename ValueAt, typename Store, typename StopNow>
    bool count(int begin, int end, int n, int firstFutureId, int pollEvery, ValueAt valueAt, Store store,
               StopNow stopNow) {
        if (begin >= end) return true;
        int left = valueAt(begin);
        for (int i = begin, untilPoll = 0; i < end; ++i, --untilPoll) {
            if (untilPoll == 0) {
                if (stopNow()) return false;
                untilPoll = pollEvery;
            }
            if (left >= firstFutureId) futureIds_.insert(left);
            if (i + 1 >= n) {
                store(i, left, -1);
                break;
            }
            const int right = valueAt(i + 1);
            const int local = numberOf(left, right);
            store(i, left, local);
            Pair& pair = pairs_[static_cast<std::size_t>(local)];
            if (pair.count++ == 0) {
                pair.first = i;
            } else {
                pair.bytes += OccurrenceLists::entryBytes(pair.last, i);
            }
            pair.last = i;
            left = right;
        }
        return true;
    }

private:
    int numberOf(int left, int right) {
        if (useDirect_ && inDirectRange(left) && inDirectRange(right)) {
            int& slot = direct_[directSlot(left, right)];
            if (slot < 0) slot = add(left, right);
            return slot;
        }
        int local = others_.find(left, right);
        if (local < 0) {
            local = add(left, right);
            others_.insertNew(left, right, local);
        }
        return local;
    }
    int add(int left, int right) {
        pairs_.push_back(Pair{left, right, 0, -1, -1, 0});
        return static_cast<int>(pairs_.size()) - 1;
    }

    std::vector<Pair> pairs_;
    std::vector<int> direct_;
    PairMap others_;
    std::unordered_set<int> futureIds_;
    bool useDirect_;
};

}  // namespace bytepairtokenizer
