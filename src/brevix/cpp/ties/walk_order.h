// Walk order of the pair-keyed statistics table, computed without building
// the table. The GNU unordered_map links every entry into one list; a new
// entry goes in front of its bucket's first entry when the bucket is
// occupied, else at the head of the list, and a rehash re-inserts the old
// list in walk order by the same rule. The walk order is therefore a function
// of the keys' hashes and their insertion order alone.
#pragma once

#include <cstdint>
#include <vector>

// The walk order above is libstdc++'s (GCC's standard library): another
// standard library walks its tables in another order, and training would
// pick other merges on ties. Stop the build rather than train differently.
#if !defined(__GLIBCXX__)
#error "brevix needs libstdc++ (GCC's standard library): its training reproduces the walk order of libstdc++'s std::unordered_map. Build with g++, or with clang++ and -stdlib=libstdc++."
#endif

namespace bytepairtokenizer {

// One stretch of inserts between two rehashes: the table holds `buckets`
// buckets from insert number `firstInsert` (1-based) until the next epoch.
struct Epoch {
    int firstInsert;
    std::uint32_t buckets;
};

// The rehash schedule of a table that grows by single inserts, as far as
// tables of kMaxTableKeys keys.
const std::vector<Epoch>& epochSchedule();
constexpr int kMaxTableKeys = 49969847;

// Index into epochSchedule() of the epoch a table of nKeys keys is in
// (nKeys >= 1).
int epochOfTable(int nKeys);

// Walk order of a table into which keys with the given hashes were inserted
// in the given order: returns key indices in the order a walk meets them.
// Costs about two list operations per key and epoch it lives through.
std::vector<int> tableWalkOrder(const std::vector<std::uint32_t>& hashes);

}  // namespace bytepairtokenizer
