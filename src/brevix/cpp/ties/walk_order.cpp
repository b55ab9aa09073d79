#include "ties/walk_order.h"

#include <stdexcept>

namespace bytepairtokenizer {

const std::vector<Epoch>& epochSchedule() {
    // Prime rehash policy of libstdc++ (growth factor 2, max load factor
    // 1.0): the bucket count set right before each listed insert.
    static const std::vector<Epoch> schedule = {
        {1, 13},              {14, 29},             {30, 59},
        {60, 127},            {128, 257},           {258, 541},
        {542, 1109},          {1110, 2357},         {2358, 5087},
        {5088, 10273},        {10274, 20753},       {20754, 42043},
        {42044, 85229},       {85230, 172933},      {172934, 351061},
        {351062, 712697},     {712698, 1447153},    {1447154, 2938679},
        {2938680, 5967347},   {5967348, 12117689},  {12117690, 24607243},
        {24607244, 49969847},
    };
    return schedule;
}

int epochOfTable(int nKeys) {
    const auto& schedule = epochSchedule();
    if (nKeys > kMaxTableKeys) throw std::length_error("pair table too large for the walk-order schedule");
    int e = 0;
    while (e + 1 < static_cast<int>(schedule.size()) && schedule[e + 1].firstInsert <= nKeys) ++e;
    return e;
}

namespace {

// A singly linked list with per-bucket "node before the bucket's first entry"
// links, mirroring the GNU table. kHead stands for the list's head anchor.
class ListModel {
public:
    static constexpr int kEmpty = -1;
    static constexpr int kHead = -2;

    ListModel(std::uint32_t buckets, std::size_t nodes)
        : buckets_(buckets), before_(buckets, kEmpty), next_(nodes, -1) {}

    void insert(int node, std::uint32_t hash) {
        const std::uint32_t b = hash % buckets_;
        if (before_[b] != kEmpty) {
            int& link = before_[b] == kHead ? head_ : next_[before_[b]];
            next_[node] = link;
            link = node;
            return;
        }
        next_[node] = head_;
        if (head_ >= 0) before_[bucketOfHead_] = node;
        head_ = node;
        before_[b] = kHead;
        bucketOfHead_ = b;
    }

    void appendWalk(std::vector<int>& out) const {
        for (int n = head_; n >= 0; n = next_[n]) out.push_back(n);
    }

private:
    std::uint32_t buckets_;
    std::vector<int> before_;
    std::vector<int> next_;
    int head_ = -1;
    std::uint32_t bucketOfHead_ = 0;
};

}  // namespace

std::vector<int> tableWalkOrder(const std::vector<std::uint32_t>& hashes) {
    const int n = static_cast<int>(hashes.size());
    std::vector<int> order;
    if (n == 0) return order;
    const auto& schedule = epochSchedule();
    const int top = epochOfTable(n);
    order.reserve(n);
    for (int e = 0; e <= top; ++e) {
        const int end = e == top ? n : schedule[e + 1].firstInsert - 1;  // keys at epoch end
        ListModel table(schedule[e].buckets, static_cast<std::size_t>(end));
        // A rehash re-inserts the old entries in walk order ...
        for (int key : order) table.insert(key, hashes[key]);
        // ... and the epoch's own inserts follow in insertion order.
        for (int key = schedule[e].firstInsert - 1; key < end; ++key) table.insert(key, hashes[key]);
        order.clear();
        table.appendWalk(order);
    }
    return order;
}

}  // namespace bytepairtokenizer
