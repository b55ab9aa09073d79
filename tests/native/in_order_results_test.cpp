// InOrderResults: every job runs once, the caller sees each result whole
// and in order, a failing job stops the rest and is what finish() throws.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/in_order_results.h"

namespace {

using brevix::InOrderResults;

class InOrder : public ::testing::TestWithParam<unsigned> {};

TEST_P(InOrder, TheCallerTakesEveryResultWholeAndInOrder) {
    const std::size_t items = 300;
    std::vector<std::vector<int>> results(items);
    std::vector<std::atomic<int>> runs(items);
    InOrderResults pipeline(items, GetParam(), [&](std::size_t i) {
        // Later items finish first now and then: the caller must still wait.
        if (i % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        results[i].assign(i % 50 + 1, static_cast<int>(i));
        runs[i].fetch_add(1);
    });
    for (std::size_t i = 0; i < items; ++i) {
        ASSERT_TRUE(pipeline.waitFor(i));
        ASSERT_TRUE(pipeline.ready(i));
        ASSERT_EQ(results[i], std::vector<int>(i % 50 + 1, static_cast<int>(i)));
    }
    pipeline.finish();
    for (const std::atomic<int>& n : runs) EXPECT_EQ(n.load(), 1);
}

TEST_P(InOrder, AFailingJobStopsTheRestAndIsRethrown) {
    std::atomic<std::size_t> started{0};
    InOrderResults pipeline(10000, GetParam(), [&](std::size_t i) {
        started.fetch_add(1);
        if (i == 20) throw std::runtime_error("job 20");
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    });
    std::size_t taken = 0;
    while (taken < 10000 && pipeline.waitFor(taken)) ++taken;
    EXPECT_LE(taken, 20u);
    EXPECT_THROW(
        {
            try {
                pipeline.finish();
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "job 20");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_LT(started.load(), 10000u);
}

TEST_P(InOrder, ACallerThatGivesUpStopsTheJobs) {
    const std::size_t items = 2000;
    std::atomic<std::size_t> started{0};
    {
        InOrderResults pipeline(items, GetParam(), [&](std::size_t) {
            started.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        });
        ASSERT_TRUE(pipeline.waitFor(0));
        pipeline.cancel();
        EXPECT_FALSE(pipeline.waitFor(items - 1));
        pipeline.finish();
    }
    EXPECT_LT(started.load(), items);
}

// While item 0's job runs on the one thread, the caller waiting for it
// takes the other jobs: item 0's job ends only once all of them have run,
// all on the caller's thread (should they not run, the test gives up after
// ten seconds rather than hang).
TEST(InOrderHelp, TheCallerRunsUntakenJobsWhileItWaits) {
    const std::size_t items = 20;
    std::atomic<bool> firstStarted{false};
    std::atomic<std::size_t> others{0};
    std::atomic<std::size_t> onCaller{0};
    const std::thread::id caller = std::this_thread::get_id();
    const auto until = [](const auto& condition) {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!condition() && std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    InOrderResults pipeline(items, 1, [&](std::size_t i) {
        if (i == 0) {
            firstStarted = true;
            until([&] { return others.load() == items - 1; });
            return;
        }
        if (std::this_thread::get_id() == caller) onCaller.fetch_add(1);
        others.fetch_add(1);
    });
    until([&] { return firstStarted.load(); });
    ASSERT_TRUE(firstStarted.load());
    ASSERT_TRUE(pipeline.waitFor(0));
    pipeline.finish();
    EXPECT_EQ(others.load(), items - 1);
    EXPECT_EQ(onCaller.load(), items - 1);
}

// 0 threads: no thread is started and waitFor runs each job itself.
INSTANTIATE_TEST_SUITE_P(Threads, InOrder, ::testing::Values(0u, 1u, 2u, 8u));

}  // namespace
