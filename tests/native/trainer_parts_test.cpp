// The trainer's building blocks against straightforward models of them: the
// occurrence lists, the pair map, the first-occurrence set, the record
// array, the walk order of the statistics table and the first count of a
// corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <unordered_set>
#include <vector>

#include "common/dtypes.h"
#include "common/pair_map.h"
#include "common/record_array.h"
#include "exact/occurrence_lists.h"
#include "exact/pair_census.h"
#include "ties/first_occurrence.h"
#include "ties/walk_order.h"

namespace bpt = bytepairtokenizer;

namespace {

// Ascending random positions with gaps of every encoded width (1 to 5 bytes).
std::vector<int> ascendingPositions(std::mt19937& rng, int n) {
    static const int kGaps[] = {1, 2, 127, 128, 200, 16383, 16384, 1 << 21, 1 << 24};
    std::vector<int> out;
    long long pos = -1;
    for (int i = 0; i < n; ++i) {
        pos += kGaps[rng() % (sizeof kGaps / sizeof kGaps[0])];
        if (pos > INT_MAX / 2) break;
        out.push_back(static_cast<int>(pos));
    }
    return out;
}

std::vector<int> readList(const bpt::OccurrenceLists& lists, int r) {
    std::vector<int> out;
    for (auto c = lists.cursor(r); !c.done();) out.push_back(c.next());
    return out;
}

// Fills lists [first, first + contents.size()) by the two-pass protocol.
void fillTwoPass(bpt::OccurrenceLists& lists, int first, const std::vector<std::vector<int>>& contents) {
    const int last = first + static_cast<int>(contents.size());
    for (int r = first; r < last; ++r) {
        lists.addList();
        for (int pos : contents[static_cast<std::size_t>(r - first)]) lists.countEntry(r, pos);
    }
    lists.layOut(first, last);
    for (int r = first; r < last; ++r) {
        for (int pos : contents[static_cast<std::size_t>(r - first)]) lists.append(r, pos);
    }
    lists.finishFilling(first, last);
}

}  // namespace

class GapWidth : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(GapWidth, EntryBytesIsTheWrittenWidth) {
    const std::uint32_t gap = GetParam();
    std::uint8_t buffer[8] = {};
    const std::uint8_t* end = bpt::OccurrenceLists::writeGap(buffer, gap);
    EXPECT_EQ(static_cast<std::uint32_t>(end - buffer),
              bpt::OccurrenceLists::entryBytes(-1, static_cast<int>(gap) - 1));
}

INSTANTIATE_TEST_SUITE_P(EveryWidth, GapWidth,
                         ::testing::Values(1u, 127u, 128u, 16383u, 16384u, (1u << 21) - 1, 1u << 21,
                                           (1u << 28) - 1, 1u << 28, 0x7fffffffu));

TEST(OccurrenceLists, TwoPassFillingReadsBackEveryList) {
    std::mt19937 rng(7);
    std::vector<std::vector<int>> contents;
    for (int r = 0; r < 40; ++r) contents.push_back(ascendingPositions(rng, static_cast<int>(rng() % 60)));
    bpt::OccurrenceLists lists;
    fillTwoPass(lists, 0, contents);
    for (int r = 0; r < 40; ++r) {
        EXPECT_EQ(readList(lists, r), contents[static_cast<std::size_t>(r)]) << "list " << r;
        EXPECT_EQ(lists[r].entries, contents[static_cast<std::size_t>(r)].size());
    }
}

TEST(OccurrenceLists, DirectFillingFromSeveralWritersReadsBack) {
    std::mt19937 rng(11);
    std::vector<std::vector<int>> contents;
    bpt::OccurrenceLists lists;
    for (int r = 0; r < 12; ++r) {
        contents.push_back(ascendingPositions(rng, 1 + static_cast<int>(rng() % 30)));
        lists.addList();
        std::uint32_t bytes = 0;
        int prev = -1;
        for (int pos : contents.back()) {
            bytes += bpt::OccurrenceLists::entryBytes(prev, pos);
            prev = pos;
        }
        lists.reserve(r, bytes);
    }
    lists.layOut(0, 12);
    for (int r = 0; r < 12; ++r) {
        std::uint8_t* at = lists.listStart(r);
        int prev = -1;
        for (int pos : contents[static_cast<std::size_t>(r)]) {
            at = bpt::OccurrenceLists::writeGap(at, static_cast<std::uint32_t>(pos - prev));
            prev = pos;
        }
    }
    lists.finishDirectFilling(0, 12, [&](int r) {
        return static_cast<std::uint32_t>(contents[static_cast<std::size_t>(r)].size());
    });
    for (int r = 0; r < 12; ++r) EXPECT_EQ(readList(lists, r), contents[static_cast<std::size_t>(r)]);
}

TEST(OccurrenceLists, FilterKeepsExactlyTheChosenEntriesAndReportsTheBytesFreed) {
    std::mt19937 rng(3);
    std::vector<std::vector<int>> contents;
    for (int r = 0; r < 20; ++r) contents.push_back(ascendingPositions(rng, 50));
    bpt::OccurrenceLists lists;
    fillTwoPass(lists, 0, contents);
    for (int r = 0; r < 20; ++r) {
        const std::uint32_t before = lists[r].size;
        std::vector<int> prefetched;
        const int modulus = 2 + r % 3;
        const std::uint32_t freed = lists.filter(
            r, [&](int pos) { return pos % modulus != 0; }, [&](int pos) { prefetched.push_back(pos); });
        std::vector<int> kept;
        for (int pos : contents[static_cast<std::size_t>(r)]) {
            if (pos % modulus != 0) kept.push_back(pos);
        }
        EXPECT_EQ(readList(lists, r), kept);
        EXPECT_EQ(lists[r].entries, kept.size());
        EXPECT_EQ(lists[r].size + freed, before);
        EXPECT_EQ(prefetched, contents[static_cast<std::size_t>(r)]);  // every entry, ahead of its keep()
    }
}

TEST(OccurrenceLists, ConsumedEntriesAreGoneAndTheRestStays) {
    std::mt19937 rng(5);
    const std::vector<int> positions = ascendingPositions(rng, 40);
    bpt::OccurrenceLists lists;
    fillTwoPass(lists, 0, {positions});
    std::size_t consumed = 0;
    while (consumed < positions.size()) {
        auto cursor = lists.cursor(0);
        std::uint32_t step = 0;
        for (; step < 7 && !cursor.done(); ++step) cursor.next();
        lists.consumeBefore(0, cursor, step);
        consumed += step;
        const std::vector<int> expected(positions.begin() + static_cast<std::ptrdiff_t>(consumed), positions.end());
        ASSERT_EQ(readList(lists, 0), expected) << "after consuming " << consumed;
        ASSERT_EQ(lists[0].entries, expected.size());
    }
}

TEST(OccurrenceLists, ListsSurviveCompactionAfterReleases) {
    std::mt19937 rng(9);
    std::vector<std::vector<int>> contents;
    for (int r = 0; r < 64; ++r) contents.push_back(ascendingPositions(rng, 100));
    bpt::OccurrenceLists lists;
    fillTwoPass(lists, 0, contents);
    for (int r = 0; r < 64; r += 2) lists.release(r);  // half the arena becomes garbage
    const std::size_t capacity = lists.capacity();
    // More lists than the arena holds: the layout compacts and may grow.
    std::vector<std::vector<int>> more;
    for (int r = 0; r < 64; ++r) more.push_back(ascendingPositions(rng, 120));
    fillTwoPass(lists, 64, more);
    EXPECT_GE(lists.capacity(), capacity);
    for (int r = 0; r < 64; ++r) {
        const std::vector<int> expected = r % 2 == 0 ? std::vector<int>{} : contents[static_cast<std::size_t>(r)];
        EXPECT_EQ(readList(lists, r), expected) << "list " << r;
    }
    for (int r = 0; r < 64; ++r) EXPECT_EQ(readList(lists, 64 + r), more[static_cast<std::size_t>(r)]);
}

TEST(PairMap, AgreesWithAnOrderedMapThroughGrowth) {
    std::mt19937 rng(13);
    bpt::PairMap map(1);
    std::map<std::pair<int, int>, int> model;
    for (int i = 0; i < 20000; ++i) {
        const int left = static_cast<int>(rng() % 400) - 200;
        const int right = i % 5 == 0 ? static_cast<int>(rng()) : static_cast<int>(rng() % 400) - 200;
        if (model.count({left, right}) != 0) continue;
        const int value = static_cast<int>(rng() % 1000000);
        map.insertNew(left, right, value);
        model[{left, right}] = value;
    }
    EXPECT_EQ(map.size(), model.size());
    for (const auto& [key, value] : model) ASSERT_EQ(map.find(key.first, key.second), value);
    for (int i = 0; i < 2000; ++i) {
        const int left = static_cast<int>(rng() % 400) + 1000;
        EXPECT_EQ(map.find(left, left), -1);
    }
    EXPECT_EQ(map.find(INT_MIN, INT_MAX), -1);
}

class FirstOccurrenceSetSize : public ::testing::TestWithParam<int> {};

TEST_P(FirstOccurrenceSetSize, RankAndSelectAgreeWithAnOrderedSet) {
    const int positions = GetParam();
    std::mt19937 rng(static_cast<unsigned>(positions));
    bpt::FirstOccurrenceSet set(static_cast<std::size_t>(positions));
    std::set<int> model;
    for (int step = 0; step < 3000; ++step) {
        const int pos = static_cast<int>(rng() % static_cast<unsigned>(positions));
        if (model.count(pos) != 0) {
            set.erase(pos);
            model.erase(pos);
        } else {
            set.insert(pos);
            model.insert(pos);
        }
        if (step % 97 != 0) continue;
        ASSERT_EQ(set.size(), static_cast<int>(model.size()));
        int r = 1;
        for (int member : model) ASSERT_EQ(set.select(r++), member);
        for (int probe : {0, pos, positions / 2, positions - 1, positions, positions + 100}) {
            const auto below = std::distance(model.begin(), model.lower_bound(probe));
            ASSERT_EQ(set.rank(probe), below) << "rank of " << probe;
        }
        std::vector<int> walked;
        set.forEachAscending([&](int p) {
            walked.push_back(p);
            return true;
        });
        ASSERT_EQ(walked, std::vector<int>(model.begin(), model.end()));
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FirstOccurrenceSetSize, ::testing::Values(1, 63, 64, 65, 1000, 70000));

TEST(FirstOccurrenceSet, AscendingWalkStopsWhenAsked) {
    bpt::FirstOccurrenceSet set(500);
    for (int p : {3, 70, 140, 499}) set.insert(p);
    std::vector<int> seen;
    set.forEachAscending([&](int p) {
        seen.push_back(p);
        return seen.size() < 2;
    });
    EXPECT_EQ(seen, (std::vector<int>{3, 70}));
}

TEST(RecordArray, KeepsItsElementsWhileGrowingAnEighthAtATime) {
    bpt::RecordArray<std::uint64_t> a;
    for (std::uint64_t i = 0; i < 50000; ++i) a.emplace_back() = i * 2654435761u;
    a.growFilled(60000, 7);
    ASSERT_EQ(a.size(), 60000u);
    for (std::uint64_t i = 0; i < 50000; ++i) ASSERT_EQ(a[i], i * 2654435761u);
    for (std::size_t i = 50000; i < 60000; ++i) ASSERT_EQ(a[i], 7u);
    a.resizeUninitialised(10);
    EXPECT_EQ(a.back(), std::uint64_t{9} * 2654435761u);
    a.clear();
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(a.emplace_back(), 0u);  // value-initialised
    a.freeAll();
    EXPECT_EQ(a.size(), 0u);
}

class WalkOrderKeys : public ::testing::TestWithParam<int> {};

// The closed form of the walk order is what makes the tie-break exact: it
// must match the standard library's own table key for key.
TEST_P(WalkOrderKeys, MatchesTheStandardTable) {
    const int keys = GetParam();
    std::mt19937 rng(static_cast<unsigned>(keys) * 31u);
    DTYPE_BYTEPAIR_STATS table;
    std::vector<DTYPE_BYTEPAIR> inserted;
    std::vector<std::uint32_t> hashes;
    while (static_cast<int>(inserted.size()) < keys) {
        const DTYPE_BYTEPAIR pair{static_cast<int>(rng() % 700) - 128, static_cast<int>(rng() % 700) - 128};
        if (table.count(pair) != 0) continue;
        table[pair] = 1;
        inserted.push_back(pair);
        hashes.push_back(pairHash(pair[0], pair[1]));
        const auto& epoch = bpt::epochSchedule()[static_cast<std::size_t>(bpt::epochOfTable(static_cast<int>(inserted.size())))];
        ASSERT_EQ(epoch.buckets, table.bucket_count()) << "after " << inserted.size() << " inserts";
    }
    std::vector<DTYPE_BYTEPAIR> modelled;
    for (int k : bpt::tableWalkOrder(hashes)) modelled.push_back(inserted[static_cast<std::size_t>(k)]);
    std::vector<DTYPE_BYTEPAIR> walked;
    for (const auto& entry : table) walked.push_back(entry.first);
    EXPECT_EQ(modelled, walked);
}

INSTANTIATE_TEST_SUITE_P(TableSizes, WalkOrderKeys, ::testing::Values(1, 2, 13, 14, 30, 200, 3000, 20000));

class CensusDirect : public ::testing::TestWithParam<bool> {};

TEST_P(CensusDirect, CountsAStretchLikeAPlainRecount) {
    std::mt19937 rng(17);
    std::vector<int> corpus(5000);
    for (int& x : corpus) x = rng() % 10 == 0 ? 250 + static_cast<int>(rng() % 200) : static_cast<int>(rng() % 8) - 4;
    const int n = static_cast<int>(corpus.size());
    for (const auto& [begin, end] : std::vector<std::pair<int, int>>{{0, n}, {100, 2100}, {4000, n}, {7, 7}}) {
        bpt::PairCensus census(GetParam());
        std::vector<int> stored(static_cast<std::size_t>(n), -7);
        const bool finished = census.count(
            begin, end, n, 300, 1000, [&](int i) { return corpus[static_cast<std::size_t>(i)]; },
            [&](int i, int id, int local) {
                EXPECT_EQ(id, corpus[static_cast<std::size_t>(i)]);
                stored[static_cast<std::size_t>(i)] = local;
            },
            [] { return false; });
        ASSERT_TRUE(finished);
        // The model: pairs numbered by first appearance in the stretch.
        std::map<std::pair<int, int>, int> number;
        std::vector<bpt::PairCensus::Pair> expected;
        std::unordered_set<int> future;
        for (int i = begin; i < end; ++i) {
            if (corpus[static_cast<std::size_t>(i)] >= 300) future.insert(corpus[static_cast<std::size_t>(i)]);
            if (i + 1 >= n) {
                EXPECT_EQ(stored[static_cast<std::size_t>(i)], -1);
                break;
            }
            const std::pair<int, int> key{corpus[static_cast<std::size_t>(i)], corpus[static_cast<std::size_t>(i) + 1]};
            auto [it, added] = number.emplace(key, static_cast<int>(expected.size()));
            if (added) expected.push_back({key.first, key.second, 0, i, i, 0});
            auto& p = expected[static_cast<std::size_t>(it->second)];
            if (p.count++ > 0) p.bytes += bpt::OccurrenceLists::entryBytes(p.last, i);
            p.last = i;
            EXPECT_EQ(stored[static_cast<std::size_t>(i)], it->second);
        }
        ASSERT_EQ(census.pairs().size(), expected.size());
        for (std::size_t k = 0; k < expected.size(); ++k) {
            const auto& got = census.pairs()[k];
            const auto& want = expected[k];
            EXPECT_EQ(std::tie(got.left, got.right, got.count, got.first, got.last, got.bytes),
                      std::tie(want.left, want.right, want.count, want.first, want.last, want.bytes));
        }
        EXPECT_EQ(census.futureIds(), future);
    }
}

TEST_P(CensusDirect, StopsWhenPolledTrue) {
    std::vector<int> corpus(3000, 1);
    int polls = 0;
    bpt::PairCensus census(GetParam());
    const bool finished = census.count(
        0, 3000, 3000, 256, 1000, [&](int i) { return corpus[static_cast<std::size_t>(i)]; }, [](int, int, int) {},
        [&] { return ++polls == 2; });
    EXPECT_FALSE(finished);
    EXPECT_EQ(polls, 2);
    ASSERT_EQ(census.pairs().size(), 1u);
    EXPECT_EQ(census.pairs()[0].count, 1000);  // the first thousand positions, then the stop
}

INSTANTIATE_TEST_SUITE_P(DirectTable, CensusDirect, ::testing::Bool());
