// Counting pieces shares documents among threads, each with a table of its
// own, while the calling thread ticks and another thread may stop it: built
// by scripts/tsan.sh under ThreadSanitizer, which reports any race between
// them; every thread count must give the counts of one thread.
#include <atomic>
#include <chrono>
#include <iostream>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>
#include "pieces/piece_counter.h"
#include "text/make_splitter.h"
using namespace brevix;

namespace {

bool sameCounts(const bpe::PieceTable& a, const bpe::PieceTable& b) {
    bool same = a.size() == b.size();
    a.forEach([&](std::string_view piece, std::uint64_t count) {
        same = same && b.countOf(piece) == count;
    });
    return same;
}

}  // namespace

int main() {
    std::mt19937 rng(11);
    const char* words[] = {"alpha ", "beta", " 42", "\n", "<s>", "  ", "\xce\xb3"};
    std::vector<std::string> texts(3000);
    for (std::string& text : texts) {
        for (unsigned k = rng() % 200; k > 0; --k) text += words[rng() % 7];
    }
    const std::vector<std::string_view> documents(texts.begin(), texts.end());
    const auto splitter = text::makeSplitter(text::kCl100kPattern);
    const bpe::SpecialTokens specials({{"<s>", 0}});
    const bpe::SpecialMatcher matcher = bpe::SpecialMatcher::all(specials);
    const bpe::PieceTable one = *bpe::countPieces(documents, {splitter.get(), &matcher, 1, nullptr});
    for (unsigned threads : {2u, 3u, 8u}) {
        bpe::CountControl control;
        control.tickInterval = std::chrono::milliseconds(1);
        std::atomic<int> ticks{0};
        control.onTick = [&](std::uint64_t) { return ++ticks >= 0; };
        const auto counted = bpe::countPieces(documents, {splitter.get(), &matcher, threads, &control});
        if (!counted || !sameCounts(*counted, one)) {
            std::cerr << "differs on " << threads << " threads\n";
            return 1;
        }
        bpe::CountControl stopped;
        std::thread stopper([&] { stopped.stop.store(true); });
        const auto partial = bpe::countPieces(documents, {splitter.get(), &matcher, threads, &stopped});
        stopper.join();
        if (partial && !sameCounts(*partial, one)) {
            std::cerr << "a stopped count kept a partial table on " << threads << " threads\n";
            return 1;
        }
    }
    std::cout << "ok\n";
}
