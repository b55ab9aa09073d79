// The training engine shares its build and its dead-entry drops among
// threads: built by scripts/tsan.sh under ThreadSanitizer, which reports any
// race between them; the merges and the final corpus must be those of the
// straightforward engine.
#include <cstdlib>
#include <iostream>
#include <random>
#include <sstream>
#include <vector>
#include "exact/straightforward.h"
#include "exact/trainer.h"
using namespace bytepairtokenizer;
int main() {
    std::mt19937 rng(7);
    for (int n : {0, 1, 2, 3, 50, 4000, 40000}) {
        for (int stretches : {2, 3, 8}) {
            std::vector<int> corpus(static_cast<std::size_t>(n));
            for (int& x : corpus) x = 97 + static_cast<int>(rng() % 5) - (rng() % 7 == 0 ? 200 : 0);
            std::vector<int> plainCorpus = corpus;
            MergeTables plain, fast;
            std::ostringstream plainOut, fastOut;
            fitStraightforward(plain, plainCorpus, 1 << 30, 60, plainOut, {});
            TrainerTuning tuning;
            tuning.minStretch = 1;
            tuning.minFilterShare = 1;
            tuning.maxThreads = stretches;
            fitIncremental(fast, corpus, 1 << 30, 60, fastOut, {}, tuning);
            if (fastOut.str() != plainOut.str() || corpus != plainCorpus || fast.vocab != plain.vocab) {
                std::cerr << "differs at " << n << " ids in " << stretches << " stretches\n";
                return 1;
            }
        }
    }
    std::cout << "ok\n";
}
