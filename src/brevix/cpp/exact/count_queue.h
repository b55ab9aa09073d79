// The count queue: the live pair records filed by count, so that the most
// frequent pairs are found without a scan. One doubly linked list of
// records per count value, threaded through the records themselves
// (PairRecord::queuePrev/queueNext).
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "common/record_array.h"
#include "exact/training_corpus.h"

namespace bytepairtokenizer {

// Contract: a record is in at most one list, the one of the count it had
// when it was inserted; whoever changes a record's count removes it under
// the old count (remove(r, old)) and inserts it again. Records of count 0
// are never inserted. Lists are in no particular order.
class CountQueue {
public:
    explicit CountQueue(RecordArray<PairRecord>& records) : records_(records) {}

    // Empties the queue, with room for counts up to maxCount.
    void reset(int maxCount) {
        head_.assign(static_cast<std::size_t>(maxCount) + 1, -1);
        top_ = maxCount;
    }

    // Files record r under its current count (at least 1).
    void insert(int r) {
        PairRecord& rec = records_[r];
        if (rec.count >= static_cast<int>(head_.size())) head_.resize(static_cast<std::size_t>(rec.count) + 1, -1);
        rec.queuePrev = -1;
        rec.queueNext = head_[rec.count];
        if (rec.queueNext >= 0) records_[rec.queueNext].queuePrev = r;
        head_[rec.count] = r;
        top_ = std::max(top_, rec.count);
    }

    // Takes record r out of the list of `count`, its count when inserted.
    void remove(int r, int count) {
        PairRecord& rec = records_[r];
        if (rec.queuePrev >= 0) {
            records_[rec.queuePrev].queueNext = rec.queueNext;
        } else {
            head_[static_cast<std::size_t>(count)] = rec.queueNext;
        }
        if (rec.queueNext >= 0) records_[rec.queueNext].queuePrev = rec.queuePrev;
        rec.queuePrev = rec.queueNext = -1;
    }

    // The highest count that has a record, 0 when the queue is empty.
    int topCount() {
        while (top_ > 0 && head_[top_] < 0) --top_;
        return top_;
    }

    // A record of count `count` (at most topCount()), -1 when there is none.
    int first(int count) const { return head_[static_cast<std::size_t>(count)]; }

    // Appends the records of count `count` (at most topCount()) to `out`.
    void collect(int count, std::vector<int>& out) const {
        for (int r = head_[count]; r >= 0; r = records_[r].queueNext) out.push_back(r);
    }

    // Prefetches the neighbours of record r in its list.
    void prefetchNeighbours(const PairRecord& rec) const {
        if (rec.queuePrev >= 0) __builtin_prefetch(&records_[static_cast<std::size_t>(rec.queuePrev)]);
        if (rec.queueNext >= 0) __builtin_prefetch(&records_[static_cast<std::size_t>(rec.queueNext)]);
    }

    // Frees the lists' heads; reset() makes the queue usable again.
    void freeAll() { std::vector<int>().swap(head_); }

private:
    RecordArray<PairRecord>& records_;
    std::vector<int> head_;  // by count: first record of the list, -1 when empty
    int top_ = 0;            // no record above this count
};

}  // namespace bytepairtokenizer
