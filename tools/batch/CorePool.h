#pragma once

#include <opencv2/core/parallel/parallel_backend.hpp>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace batch {

// Threads a frame's parallel loop of `tasks` runs on: the frame's own thread plus the
// cores that no frame in flight runs on and no other loop has borrowed. While as many
// frames run as there are cores, every loop runs on its frame's thread alone; once
// fewer are left, the idle cores join their loops.
unsigned loopThreads(unsigned cores, unsigned framesRunning, unsigned borrowed, int tasks);

// OpenCV's parallel loops for a batch of frames run side by side, each frame on a
// thread of its own: a loop borrows the cores no frame runs on (see loopThreads) from
// a pool of helper threads, one fewer than the cores. The loop's tasks go to whichever
// of its threads is free next; which thread runs a task never changes the result (the
// stitch gives the same bits on any number of threads).
class CorePool : public cv::parallel::ParallelForAPI {
public:
    explicit CorePool(unsigned cores);
    ~CorePool() override;
    CorePool(const CorePool&) = delete;
    CorePool& operator=(const CorePool&) = delete;

    // A frame's thread starts or stops taking frames; with none running, a loop may
    // borrow every helper.
    void frameThreadStarted();
    void frameThreadFinished();
    // Frames running in every worker process of the take (in memory they share), to
    // be counted instead of this process's frame threads: a process whose sibling is
    // out of frames borrows the core it leaves.
    void followRunningFrames(const std::atomic<unsigned>* frames);

    void parallel_for(int tasks, FN_parallel_for_body_cb_t body, void* data) override;
    int getThreadNum() const override;
    int getNumThreads() const override;
    int setNumThreads(int threads) override;
    const char* getName() const override { return "batch-cores"; }

    // Tasks that helper threads ran so far.
    std::size_t helpedTasks() const;

private:
    struct Loop;
    void help(int index);
    void runTasks(Loop& loop);

    const unsigned cores_;
    std::atomic<int> threads_; // what getNumThreads answers
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<std::shared_ptr<Loop>> waiting_; // loops with seats left for helpers
    unsigned running_ = 0;
    const std::atomic<unsigned>* sharedRunning_ = nullptr;
    unsigned borrowed_ = 0;
    bool stopping_ = false;
    std::atomic<std::size_t> helped_{0};
    std::vector<std::thread> helpers_;
};

// The process's pool, made on first use with `cores` cores (later calls return the same
// one), and installed as OpenCV's parallel backend.
CorePool& installCorePool(unsigned cores);

} // namespace batch
