// One CoreEngine (the state behind a brevix.Tokenizer: a split pattern and
// special tokens) used by eight threads at once, as the Python load test
// uses one Tokenizer: three encode, two decode, one trains in steps (piece
// counting and training on several threads of its own), one copies the model
// into a new engine (pickling's path) and one reads it out and loads it back
// (saving's path). Each takes the engine's lock as the bindings do. Built by
// scripts/tsan.sh under ThreadSanitizer; every result is also checked
// against single-threaded runs of the model version it must come from.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "encode/special_tokens.h"
#include "engine/engine.h"
#include "pieces/piece_counter.h"
#include "pieces/piece_trainer.h"
#include "text/make_splitter.h"
#include "text/splitter.h"

using brevix::CoreEngine;
using brevix::SpecialPolicy;
namespace bpe = brevix::bpe;

namespace {

constexpr std::size_t kStep = 4;
constexpr std::size_t kMerges = 120;

[[noreturn]] void fail(const std::string& what) {
    std::cerr << "FAILED: " << what << "\n";
    std::abort();
}

std::vector<std::string> makeCorpus() {
    const char* words[] = {"lower", "lowest", "newer", "wider", " naïve", " café", " 東京", "2024",
                           "'s", "\n", "  "};
    std::mt19937 rng(23);
    std::vector<std::string> corpus(1500);
    for (std::string& doc : corpus) {
        for (int n = 1 + static_cast<int>(rng() % 40); n > 0; --n) doc += words[rng() % 11];
    }
    return corpus;
}

const std::vector<bpe::SpecialToken> kSpecials = {{"<|endoftext|>", 100000}, {"<|pad|>", 100001}};

// Trains `engine` (exclusive lock held) to `merges` merges, as
// CoreTokenizer.train_pieces does.
void trainTo(CoreEngine& engine, const bpe::PieceTable& pieces, std::size_t merges) {
    bpe::TrainingStart start;
    start.byteIds = engine.byteIds();
    start.merges = engine.vocabulary().merges();
    start.firstNewId = static_cast<bpe::TokenId>(256 + start.merges.size());
    bpe::TrainSettings settings;
    settings.merges = merges - start.merges.size();
    engine.appendMerges(bpe::trainPieces(pieces, start, settings).merges);
}

std::vector<std::vector<int>> encodeAll(const CoreEngine& engine, const std::vector<std::string>& texts,
                                        const SpecialPolicy& policy) {
    std::vector<std::vector<int>> out(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        engine.encodeInto(texts[i].data(), texts[i].size(), policy, out[i]);
    }
    return out;
}

}  // namespace

int main() {
    const std::vector<std::string> corpus = makeCorpus();
    const std::optional<std::string> pattern{std::string(brevix::text::kCl100kPattern)};
    const auto splitter = brevix::text::makeSplitter(*pattern);
    const bpe::SpecialTokens specials(kSpecials);
    const bpe::SpecialMatcher matcher = bpe::SpecialMatcher::all(specials);
    std::vector<std::string_view> documents(corpus.begin(), corpus.end());
    bpe::CountSettings counting;
    counting.splitter = splitter.get();
    counting.specials = &matcher;
    counting.threads = 2;
    const bpe::PieceTable pieces = *bpe::countPieces(documents, counting);

    std::vector<std::string> texts;
    for (std::size_t i = 0; i < 30; ++i) texts.push_back(corpus[i * 7] + "<|pad|>" + corpus[i * 11]);
    texts.push_back("\xff\xfe raw \xc3");
    SpecialPolicy policy;
    policy.allowed = {0, 1};

    // Single-threaded runs: each version training passes through.
    std::map<std::size_t, std::vector<std::vector<int>>> expected;
    std::map<std::size_t, std::vector<brevix::MergeTriple>> expectedMerges;
    {
        CoreEngine single;
        single.setModel(bpe::identityByteIds(), {}, kSpecials, pattern);
        for (std::size_t m = kStep; m <= kMerges; m += kStep) {
            trainTo(single, pieces, m);
            expected[m] = encodeAll(single, texts, policy);
            expectedMerges[m] = single.merges();
        }
    }

    CoreEngine shared;
    shared.setModel(bpe::identityByteIds(), {}, kSpecials, pattern);
    trainTo(shared, pieces, kStep);
    auto mergesNow = [&] {
        std::shared_lock<brevix::WriterFirstMutex> lock(shared.lock());
        return shared.vocabulary().merges().size();
    };
    auto versionBetween = [&](std::size_t before, std::size_t after, auto matches) {
        for (std::size_t m = before; m <= after; m += kStep) {
            if (matches(m)) return true;
        }
        return false;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::atomic<int> rounds{0};
    auto loop = [&](auto work) {
        return [&, work] {
            while (std::chrono::steady_clock::now() < deadline) {
                work();
                ++rounds;
            }
        };
    };
    auto encoder = [&] {
        const std::size_t before = mergesNow();
        std::vector<std::vector<int>> got;
        {
            std::shared_lock<brevix::WriterFirstMutex> lock(shared.lock());
            got = encodeAll(shared, texts, policy);
        }
        if (!versionBetween(before, mergesNow(), [&](std::size_t m) { return expected[m] == got; })) {
            fail("encoding matches no version");
        }
    };
    auto decoder = [&] {
        const std::size_t version = mergesNow();
        std::shared_lock<brevix::WriterFirstMutex> lock(shared.lock());
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (shared.decode(expected[version][i]) != texts[i]) fail("decoding");
        }
    };
    auto trainer = [&] {
        const std::size_t now = mergesNow();
        if (now >= kMerges) return;
        std::unique_lock<brevix::WriterFirstMutex> lock(shared.lock());
        trainTo(shared, pieces, now + kStep);
    };
    auto copier = [&] {
        const std::size_t before = mergesNow();
        CoreEngine copy;
        {
            std::shared_lock<brevix::WriterFirstMutex> lock(shared.lock());
            copy.setModel(shared.byteIds(), shared.vocabulary().merges(),
                          shared.vocabulary().specials().tokens(), pattern);
        }
        const auto got = encodeAll(copy, texts, policy);
        if (!versionBetween(before, mergesNow(), [&](std::size_t m) { return expected[m] == got; })) {
            fail("copy encodes as no version");
        }
    };
    auto saver = [&] {
        const std::size_t before = mergesNow();
        std::vector<brevix::MergeTriple> saved;
        {
            std::shared_lock<brevix::WriterFirstMutex> lock(shared.lock());
            saved = shared.merges();
        }
        if (!versionBetween(before, mergesNow(), [&](std::size_t m) { return expectedMerges[m] == saved; })) {
            fail("saved merges match no version");
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) threads.emplace_back(loop(encoder));
    for (int i = 0; i < 2; ++i) threads.emplace_back(loop(decoder));
    threads.emplace_back(loop(trainer));
    threads.emplace_back(loop(copier));
    threads.emplace_back(loop(saver));
    for (std::thread& t : threads) t.join();
    const std::size_t final = mergesNow();
    if (shared.merges() != expectedMerges[final]) fail("final merges");
    std::cout << "ok " << final << " merges, " << rounds.load() << " rounds\n";
}
