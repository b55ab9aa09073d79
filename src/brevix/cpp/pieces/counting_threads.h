// Running units of counting work on several threads, with the caller's
// progress ticks and stop flag.
#pragma once

#include <cstddef>
#include <functional>

#include "pieces/count_control.h"

namespace brevix::bpe {

// Runs work(worker, unit) for every unit in [0, units) on `threads` workers
// (ids 0 .. threads - 1), each taking the next unit nobody has taken yet. A
// worker that cannot be started leaves its units to the others. When
// `control` has an onTick, the calling thread only watches and ticks (see
// CountControl); otherwise it is worker 0.
//
// Returns true when every unit was done; false when work returned false, the
// control's stop flag was set or onTick returned false (the workers then end
// after their current unit). Once every worker has ended, rethrows the first
// exception a worker threw (the others stop after their current unit).
bool runUnits(std::size_t units, unsigned threads, CountControl* control,
              const std::function<bool(unsigned worker, std::size_t unit)>& work);

}  // namespace brevix::bpe
