// Settings of the incremental trainer, and how it shares work among threads.
#pragma once

#include <algorithm>
#include <cstdint>

#include "common/stretch_threads.h"
#include "ties/tie_break.h"

namespace bytepairtokenizer {

// Settings of the incremental engine. The defaults are the fast ones; the
// test engines change them to reach paths that real inputs reach rarely.
struct TrainerTuning {
    TieBreakTuning ties;
    // The build counts the corpus in stretches of at least this many
    // positions, each on a thread of its own.
    int minStretch = 1 << 22;
    // Dead entries are dropped on several threads when each gets this many
    // stored entries at least.
    int minFilterShare = 1 << 18;
    // Threads at most (0: one per hardware thread, up to 8).
    int maxThreads = 0;
};

// How many threads share `work` units when each should have `minShare` at
// least: from 1 to tuning.maxThreads (0: the hardware threads, up to 8).
inline int shareCount(const TrainerTuning& tuning, std::uint64_t work, int minShare) {
    constexpr int kMostThreads = 8;  // when the machine offers more
    const int most = tuning.maxThreads > 0 ? tuning.maxThreads : std::min(hardwareThreads(), kMostThreads);
    const std::uint64_t fit = work / static_cast<std::uint64_t>(std::max(1, minShare));
    return static_cast<int>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(static_cast<std::uint64_t>(most), fit)));
}

}  // namespace bytepairtokenizer
