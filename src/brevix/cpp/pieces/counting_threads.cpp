#include "pieces/counting_threads.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace brevix::bpe {

namespace {

// What the workers of one runUnits call share.
class UnitQueue {
public:
    UnitQueue(std::size_t units, CountControl* control) : units_(units), control_(control) {}

    // The worker loop: takes units until they run out or everything stops.
    void work(unsigned worker,
              const std::function<bool(unsigned, std::size_t)>& doUnit) noexcept {
        try {
            while (!stopped()) {
                const std::size_t unit = next_.fetch_add(1, std::memory_order_relaxed);
                if (unit >= units_) break;
                if (!doUnit(worker, unit)) halted_.store(true, std::memory_order_relaxed);
            }
        } catch (...) {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!failure_) failure_ = std::current_exception();
            halted_.store(true, std::memory_order_relaxed);
        }
        const std::lock_guard<std::mutex> lock(mutex_);
        --running_;
        ended_.notify_all();
    }

    void expectWorkers(unsigned count) { running_ = count; }

    // A worker that was never started.
    void workerNotStarted() {
        const std::lock_guard<std::mutex> lock(mutex_);
        --running_;
    }

    // Calls control->onTick every tick until every worker has ended, then
    // once more.
    void watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (running_ > 0) {
            if (ended_.wait_for(lock, control_->tickInterval, [this] { return running_ == 0; })) {
                break;
            }
            lock.unlock();
            tick();
            lock.lock();
        }
        lock.unlock();
        tick();
    }

    bool stopped() const {
        return halted_.load(std::memory_order_relaxed) ||
               (control_ != nullptr && control_->stop.load(std::memory_order_relaxed));
    }

    void rethrowFailure() const {
        if (failure_) std::rethrow_exception(failure_);
    }

private:
    void tick() {
        if (!control_->onTick(control_->bytesDone.load(std::memory_order_relaxed))) {
            control_->stop.store(true, std::memory_order_relaxed);
        }
    }

    const std::size_t units_;
    CountControl* const control_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> halted_{false};
    std::mutex mutex_;
    std::condition_variable ended_;
    unsigned running_ = 0;
    std::exception_ptr failure_;
};

}  // namespace

bool runUnits(std::size_t units, unsigned threads, CountControl* control,
              const std::function<bool(unsigned worker, std::size_t unit)>& work) {
    if (threads == 0) threads = 1;
    UnitQueue queue(units, control);
    const bool watching = control != nullptr && control->onTick;
    const unsigned firstOnThread = watching ? 0 : 1;
    queue.expectWorkers(threads);
    std::vector<std::thread> pool;
    pool.reserve(threads);
    for (unsigned worker = firstOnThread; worker < threads; ++worker) {
        try {
            pool.emplace_back([&queue, &work, worker] { queue.work(worker, work); });
        } catch (...) {
            queue.workerNotStarted();
        }
    }
    if (!watching) {
        queue.work(0, work);
    } else if (pool.empty()) {
        queue.expectWorkers(1);
        queue.work(0, work);
        queue.watch();
    } else {
        queue.watch();
    }
    for (std::thread& thread : pool) thread.join();
    queue.rethrowFailure();
    return !queue.stopped();
}

}  // namespace brevix::bpe
