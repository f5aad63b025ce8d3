#include "CorePool.h"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <atomic>
#include <exception>

namespace batch {

namespace {

// 0 on the frames' threads, 1 and up on the helpers.
thread_local int threadIndex = 0;

} // namespace

unsigned loopThreads(unsigned cores, unsigned framesRunning, unsigned borrowed, int tasks)
{
    if (tasks <= 1)
        return 1;
    // The caller's own frame is running even when no frame thread was counted.
    const unsigned busy = std::max(framesRunning, 1u) + borrowed;
    const unsigned idle = cores > busy ? cores - busy : 0;
    return 1 + std::min(idle, static_cast<unsigned>(tasks - 1));
}

struct CorePool::Loop {
    Loop(int count, FN_parallel_for_body_cb_t function, void* argument, unsigned helpers)
        : tasks(count), body(function), data(argument), seats(helpers),
          // A few runs of tasks per thread balance the load; a body call per task
          // would repeat whatever a body sets up first (a mapper copy per row).
          chunk(std::max(1, count / static_cast<int>(8 * (helpers + 1))))
    {
    }
    const int tasks;
    const FN_parallel_for_body_cb_t body;
    void* const data;
    unsigned seats; // helpers still to join, under the pool's mutex
    const int chunk;
    std::atomic<int> next{0};
    std::atomic<int> finished{0};
    std::mutex failureMutex;
    std::exception_ptr failure; // the first task that threw
};

CorePool::CorePool(unsigned cores) : cores_(std::max(cores, 1u)), threads_(static_cast<int>(cores_))
{
    for (unsigned i = 1; i < cores_; ++i)
        helpers_.emplace_back(&CorePool::help, this, static_cast<int>(i));
}

CorePool::~CorePool()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& helper : helpers_)
        helper.join();
}

void CorePool::frameThreadStarted()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++running_;
}

void CorePool::frameThreadFinished()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_ > 0)
        --running_;
}

void CorePool::followRunningFrames(const std::atomic<unsigned>* frames)
{
    std::lock_guard<std::mutex> lock(mutex_);
    sharedRunning_ = frames;
}

void CorePool::runTasks(Loop& loop)
{
    for (int start = loop.next.fetch_add(loop.chunk); start < loop.tasks; start = loop.next.fetch_add(loop.chunk)) {
        const int end = std::min(start + loop.chunk, loop.tasks);
        try {
            loop.body(start, end, loop.data);
        } catch (...) {
            std::lock_guard<std::mutex> lock(loop.failureMutex);
            if (!loop.failure)
                loop.failure = std::current_exception();
        }
        if (threadIndex != 0)
            helped_ += static_cast<std::size_t>(end - start);
        if ((loop.finished += end - start) == loop.tasks) {
            // Under the mutex, so that the caller cannot miss it between its test and its wait.
            std::lock_guard<std::mutex> lock(mutex_);
            done_.notify_all();
        }
    }
}

void CorePool::parallel_for(int tasks, FN_parallel_for_body_cb_t body, void* data)
{
    if (tasks <= 0)
        return;
    std::shared_ptr<Loop> loop;
    unsigned helpers = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const unsigned running = sharedRunning_ ? sharedRunning_->load() : running_;
        helpers = loopThreads(cores_, running, borrowed_, tasks) - 1;
        if (helpers > 0) {
            borrowed_ += helpers;
            loop = std::make_shared<Loop>(tasks, body, data, helpers);
            waiting_.push_back(loop);
        }
    }
    if (!loop) {
        body(0, tasks, data);
        return;
    }
    wake_.notify_all();
    runTasks(*loop);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [&] { return loop->finished.load() == loop->tasks; });
        // Seats no helper took in time: nothing is left to do on them.
        waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), loop), waiting_.end());
        borrowed_ -= helpers;
    }
    if (loop->failure)
        std::rethrow_exception(loop->failure);
}

void CorePool::help(int index)
{
    threadIndex = index;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
        if (stopping_)
            return;
        const std::shared_ptr<Loop> loop = waiting_.front();
        if (--loop->seats == 0)
            waiting_.pop_front();
        lock.unlock();
        runTasks(*loop);
        lock.lock();
    }
}

int CorePool::getThreadNum() const
{
    return threadIndex;
}

int CorePool::getNumThreads() const
{
    return threads_.load();
}

int CorePool::setNumThreads(int threads)
{
    // The loops' helpers follow the frames in flight; the count is what the stitch
    // asks for to size its units.
    return threads_.exchange(threads > 0 ? threads : static_cast<int>(cores_));
}

std::size_t CorePool::helpedTasks() const
{
    return helped_.load();
}

CorePool& installCorePool(unsigned cores)
{
    static const std::shared_ptr<CorePool> pool = [cores] {
        auto made = std::make_shared<CorePool>(cores);
        cv::parallel::setParallelForBackend(made, false);
        return made;
    }();
    return *pool;
}

} // namespace batch
