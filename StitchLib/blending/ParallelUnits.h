#pragma once

#include <functional>

namespace orb {

// Runs unit(0, worker) ... unit(count - 1, worker) on the available cores and
// returns when all have finished. The units must be independent: each only
// reads what the others may read and writes only its own results, so that
// what they compute does not depend on the number of threads or on the order
// they run in. worker, below independentWorkers(count), names the worker that
// runs a unit; units with the same worker never overlap in time, so they may
// share a scratch buffer. Inside another parallel loop the units run one after
// the other on the calling thread. If units throw, the exception of the lowest
// index is rethrown as it was thrown, the one a serial loop would meet first.
void runIndependent(int count, const std::function<void(int index, int worker)>& unit);

// The number of workers runIndependent uses for count units, at least 1.
int independentWorkers(int count);

} // namespace orb
