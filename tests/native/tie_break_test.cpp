// The tie-break against the table it reproduces: a statistics table filled
// with the live pairs in the order of their leftmost occurrences, walked for
// the first pair of the tied count. The pairs, their leftmost occurrences
// and counts live in a scripted host; each step changes some of them the
// way merges do and asks for the winner of every tie.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/dtypes.h"
#include "tie_tunings.h"
#include "ties/tie_break.h"

namespace bpt = bytepairtokenizer;

namespace {

struct Record {
    DTYPE_BYTEPAIR pair;
    int first = -1;  // -1: dead
    int count = 0;
};

// The winner as the straightforward trainer finds it: fill the table, walk it.
int tableWinner(const std::vector<Record>& records, int count, const std::vector<int>* among = nullptr) {
    std::map<int, int> byFirst;
    for (int r = 0; r < static_cast<int>(records.size()); ++r) {
        if (records[static_cast<std::size_t>(r)].first >= 0) byFirst[records[static_cast<std::size_t>(r)].first] = r;
    }
    DTYPE_BYTEPAIR_STATS table;
    std::map<DTYPE_BYTEPAIR, int> recordOf;
    for (const auto& [first, r] : byFirst) {
        table[records[static_cast<std::size_t>(r)].pair] = records[static_cast<std::size_t>(r)].count;
        recordOf[records[static_cast<std::size_t>(r)].pair] = r;
    }
    for (const auto& [pair, c] : table) {
        const int r = recordOf[pair];
        if (c != count) continue;
        if (among == nullptr || std::find(among->begin(), among->end(), r) != among->end()) return r;
    }
    return -1;
}

class ScriptedHost : public bpt::TieBreakHost {
public:
    std::vector<Record> records;
    std::map<int, int> startingAt;  // leftmost occurrence -> record
    int recounts = 0;

    int pairStartingAt(int pos) const override { return startingAt.at(pos); }
    int countOf(int r) const override { return records[static_cast<std::size_t>(r)].count; }
    void pairsOfCount(int count, std::vector<int>& out) const override {
        for (int r = 0; r < static_cast<int>(records.size()); ++r) {
            const Record& rec = records[static_cast<std::size_t>(r)];
            if (rec.first >= 0 && rec.count == count) out.push_back(r);
        }
        std::reverse(out.begin(), out.end());  // any order
    }
    int winnerByRecount(const std::vector<int>& tied) override {
        ++recounts;
        return tableWinner(records, countOf(tied.front()), &tied);
    }
};

constexpr int kPositions = 200000;

// Drives a TieBreaker through creations, moves, deaths and count changes.
class Script {
public:
    Script(const bpt::TieBreakTuning& tuning, unsigned seed) : ties_(host_, tuning), rng_(seed) {
        ties_.reset(kPositions);
    }

    void create(int n) {
        for (int k = 0; k < n; ++k) {
            DTYPE_BYTEPAIR pair;
            do {
                pair = {static_cast<int>(rng_() % 600) - 128, static_cast<int>(rng_() % 600) - 128};
            } while (!pairs_.insert(pair).second);
            const int r = static_cast<int>(host_.records.size());
            host_.records.push_back({pair, -1, 0});
            ties_.pairCreated(r, pair[0], pair[1]);
            moveTo(r, freePosition());
            setCount(r, 1 + static_cast<int>(rng_() % 4));
        }
    }

    // Some pairs move their leftmost occurrence, some die, some change count.
    void churn(int n) {
        for (int k = 0; k < n; ++k) {
            const int r = static_cast<int>(rng_() % host_.records.size());
            if (host_.records[static_cast<std::size_t>(r)].first < 0) continue;
            switch (rng_() % 4) {
                case 0: moveTo(r, -1); break;
                case 1: moveTo(r, freePosition()); break;
                default: setCount(r, 1 + static_cast<int>(rng_() % 4)); break;
            }
        }
    }

    // Every count held by two live pairs or more is broken and checked.
    void checkEveryTie() {
        std::map<int, int> perCount;
        for (const Record& rec : host_.records) {
            if (rec.first >= 0) ++perCount[rec.count];
        }
        ASSERT_EQ(ties_.livePairs(), static_cast<int>(host_.startingAt.size()));
        for (const auto& [count, n] : perCount) {
            if (n < 2) continue;
            ASSERT_EQ(ties_.breakTie(count), tableWinner(host_.records, count)) << "count " << count;
        }
    }

    int recounts() const { return host_.recounts; }

private:
    int freePosition() {
        for (;;) {
            const int pos = static_cast<int>(rng_() % kPositions);
            if (host_.startingAt.count(pos) == 0) return pos;
        }
    }
    void moveTo(int r, int to) {
        Record& rec = host_.records[static_cast<std::size_t>(r)];
        const int from = rec.first;
        if (from >= 0) host_.startingAt.erase(from);
        if (to >= 0) host_.startingAt[to] = r;
        rec.first = to;
        ties_.firstOccurrenceMoved(r, from, to);
        ties_.countSettled(r);
    }
    void setCount(int r, int count) {
        host_.records[static_cast<std::size_t>(r)].count = count;
        ties_.countSettled(r);
    }

    ScriptedHost host_;
    bpt::TieBreaker ties_;
    std::mt19937 rng_;
    std::set<DTYPE_BYTEPAIR> pairs_;
};

}  // namespace

class TieBreak : public ::testing::TestWithParam<std::tuple<std::size_t, int>> {};

TEST_P(TieBreak, PicksThePairAFreshTableWalksFirst) {
    const TieTuned tuned = tieTunings()[std::get<0>(GetParam())];
    const int pairs = std::get<1>(GetParam());
    Script script(tuned.tuning, static_cast<unsigned>(pairs) + 3u);
    script.create(pairs);
    script.checkEveryTie();
    for (int step = 0; step < 25; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        script.churn(1 + pairs / 20);
        script.create(1 + pairs / 50);
        script.checkEveryTie();
    }
}

INSTANTIATE_TEST_SUITE_P(TuningsAndSizes, TieBreak,
                         ::testing::Combine(::testing::Range<std::size_t>(0, tieTunings().size()),
                                            ::testing::Values(3, 40, 700, 6000)),
                         [](const auto& info) {
                             return std::string(tieTunings()[std::get<0>(info.param)].name) + "_" +
                                    std::to_string(std::get<1>(info.param));
                         });

TEST(TieBreak, PastTheModelledSizeTheHostRecounts) {
    bpt::TieBreakTuning tuning;
    tuning.maxModelledPairs = 50;
    Script script(tuning, 99);
    script.create(40);
    script.checkEveryTie();
    EXPECT_EQ(script.recounts(), 0);
    script.create(40);
    script.checkEveryTie();
    EXPECT_GT(script.recounts(), 0);
    script.churn(60);  // some die: back under the bound for some ties
    script.checkEveryTie();
}
