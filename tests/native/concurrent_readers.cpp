// Several threads encode and decode through one tokenizer at once, with no
// writer running: built by scripts/tsan.sh under ThreadSanitizer, which
// reports any data race in the core, e.g. in the derived table index.
#include <iostream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>
#include "exact/tokenizer.h"
using bytepairtokenizer::BytePairTokenizer;
int main() {
    BytePairTokenizer tok;
    std::mt19937 rng(1);
    std::vector<int> corpus(20000);
    for (int& x : corpus) x = 97 + static_cast<int>(rng() % 6);
    std::ostringstream out;
    tok.fitWith(corpus, 1 << 30, 2000, out);
    std::vector<std::vector<int>> inputs;
    for (int n : {1, 10, 100, 1000, 20000}) {
        std::vector<int> c(n);
        for (int& x : c) x = 97 + static_cast<int>(rng() % 6);
        inputs.push_back(c);
    }
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t) ts.emplace_back([&] {
        for (int rep = 0; rep < 20; ++rep)
            for (const auto& in : inputs) {
                std::vector<int> ids = in;
                tok.encodeCorpus(ids);
                std::string s = tok.decode(ids);
                std::ostringstream echo;
                tok.encodeWith(s, echo, true);
                if (s.size() != in.size()) std::abort();
            }
    });
    for (auto& t : ts) t.join();
    std::cout << "ok " << tok.size() << "\n";
}
