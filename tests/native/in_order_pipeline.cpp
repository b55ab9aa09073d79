// The results of jobs run on threads, taken in order by the main thread
// while later jobs run (encode_batch's pipeline): built by scripts/tsan.sh
// under ThreadSanitizer, which reports a result read before it is whole.
#include <cstddef>
#include <iostream>
#include <stdexcept>
#include <vector>

#include "engine/in_order_results.h"

int main() {
    for (int round = 0; round < 200; ++round) {
        const std::size_t items = 64;
        std::vector<std::vector<int>> results(items);
        brevix::InOrderResults pipeline(items, 4, [&](std::size_t i) {
            results[i].assign(100 + i, static_cast<int>(i));
            if (round % 50 == 49 && i == 40) throw std::runtime_error("stop");
        });
        long sum = 0;
        for (std::size_t i = 0; i < items && pipeline.waitFor(i); ++i) {
            for (int x : results[i]) sum += x;
            std::vector<int>().swap(results[i]);
        }
        try {
            pipeline.finish();
        } catch (const std::runtime_error&) {
            if (round % 50 != 49) return 1;
        }
        if (sum <= 0) return 1;
    }
    std::cout << "ok in-order pipeline\n";
    return 0;
}
