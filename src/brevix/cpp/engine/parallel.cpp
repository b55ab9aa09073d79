#include "engine/parallel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace brevix {

unsigned threadsFor(std::size_t items, unsigned requested) {
    unsigned n = requested == 0 ? std::max(1u, std::thread::hardware_concurrency()) : requested;
    if (items < n) n = static_cast<unsigned>(std::max<std::size_t>(items, 1));
    return n;
}

void runParallel(std::size_t items, unsigned threads,
                 const std::function<void(std::size_t)>& job) {
    std::atomic<std::size_t> nextItem{0};
    std::atomic<bool> failed{false};
    std::exception_ptr firstError;
    std::mutex errorLock;
    auto worker = [&]() {
        for (;;) {
            const std::size_t i = nextItem.fetch_add(1);
            if (i >= items || failed.load()) return;
            try {
                job(i);
            } catch (...) {
                std::lock_guard<std::mutex> guard(errorLock);
                if (!firstError) firstError = std::current_exception();
                failed.store(true);
                return;
            }
        }
    };
    std::vector<std::thread> pool;
    try {
        for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker);
    } catch (...) {
        // Could not start a thread: the ones started and this one do the work.
    }
    worker();
    for (std::thread& t : pool) t.join();
    if (firstError) std::rethrow_exception(firstError);
}

}  // namespace brevix
