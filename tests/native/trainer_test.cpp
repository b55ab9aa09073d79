// The incremental trainer against the straightforward one, with the tunings
// that send small inputs down the paths large ones take: stretched builds on
// several threads, dead-entry filtering, each way of breaking ties.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "exact/straightforward.h"
#include "exact/trainer.h"
#include "tie_tunings.h"

namespace bpt = bytepairtokenizer;

namespace {

struct Outcome {
    DTYPE_BYTEPAIR_REV_VOCAB revVocab;
    DTYPE_BYTEPAIR_VOCAB vocab;
    int nextVocabIndex;
    int vocabSize;
    std::vector<int> corpus;
    std::string progress;
};

Outcome trainPlain(bpt::MergeTables tables, std::vector<int> corpus, int maxVocab, int nIter,
                   const std::function<bool()>& interrupted = {}) {
    std::ostringstream out;
    bpt::fitStraightforward(tables, corpus, maxVocab, nIter, out, interrupted);
    return {tables.revVocab, tables.vocab, tables.nextVocabIndex, tables.vocabSize, corpus, out.str()};
}

Outcome trainIncremental(bpt::MergeTables tables, std::vector<int> corpus, int maxVocab, int nIter,
                         const bpt::TrainerTuning& tuning, const std::function<bool()>& interrupted = {},
                         bpt::FinalCorpus final = bpt::FinalCorpus::Kept) {
    std::ostringstream out;
    bpt::fitIncremental(tables, corpus, maxVocab, nIter, out, interrupted, tuning, final);
    return {tables.revVocab, tables.vocab, tables.nextVocabIndex, tables.vocabSize, corpus, out.str()};
}

void expectSame(const Outcome& got, const Outcome& want, bool corpusKept = true) {
    EXPECT_EQ(got.revVocab, want.revVocab);
    EXPECT_EQ(got.vocab, want.vocab);
    EXPECT_EQ(got.nextVocabIndex, want.nextVocabIndex);
    EXPECT_EQ(got.vocabSize, want.vocabSize);
    EXPECT_EQ(got.progress, want.progress);
    if (corpusKept) {
        EXPECT_EQ(got.corpus, want.corpus);
    }
}

std::vector<int> randomCorpus(unsigned seed, int n, int alphabet, int low = 97) {
    std::mt19937 rng(seed);
    std::vector<int> c(static_cast<std::size_t>(n));
    for (int& x : c) x = low + static_cast<int>(rng() % static_cast<unsigned>(alphabet));
    return c;
}

std::vector<int> textCorpus(const std::string& text) { return bpt::baseTokens(text); }

struct Tuned {
    const char* name;
    bpt::TrainerTuning tuning;
};

// Each of the tie-break's paths, then the build's and the recount's.
std::vector<Tuned> tunings() {
    std::vector<Tuned> out;
    for (const TieTuned& tie : tieTunings()) {
        bpt::TrainerTuning t;
        t.ties = tie.tuning;
        out.push_back({tie.name, t});
    }
    bpt::TrainerTuning t;
    t.minStretch = 64;
    t.minFilterShare = 1;
    t.maxThreads = 4;
    out.push_back({"stretched_build_and_filtering", t});
    t = {};
    t.ties.maxModelledPairs = 8;
    out.push_back({"recounted_ties", t});
    t = {};
    t.maxThreads = 1;
    t.minStretch = 16;
    t.ties.fullWalkPairs = 0;
    t.ties.orderedTieWidth = 3;
    out.push_back({"one_thread_many_stretches", t});
    return out;
}

struct Case {
    const char* name;
    std::vector<int> corpus;
    int maxVocab;
    int nIter;
};

std::vector<Case> cases() {
    std::vector<Case> out;
    out.push_back({"six_letters", randomCorpus(1, 3000, 6), 1 << 30, 400});
    out.push_back({"two_letters_long", randomCorpus(2, 6000, 2), 1 << 30, 300});
    out.push_back({"signed_bytes", randomCorpus(3, 2000, 12, -128), 1 << 30, 150});
    out.push_back({"one_letter_runs", std::vector<int>(777, 120), 1 << 30, 50});
    out.push_back({"vocab_cap", randomCorpus(4, 2000, 5), 300, 1000});
    std::string text;
    for (int i = 0; i < 60; ++i) text += "the cat sat on the mat and the dog sat on the log; ";
    out.push_back({"words", textCorpus(text), 1 << 30, 500});
    // Ids not yet assigned already in the corpus: merges that create them
    // must take the whole-pass road.
    std::vector<int> future = randomCorpus(5, 1500, 4);
    for (std::size_t i = 0; i < future.size(); i += 37) future[i] = 256 + static_cast<int>(i % 5);
    out.push_back({"future_ids", future, 1 << 30, 200});
    out.push_back({"empty", {}, 1 << 30, 10});
    out.push_back({"single", {65}, 1 << 30, 10});
    return out;
}

}  // namespace

class IncrementalTraining : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(IncrementalTraining, MatchesTheStraightforwardTrainer) {
    const Tuned tuned = tunings()[std::get<0>(GetParam())];
    const Case c = cases()[std::get<1>(GetParam())];
    SCOPED_TRACE(std::string(tuned.name) + " / " + c.name);
    expectSame(trainIncremental({}, c.corpus, c.maxVocab, c.nIter, tuned.tuning),
               trainPlain({}, c.corpus, c.maxVocab, c.nIter));
}

INSTANTIATE_TEST_SUITE_P(TuningsAndCorpora, IncrementalTraining,
                         ::testing::Combine(::testing::Range<std::size_t>(0, tunings().size()),
                                            ::testing::Range<std::size_t>(0, cases().size())),
                         [](const auto& info) {
                             return std::string(tunings()[std::get<0>(info.param)].name) + "__" +
                                    cases()[std::get<1>(info.param)].name;
                         });

TEST(IncrementalTrainer, ContinuesFromLearnedTablesLikeTheStraightforwardTrainer) {
    // A second run over another corpus whose pairs are already keys.
    bpt::MergeTables learned;
    std::vector<int> first = randomCorpus(21, 2000, 5);
    std::ostringstream ignored;
    bpt::fitStraightforward(learned, first, 1 << 30, 120, ignored, {});
    for (const Tuned& tuned : tunings()) {
        SCOPED_TRACE(tuned.name);
        const std::vector<int> second = randomCorpus(22, 2500, 7);
        expectSame(trainIncremental(learned, second, 1 << 30, 150, tuned.tuning),
                   trainPlain(learned, second, 1 << 30, 150));
    }
}

TEST(IncrementalTrainer, StopsAtTheSameIterationWhenInterrupted) {
    const std::vector<int> corpus = randomCorpus(31, 3000, 6);
    for (int stopAfter : {1, 2, 17, 90}) {
        int plainPolls = 0;
        int fastPolls = 0;
        const Outcome want = trainPlain({}, corpus, 1 << 30, 300, [&] { return ++plainPolls > stopAfter; });
        const Outcome got =
            trainIncremental({}, corpus, 1 << 30, 300, {}, [&] { return ++fastPolls > stopAfter; });
        SCOPED_TRACE(stopAfter);
        expectSame(got, want);
    }
}

TEST(IncrementalTrainer, DroppingTheFinalCorpusLearnsTheSameTables) {
    const std::vector<int> corpus = randomCorpus(41, 4000, 5);
    for (const Tuned& tuned : tunings()) {
        SCOPED_TRACE(tuned.name);
        expectSame(trainIncremental({}, corpus, 1 << 30, 200, tuned.tuning, {}, bpt::FinalCorpus::Dropped),
                   trainPlain({}, corpus, 1 << 30, 200), false);
    }
}

TEST(IncrementalTrainer, AnInterruptedBuildLeavesCorpusAndTablesAlone) {
    bpt::TrainerTuning tuning;
    tuning.minStretch = 64;
    for (int threads : {1, 4}) {
        tuning.maxThreads = threads;
        bpt::MergeTables tables;
        std::vector<int> corpus = randomCorpus(51, 5000, 4);
        const std::vector<int> before = corpus;
        bpt::IncrementalTrainer trainer(tables, corpus, tuning, [] { return true; });
        std::ostringstream out;
        trainer.fit(1 << 30, 100, out, {});
        EXPECT_EQ(corpus, before);
        EXPECT_TRUE(tables.revVocab.empty());
        EXPECT_EQ(tables.nextVocabIndex, 256);
    }
}

TEST(IncrementalTrainer, TrainsOnBytesReadAsSignedChars) {
    const std::string text = "abracadabra \xff\xfe\x80 abracadabra \xc3\xa9t\xc3\xa9 abracadabra";
    std::string repeated;
    for (int i = 0; i < 40; ++i) repeated += text;
    bpt::MergeTables tables;
    std::vector<int> unused;
    bpt::IncrementalTrainer trainer(tables, unused, {}, {}, reinterpret_cast<const unsigned char*>(repeated.data()),
                                    repeated.size());
    std::ostringstream out;
    trainer.fit(1 << 30, 60, out, {});
    const Outcome want = trainPlain({}, bpt::baseTokens(repeated), 1 << 30, 60);
    EXPECT_EQ(tables.revVocab, want.revVocab);
    EXPECT_EQ(unused, want.corpus);
    EXPECT_EQ(out.str(), want.progress);
}
