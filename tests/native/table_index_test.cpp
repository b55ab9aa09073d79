// The derived table index against the merge tables it describes: lookups,
// expansions, growth merge by merge, and the checks that keep a stale index
// from being used.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "exact/straightforward.h"
#include "exact/table_index.h"

namespace bpt = bytepairtokenizer;

namespace {

// Appends `merges` learned merges (each joins two earlier ids) to `t`.
void learn(bpt::MergeTables& t, std::mt19937& rng, int merges) {
    std::vector<int> known;
    for (int b = -128; b < 256; b += 5) known.push_back(b);
    for (int id = 256; id < t.nextVocabIndex; ++id) known.push_back(id);
    const int end = t.nextVocabIndex + merges;
    while (t.nextVocabIndex < end) {
        const DTYPE_BYTEPAIR pair{known[rng() % known.size()], known[rng() % known.size()]};
        if (t.vocab.count(pair) != 0) continue;
        updateVocab(t.vocab, t.revVocab, pair, t.nextVocabIndex, t.vocabSize);
        known.push_back(t.nextVocabIndex - 1);
    }
}

// Everything the index answers, checked against the tables themselves.
void expectDescribes(const bpt::TableIndex& index, const bpt::MergeTables& t) {
    ASSERT_TRUE(index.current(t.vocab, t.revVocab, t.nextVocabIndex));
    for (const auto& [pair, id] : t.vocab) {
        ASSERT_EQ(index.find(pair[0], pair[1]), id);
        EXPECT_TRUE(index.idInKeys(pair[0]));
        EXPECT_TRUE(index.idInKeys(pair[1]));
        EXPECT_EQ(index.find(pair[1] + 100000, pair[0]), -1);
    }
    ASSERT_TRUE(index.decodesExactly());
    std::vector<int> stack;
    for (int id = -128; id < t.nextVocabIndex + 3; id += (id < 256 ? 17 : 1)) {
        const std::string want = bpt::decodeStraightforward({id}, t.revVocab);
        std::string got = "x";
        index.appendExpansion(got, id, stack);
        ASSERT_EQ(got, "x" + want) << "id " << id;
        ASSERT_EQ(index.expansionLength(id), want.size()) << "id " << id;
    }
}

}  // namespace

class TableIndexGrowth : public ::testing::TestWithParam<int> {};

TEST_P(TableIndexGrowth, RefreshedMergeByMergeDescribesTheTables) {
    const int step = GetParam();
    std::mt19937 rng(static_cast<unsigned>(step));
    bpt::MergeTables tables;
    bpt::TableIndex index;
    index.refresh(tables.vocab, tables.revVocab, tables.nextVocabIndex);
    expectDescribes(index, tables);
    for (int round = 0; round < 6; ++round) {
        learn(tables, rng, step);
        EXPECT_FALSE(index.current(tables.vocab, tables.revVocab, tables.nextVocabIndex));
        index.refresh(tables.vocab, tables.revVocab, tables.nextVocabIndex);
        expectDescribes(index, tables);
    }
    bpt::TableIndex fresh;
    fresh.rebuild(tables.vocab, tables.revVocab, tables.nextVocabIndex);
    expectDescribes(fresh, tables);
    const bpt::TableIndex copy(index);
    expectDescribes(copy, tables);
}

INSTANTIATE_TEST_SUITE_P(MergesPerRefresh, TableIndexGrowth, ::testing::Values(1, 7, 300));

TEST(TableIndex, ReplacedTablesAreNoticedAndRebuilt) {
    std::mt19937 rng(1);
    bpt::MergeTables a;
    bpt::MergeTables b;
    learn(a, rng, 50);
    learn(b, rng, 50);
    bpt::TableIndex index;
    index.refresh(a.vocab, a.revVocab, a.nextVocabIndex);
    // Same sizes, other merges: the sampled merges differ.
    EXPECT_FALSE(index.current(b.vocab, b.revVocab, b.nextVocabIndex));
    index.refresh(b.vocab, b.revVocab, b.nextVocabIndex);  // not an extension: starts over
    expectDescribes(index, b);
    index.rebuild(a.vocab, a.revVocab, a.nextVocabIndex);
    expectDescribes(index, a);
}

TEST(TableIndex, TablesThatBreakTheIdInvariantsLeaveItEmpty) {
    std::mt19937 rng(2);
    bpt::MergeTables t;
    learn(t, rng, 20);
    bpt::TableIndex index;
    // A counter that does not match the tables' sizes.
    index.refresh(t.vocab, t.revVocab, t.nextVocabIndex + 1);
    EXPECT_FALSE(index.current(t.vocab, t.revVocab, t.nextVocabIndex + 1));
    EXPECT_EQ(index.find(t.revVocab.at(256)[0], t.revVocab.at(256)[1]), -1);
    // A gap in the ids.
    bpt::MergeTables gap = t;
    const DTYPE_BYTEPAIR moved = gap.revVocab.at(260);
    gap.revVocab.erase(260);
    gap.revVocab[t.nextVocabIndex] = moved;
    gap.vocab[moved] = t.nextVocabIndex;
    index.refresh(gap.vocab, gap.revVocab, gap.nextVocabIndex);
    EXPECT_FALSE(index.current(gap.vocab, gap.revVocab, gap.nextVocabIndex));
}

TEST(TableIndex, ForwardReferencesAndLongExpansionsAreLeftToTheExpander) {
    bpt::MergeTables forward;
    forward.revVocab = {{256, {257, 65}}, {257, {66, 67}}};
    forward.vocab = {{{257, 65}, 256}, {{66, 67}, 257}};
    forward.nextVocabIndex = forward.vocabSize = 258;
    bpt::TableIndex index;
    index.refresh(forward.vocab, forward.revVocab, forward.nextVocabIndex);
    EXPECT_TRUE(index.current(forward.vocab, forward.revVocab, forward.nextVocabIndex));
    EXPECT_EQ(index.find(257, 65), 256);
    EXPECT_FALSE(index.decodesExactly());

    // 2^31 bytes: each id doubles the one before.
    bpt::MergeTables doubling;
    DTYPE_BYTEPAIR pair{65, 65};
    for (int k = 0; k < 31; ++k) {
        updateVocab(doubling.vocab, doubling.revVocab, pair, doubling.nextVocabIndex, doubling.vocabSize);
        pair = {doubling.nextVocabIndex - 1, doubling.nextVocabIndex - 1};
    }
    index.rebuild(doubling.vocab, doubling.revVocab, doubling.nextVocabIndex);
    EXPECT_TRUE(index.current(doubling.vocab, doubling.revVocab, doubling.nextVocabIndex));
    EXPECT_FALSE(index.decodesExactly());
    // One merge fewer is 2^30 bytes: exact.
    doubling.vocab.erase(doubling.revVocab.at(doubling.nextVocabIndex - 1));
    doubling.revVocab.erase(doubling.nextVocabIndex - 1);
    --doubling.nextVocabIndex;
    --doubling.vocabSize;
    index.rebuild(doubling.vocab, doubling.revVocab, doubling.nextVocabIndex);
    EXPECT_TRUE(index.decodesExactly());
    EXPECT_EQ(index.expansionLength(doubling.nextVocabIndex - 1), std::uint64_t{1} << 30);
}

TEST(TableIndex, MergeTablesHandOutOnlyACurrentIndex) {
    std::mt19937 rng(3);
    bpt::MergeTables t;
    learn(t, rng, 30);
    EXPECT_EQ(t.currentTableIndex(), nullptr);  // never refreshed
    t.refreshTableIndex();
    ASSERT_NE(t.currentTableIndex(), nullptr);
    learn(t, rng, 1);
    EXPECT_EQ(t.currentTableIndex(), nullptr);
    t.refreshTableIndex();
    ASSERT_NE(t.currentTableIndex(), nullptr);
    expectDescribes(*t.currentTableIndex(), t);
    bpt::MergeTables other;
    learn(other, rng, 31);
    other.refreshTableIndex();
    t.swapTables(other);  // the indexes travel with their tables
    ASSERT_NE(t.currentTableIndex(), nullptr);
    ASSERT_NE(other.currentTableIndex(), nullptr);
    expectDescribes(*t.currentTableIndex(), t);
    expectDescribes(*other.currentTableIndex(), other);
}
