// The incremental trainer's parts held to their contracts one at a time:
// the count queue against a map of counts, the build against a plain scan of
// the corpus, the merge loop against a greedy merge pass and a recount.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <unordered_set>
#include <utility>
#include <vector>

#include "exact/corpus_build.h"
#include "exact/count_queue.h"
#include "exact/merge_loop.h"
#include "exact/trainer_tuning.h"
#include "exact/training_corpus.h"
#include "ties/tie_break.h"
#include "ties/tie_break_host.h"

namespace bpt = bytepairtokenizer;

namespace {

// The trainer's parts wired as the trainer wires them, with the trainer's
// seating of a fresh build.
struct Parts : bpt::TieBreakHost {
    explicit Parts(const bpt::TrainerTuning& t)
        : tuning(t), ties(*this, tuning.ties), corpus(ties), queue(corpus.records), loop(corpus, queue, tuning) {}

    bool build(std::vector<int>& source, int firstFutureId, const unsigned char* bytes = nullptr,
               std::size_t bytesSize = 0, const std::function<bool()>& interrupted = {}) {
        loop.reset();
        bpt::CorpusBuild corpusBuild(corpus, tuning, source, bytes, bytesSize);
        if (!corpusBuild.run(firstFutureId, futureIds, interrupted)) return false;
        int maxCount = 0;
        for (std::size_t r = 0; r < corpus.records.size(); ++r) maxCount = std::max(maxCount, corpus.records[r].count);
        queue.reset(maxCount);
        for (int r = 0; r < static_cast<int>(corpus.records.size()); ++r) {
            bpt::PairRecord& rec = corpus.records[static_cast<std::size_t>(r)];
            ties.firstOccurrenceMoved(r, -1, rec.firstOcc);
            ties.countSettled(r);
            rec.storedEntries = corpus.occ[r].entries;
            queue.insert(r);
        }
        return true;
    }

    std::vector<int> liveValues() const {
        std::vector<int> out;
        corpus.writeValues(out);
        return out;
    }

    int pairStartingAt(int pos) const override { return corpus.nodes[static_cast<std::size_t>(pos)].pairId; }
    int countOf(int r) const override { return corpus.records[static_cast<std::size_t>(r)].count; }
    void pairsOfCount(int count, std::vector<int>& out) const override { queue.collect(count, out); }
    int winnerByRecount(const std::vector<int>& tied) override { return tied.front(); }

    bpt::TrainerTuning tuning;
    bpt::TieBreaker ties;
    bpt::TrainingCorpus corpus;
    bpt::CountQueue queue;
    bpt::MergeLoop loop;
    std::unordered_set<int> futureIds;
};

using Pair = std::pair<int, int>;

// Live positions of each adjacent pair (overlapping ones included), from
// live node positions and their values.
std::map<Pair, std::vector<int>> occurrencesOf(const Parts& parts) {
    std::map<Pair, std::vector<int>> out;
    const bpt::TrainingCorpus& c = parts.corpus;
    for (int i = c.nodes.empty() ? -1 : 0, j; i >= 0; i = j) {
        j = c.liveNext(i);
        if (j >= 0) out[{c.nodes[i].value, c.nodes[j].value}].push_back(i);
    }
    return out;
}

std::vector<int> liveEntries(const Parts& parts, int r) {
    std::vector<int> out;
    for (auto at = parts.corpus.occ.cursor(r); !at.done();) {
        const int pos = at.next();
        if (parts.corpus.nodes[static_cast<std::size_t>(pos)].pairId == r) out.push_back(pos);
    }
    return out;
}

// Every live pair has one record whose count, leftmost occurrence, live
// list entries and queue list agree with a recount; every other record is
// dead and out of the queue.
void expectRecordsMatchRecount(const Parts& parts) {
    const std::map<Pair, std::vector<int>> want = occurrencesOf(parts);
    std::set<Pair> seen;
    for (int r = 0; r < static_cast<int>(parts.corpus.records.size()); ++r) {
        const bpt::PairRecord& rec = parts.corpus.records[static_cast<std::size_t>(r)];
        if (rec.count == 0) {
            EXPECT_EQ(rec.firstOcc, -1) << "record " << r;
            continue;
        }
        const Pair pair{rec.left, rec.right};
        ASSERT_TRUE(want.count(pair)) << "record " << r << " counts a pair the corpus lacks";
        EXPECT_TRUE(seen.insert(pair).second) << "two live records of one pair";
        const std::vector<int>& positions = want.at(pair);
        EXPECT_EQ(liveEntries(parts, r), positions) << "record " << r;
        EXPECT_EQ(rec.firstOcc, positions.front()) << "record " << r;
        std::vector<int> filed;
        parts.queue.collect(rec.count, filed);
        EXPECT_EQ(std::count(filed.begin(), filed.end(), r), 1) << "record " << r << " not filed under its count";
    }
    // Overlapping occurrences of (a, a) count once per position.
    EXPECT_EQ(seen.size(), want.size());
}

std::vector<int> randomCorpus(std::mt19937& rng, int n, int alphabet, int low = 0) {
    std::vector<int> out(static_cast<std::size_t>(n));
    for (int& v : out) v = low + static_cast<int>(rng() % static_cast<unsigned>(alphabet));
    return out;
}

// One greedy left-to-right merge pass of (left, right) -> id.
std::vector<int> mergePass(const std::vector<int>& in, int left, int right, int id) {
    std::vector<int> out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (i + 1 < in.size() && in[i] == left && in[i + 1] == right) {
            out.push_back(id);
            ++i;
        } else {
            out.push_back(in[i]);
        }
    }
    return out;
}

bpt::TrainerTuning threaded(int threads, int minStretch) {
    bpt::TrainerTuning t;
    t.maxThreads = threads;
    t.minStretch = minStretch;
    t.minFilterShare = 16;
    return t;
}

}  // namespace

TEST(CountQueue, FilesRecordsUnderTheirCountsLikeAMap) {
    std::mt19937 rng(7);
    bpt::RecordArray<bpt::PairRecord> records;
    bpt::CountQueue queue(records);
    std::map<int, std::set<int>> model;  // count -> records
    const int kRecords = 60;
    for (int r = 0; r < kRecords; ++r) {
        bpt::PairRecord& rec = records.emplace_back();
        rec.count = 1 + static_cast<int>(rng() % 5);
    }
    queue.reset(3);  // counts above it grow the heads
    for (int r = 0; r < kRecords; ++r) {
        queue.insert(r);
        model[records[r].count].insert(r);
    }
    for (int step = 0; step < 2000; ++step) {
        const int r = static_cast<int>(rng() % kRecords);
        bpt::PairRecord& rec = records[r];
        const int before = rec.count;
        if (before > 0) {
            queue.remove(r, before);
            model[before].erase(r);
        }
        rec.count = static_cast<int>(rng() % 12);  // 0: leaves the queue for good
        if (rec.count > 0) {
            queue.insert(r);
            model[rec.count].insert(r);
        }
        int top = 0;
        for (const auto& entry : model) {
            if (!entry.second.empty()) top = entry.first;
        }
        ASSERT_EQ(queue.topCount(), top);
        if (top > 0) {
            EXPECT_TRUE(model[top].count(queue.first(top)));
        }
        if (top == 0) continue;
        const int probe = 1 + static_cast<int>(rng() % static_cast<unsigned>(top));
        std::vector<int> filed;
        queue.collect(probe, filed);
        EXPECT_EQ(std::set<int>(filed.begin(), filed.end()), model[probe]);
        EXPECT_EQ(filed.size(), model[probe].size()) << "a record filed twice";
    }
}

TEST(CountQueue, EmptiesToTopCountZero) {
    bpt::RecordArray<bpt::PairRecord> records;
    bpt::CountQueue queue(records);
    records.emplace_back().count = 4;
    queue.reset(4);
    queue.insert(0);
    EXPECT_EQ(queue.topCount(), 4);
    queue.remove(0, 4);
    EXPECT_EQ(queue.topCount(), 0);
}

// Stretches and threads change nothing: the records come numbered in
// order of first appearance, as one pass over the corpus would number them.
class CorpusBuildContract : public ::testing::TestWithParam<std::tuple<int, int, int>> {};

TEST_P(CorpusBuildContract, LaysTheCorpusOutAsARecountWould) {
    const auto [n, threads, alphabet] = GetParam();
    std::mt19937 rng(static_cast<unsigned>(n * 31 + threads * 7 + alphabet));
    const int firstFutureId = 300;
    // Mostly bytes, a few ids at and above firstFutureId.
    std::vector<int> source = randomCorpus(rng, n, alphabet, -128);
    for (int k = 0; k < n / 50; ++k) source[rng() % static_cast<unsigned>(n)] = firstFutureId + static_cast<int>(rng() % 4);
    const std::vector<int> values = source;

    Parts parts(threaded(threads, std::max(1, n / 5)));
    ASSERT_TRUE(parts.build(source, firstFutureId));
    EXPECT_TRUE(source.empty() && source.capacity() == 0) << "the source outlives the build";
    EXPECT_EQ(parts.liveValues(), values);
    EXPECT_EQ(parts.corpus.liveLength, n);
    EXPECT_EQ(parts.corpus.spanBase, firstFutureId);

    std::vector<Pair> order;  // pairs by first appearance
    std::set<Pair> known;
    for (int i = 0; i + 1 < n; ++i) {
        const Pair pair{values[i], values[i + 1]};
        if (known.insert(pair).second) order.push_back(pair);
        const bpt::PairRecord& rec = parts.corpus.records[parts.corpus.nodes[i].pairId];
        ASSERT_EQ(Pair(rec.left, rec.right), pair) << "node " << i;
    }
    EXPECT_EQ(parts.corpus.nodes[static_cast<std::size_t>(n) - 1].pairId, -1);
    ASSERT_EQ(parts.corpus.records.size(), order.size());
    for (std::size_t r = 0; r < order.size(); ++r) {
        EXPECT_EQ(Pair(parts.corpus.records[r].left, parts.corpus.records[r].right), order[r]);
    }
    expectRecordsMatchRecount(parts);

    std::unordered_set<int> future;
    for (int v : values) {
        if (v >= firstFutureId) future.insert(v);
    }
    EXPECT_EQ(parts.futureIds, future);
}

INSTANTIATE_TEST_SUITE_P(Sizes, CorpusBuildContract,
                         ::testing::Values(std::make_tuple(2, 1, 3), std::make_tuple(500, 1, 4),
                                           std::make_tuple(500, 3, 4), std::make_tuple(20000, 1, 6),
                                           std::make_tuple(20000, 4, 6), std::make_tuple(40000, 2, 300)));

TEST(CorpusBuild, BytesAreReadAsSignedChars) {
    const unsigned char bytes[] = {0x41, 0xC3, 0xA9, 0x41, 0xC3, 0xA9, 0xFF};
    std::vector<int> unused;
    Parts parts(threaded(1, 1 << 22));
    ASSERT_TRUE(parts.build(unused, 256, bytes, sizeof bytes));
    EXPECT_EQ(parts.liveValues(), (std::vector<int>{65, -61, -87, 65, -61, -87, -1}));
    expectRecordsMatchRecount(parts);
}

TEST(CorpusBuild, StopsWhenInterrupted) {
    std::mt19937 rng(3);
    std::vector<int> source = randomCorpus(rng, 1000, 5);
    Parts parts(threaded(1, 1 << 22));
    EXPECT_FALSE(parts.build(source, 256, nullptr, 0, [] { return true; }));
}

// Merge after merge of the most frequent pair, each under a fresh id: the
// corpus follows a greedy merge pass, and the records, lists, leftmost
// occurrences and queue a recount. Tiny alphabets make runs (overlapping
// pairs); many merges make lists die and get filtered on several threads.
class MergeLoopContract : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(MergeLoopContract, EachMergeLeavesWhatARecountWould) {
    const auto [alphabet, threads] = GetParam();
    std::mt19937 rng(static_cast<unsigned>(alphabet * 13 + threads));
    std::vector<int> source = randomCorpus(rng, 6000, alphabet);
    std::vector<int> expected = source;
    Parts parts(threaded(threads, 1 << 22));
    ASSERT_TRUE(parts.build(source, 256));
    for (int newId = 256; newId < 256 + 60; ++newId) {
        const int count = parts.queue.topCount();
        if (count == 0) break;
        const int winner = parts.queue.first(count);
        const bpt::PairRecord rec = parts.corpus.records[static_cast<std::size_t>(winner)];
        parts.loop.merge(winner, newId);
        expected = mergePass(expected, rec.left, rec.right, newId);
        ASSERT_EQ(parts.liveValues(), expected) << "merge to " << newId;
        ASSERT_EQ(parts.corpus.liveLength, static_cast<int>(expected.size()));
        EXPECT_EQ(parts.corpus.records[static_cast<std::size_t>(winner)].count, 0) << "the winner survives";
        expectRecordsMatchRecount(parts);
        if (::testing::Test::HasFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Alphabets, MergeLoopContract,
                         ::testing::Values(std::make_tuple(2, 1), std::make_tuple(3, 2), std::make_tuple(8, 1),
                                           std::make_tuple(40, 2)));
