#include "engine/in_order_results.h"

#include <utility>

namespace brevix {

InOrderResults::InOrderResults(std::size_t items, unsigned threads, std::function<void(std::size_t)> job)
    : items_(items), job_(std::move(job)), done_(items, 0) {
    try {
        for (unsigned t = 0; t < threads && t < items; ++t) threads_.emplace_back([this] { work(); });
    } catch (...) {
        // Could not start a thread: those started, or waitFor itself, do the work.
    }
}

InOrderResults::~InOrderResults() {
    cancel();
    for (std::thread& t : threads_) {
        if (t.joinable()) t.join();
    }
}

void InOrderResults::work() {
    for (;;) {
        std::size_t i = 0;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (stopped_ || next_ >= items_) return;
            i = next_++;
        }
        runJob(i);
    }
}

void InOrderResults::runJob(std::size_t i) {
    try {
        job_(i);
    } catch (...) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!error_) error_ = std::current_exception();
        stopped_ = true;
        changed_.notify_all();
        return;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    done_[i] = 1;
    changed_.notify_all();
}

bool InOrderResults::ready(std::size_t i) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return done_[i] != 0;
}

// A job nobody has taken runs here rather than the caller sleeping: with
// as many threads as cores the caller then never leaves a core idle, and
// without any thread the jobs run in order here.
bool InOrderResults::waitFor(std::size_t i) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (done_[i] != 0) return true;
        if (stopped_) return false;
        if (next_ < items_) {
            const std::size_t job = next_++;
            lock.unlock();
            runJob(job);
            lock.lock();
        } else {
            changed_.wait(lock);
        }
    }
}

void InOrderResults::cancel() {
    std::lock_guard<std::mutex> guard(mutex_);
    stopped_ = true;
    changed_.notify_all();
}

void InOrderResults::finish() {
    for (std::thread& t : threads_) {
        if (t.joinable()) t.join();
    }
    if (error_) std::rethrow_exception(error_);
}

}  // namespace brevix
