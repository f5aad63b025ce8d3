#include "StitchLib/blending/ParallelUnits.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <atomic>
#include <exception>
#include <vector>

namespace orb {

int independentWorkers(int count)
{
    return std::max(1, std::min(count, cv::getNumThreads()));
}

void runIndependent(int count, const std::function<void(int index, int worker)>& unit)
{
    if (count <= 0) {
        return;
    }
    // Workers take the units in index order as they become free, which
    // balances units of unequal cost.
    const int workers = independentWorkers(count);
    std::atomic<int> next(0);
    // Nothing may leave the loop body: the parallel framework would replace an
    // exception by its own, and which unit failed first would depend on timing.
    std::vector<std::exception_ptr> failures(static_cast<std::size_t>(count));
    cv::parallel_for_(
        cv::Range(0, workers),
        [&](const cv::Range& range) {
            for (int worker = range.start; worker < range.end; ++worker) {
                for (int i = next++; i < count; i = next++) {
                    try {
                        unit(i, worker);
                    } catch (...) {
                        failures[static_cast<std::size_t>(i)] = std::current_exception();
                    }
                }
            }
        },
        workers);
    for (const std::exception_ptr& failure : failures) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
}

} // namespace orb
