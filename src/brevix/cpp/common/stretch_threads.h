// Running one piece of work per stretch of a corpus on threads of its own.
#pragma once

#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace bytepairtokenizer {

// How many threads the machine runs at once, at least 1.
inline int hardwareThreads() {
    const unsigned reported = std::thread::hardware_concurrency();
    return reported == 0 ? 1 : static_cast<int>(reported);
}

// Runs work(s) for s = 0 .. count - 1: work(0) on the calling thread, the
// others on threads of their own. A stretch whose thread cannot be started
// runs on the calling thread afterwards. Returns once every stretch has
// ended, rethrowing the first failure by stretch number; failed(s) is
// called from the failing thread as soon as stretch s fails, so that the
// others can stop early.
template <typename Work, typename Failed>
void runStretches(int count, Work&& work, Failed&& failed) {
    std::vector<std::exception_ptr> failures(static_cast<std::size_t>(count));
    std::vector<int> leftOver;
    leftOver.reserve(static_cast<std::size_t>(count));
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(count));
    auto guarded = [&](int s) {
        try {
            work(s);
        } catch (...) {
            failures[static_cast<std::size_t>(s)] = std::current_exception();
            failed(s);
        }
    };
    for (int s = 1; s < count; ++s) {
        try {
            threads.emplace_back(guarded, s);  // capacity reserved: only the start can fail
        } catch (...) {
            leftOver.push_back(s);
        }
    }
    guarded(0);
    for (int s : leftOver) guarded(s);
    for (std::thread& thread : threads) thread.join();
    for (const std::exception_ptr& failure : failures) {
        if (failure) std::rethrow_exception(failure);
    }
}

}  // namespace bytepairtokenizer
