// The table-driven expander against the per-id expansion: every way of
// handing it ids and taking its bytes, over learned tables and over tables
// no training makes (forward references, gaps, cycles).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "exact/expander.h"
#include "exact/straightforward.h"

namespace bpt = bytepairtokenizer;

namespace {

// Storage that grows to exactly what is asked, moving every time.
class ExactSink : public bpt::ByteSink {
public:
    char* reserve(std::size_t used, std::size_t capacity) override {
        ++reserves;
        std::string moved(capacity, '\x7f');
        std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(used), moved.begin());
        data.swap(moved);
        return &data[0];
    }
    std::string data = std::string(1, '\0');
    int reserves = 0;
};

// Hands ids over `block` at a time; gives up after `giveUpAfter` blocks
// (negative: never).
class BlockSource : public bpt::IdSource {
public:
    BlockSource(const std::vector<int>& ids, std::size_t block, int giveUpAfter = -1)
        : ids_(ids), block_(block), giveUpAfter_(giveUpAfter) {}
    std::size_t next(int* out, std::size_t capacity) override {
        if (giveUpAfter_ >= 0 && blocks_ == giveUpAfter_) return kGaveUp;
        ++blocks_;
        const std::size_t n = std::min({capacity, block_, ids_.size() - at_});
        std::copy(ids_.begin() + static_cast<std::ptrdiff_t>(at_), ids_.begin() + static_cast<std::ptrdiff_t>(at_ + n), out);
        at_ += n;
        return n;
    }

private:
    const std::vector<int>& ids_;
    std::size_t block_;
    int giveUpAfter_;
    int blocks_ = 0;
    std::size_t at_ = 0;
};

// A learned table: every merge joins two earlier ids.
DTYPE_BYTEPAIR_REV_VOCAB learnedTable(unsigned seed, int merges) {
    std::mt19937 rng(seed);
    DTYPE_BYTEPAIR_VOCAB vocab;
    DTYPE_BYTEPAIR_REV_VOCAB rev;
    int next = 256;
    int size = 256;
    std::vector<int> known;
    for (int b = -128; b < 256; b += 9) known.push_back(b);
    while (next < 256 + merges) {
        const DTYPE_BYTEPAIR pair{known[rng() % known.size()], known[rng() % known.size()]};
        if (vocab.count(pair) != 0) continue;
        updateVocab(vocab, rev, pair, next, size);
        known.push_back(next - 1);
    }
    return rev;
}

std::vector<int> someIds(unsigned seed, int n, int end) {
    std::mt19937 rng(seed);
    std::vector<int> ids(static_cast<std::size_t>(n));
    for (int& id : ids) id = -128 + static_cast<int>(rng() % static_cast<unsigned>(end + 128));
    return ids;
}

struct Table {
    const char* name;
    DTYPE_BYTEPAIR_REV_VOCAB rev;
    std::vector<int> ids;
};

std::vector<Table> acyclicTables() {
    std::vector<Table> out;
    out.push_back({"empty", {}, {-128, -1, 0, 65, 127, 128, 255, 256, 4000, -129, -100000}});
    const auto learned = learnedTable(1, 600);
    out.push_back({"learned", learned, someIds(2, 3000, 856)});
    // Ids that refer forward, a missing id (decodes as two zero bytes),
    // and ids outside every table.
    DTYPE_BYTEPAIR_REV_VOCAB odd{{256, {257, 65}}, {257, {258, 259}}, {258, {66, 67}}, {259, {-1, -128}},
                                 {261, {256, 256}}, {262, {261, 261}}, {263, {262, 262}}};
    out.push_back({"forward_and_missing", odd, {256, 257, 260, 261, 263, 264, 99999, -129, 200, 263, 258}});
    // Long expansions: each id doubles the one before.
    DTYPE_BYTEPAIR_REV_VOCAB doubling{{256, {120, 121}}};
    for (int id = 257; id < 272; ++id) doubling[id] = {id - 1, id - 1};
    out.push_back({"doubling", doubling, {271, 256, 270, 65, 271}});
    return out;
}

}  // namespace

class ExpanderTable : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ExpanderTable, EveryWayOfWritingMatchesThePerIdExpansion) {
    const Table t = acyclicTables()[GetParam()];
    SCOPED_TRACE(t.name);
    const std::string want = bpt::decodeStraightforward(t.ids, t.rev);
    DTYPE_BYTEPAIR_REV_VOCAB rev = t.rev;
    bpt::TokenExpander expander(rev);
    EXPECT_TRUE(expander.bounded());

    std::string appended = "prefix";
    expander.appendAll(appended, t.ids);
    EXPECT_EQ(appended, "prefix" + want);

    ExactSink sink;
    const std::size_t written = expander.writeAll(sink, t.ids);
    EXPECT_EQ(sink.data.substr(0, written), want);

    for (std::size_t block : {std::size_t{1}, std::size_t{3}, std::size_t{1000}}) {
        for (std::size_t expected : {std::size_t{0}, t.ids.size(), 10 * t.ids.size()}) {
            ExactSink streamed;
            BlockSource source(t.ids, block);
            std::size_t streamedBytes = 0;
            ASSERT_TRUE(expander.writeFrom(streamed, source, expected, streamedBytes));
            EXPECT_EQ(streamed.data.substr(0, streamedBytes), want) << "block " << block << ", expected " << expected;
        }
    }
    EXPECT_EQ(rev, t.rev);  // only read
}

TEST_P(ExpanderTable, ASourceThatGivesUpIsReported) {
    const Table t = acyclicTables()[GetParam()];
    DTYPE_BYTEPAIR_REV_VOCAB rev = t.rev;
    bpt::TokenExpander expander(rev);
    for (int after : {0, 1, 2}) {
        ExactSink sink;
        BlockSource source(t.ids, 2, after);
        std::size_t written = 0;
        EXPECT_FALSE(expander.writeFrom(sink, source, t.ids.size(), written)) << "gave up after " << after;
    }
}

INSTANTIATE_TEST_SUITE_P(Tables, ExpanderTable, ::testing::Range<std::size_t>(0, acyclicTables().size()),
                         [](const auto& info) { return std::string(acyclicTables()[info.param].name); });

// A cycle is refused before anything is written, naming the id the per-id
// expansion names.
TEST(Expander, RefusesACycleWithThePerIdExpansionsMessage) {
    DTYPE_BYTEPAIR_REV_VOCAB rev{{256, {65, 66}}, {257, {258, 65}}, {258, {259, 67}}, {259, {257, 68}},
                                 {260, {256, 257}}, {261, {261, 1}}};
    bpt::TokenExpander expander(rev);
    EXPECT_FALSE(expander.bounded());
    for (const std::vector<int>& ids : std::vector<std::vector<int>>{{256, 257}, {260}, {258, 256}, {261}, {65, 259}}) {
        std::string message;
        try {
            bpt::decodeStraightforward(ids, rev);
            FAIL() << "the per-id expansion accepted a cycle";
        } catch (const std::invalid_argument& e) {
            message = e.what();
        }
        std::string out = "kept";
        try {
            expander.appendAll(out, ids);
            FAIL() << "appendAll accepted a cycle";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), message);
        }
        EXPECT_EQ(out, "kept");
        ExactSink sink;
        EXPECT_THROW(expander.writeAll(sink, ids), std::invalid_argument);
        EXPECT_EQ(sink.reserves, 0);
    }
    // Ids that reach no cycle still decode.
    std::string out;
    expander.appendAll(out, {256, 65});
    EXPECT_EQ(out, "ABA");
}
