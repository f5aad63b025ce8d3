#include "CorePool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

using batch::CorePool;
using batch::loopThreads;

TEST(CorePool, IdleCoresGoToTheFramesStillRunning)
{
    // Two cores: two frames in flight keep a loop on its own thread; one frame, or a
    // loop outside any frame, gets both.
    EXPECT_EQ(loopThreads(2, 2, 0, 1000), 1u);
    EXPECT_EQ(loopThreads(2, 1, 0, 1000), 2u);
    EXPECT_EQ(loopThreads(2, 0, 0, 1000), 2u);
    // More frames than cores (-j beyond the cores): still one thread each.
    EXPECT_EQ(loopThreads(2, 5, 0, 1000), 1u);
    // A core another loop borrowed is not lent twice.
    EXPECT_EQ(loopThreads(4, 1, 3, 1000), 1u);
    EXPECT_EQ(loopThreads(4, 1, 1, 1000), 3u);
    EXPECT_EQ(loopThreads(8, 3, 0, 1000), 6u);
    // Never more threads than tasks.
    EXPECT_EQ(loopThreads(8, 1, 0, 3), 3u);
    EXPECT_EQ(loopThreads(8, 1, 0, 1), 1u);
    EXPECT_EQ(loopThreads(8, 1, 0, 0), 1u);
    EXPECT_EQ(loopThreads(1, 0, 0, 1000), 1u);
}

namespace {

// What a loop's tasks saw: how often each ran and on which threads.
struct Record {
    explicit Record(int tasks) : runs(static_cast<std::size_t>(tasks)) {}
    std::vector<std::atomic<int>> runs;
    std::mutex mutex;
    std::set<std::thread::id> threads;
    int throwAt = -1;
};

void recordTasks(int start, int end, void* data)
{
    auto& record = *static_cast<Record*>(data);
    for (int task = start; task < end; ++task) {
        ++record.runs[static_cast<std::size_t>(task)];
        if (task == record.throwAt)
            throw std::runtime_error("task failed");
    }
    std::lock_guard<std::mutex> lock(record.mutex);
    record.threads.insert(std::this_thread::get_id());
}

// Two tasks that each wait until both have started (for up to half a minute, so that
// a pool without a helper fails rather than hangs): only two threads meet.
struct Meeting {
    std::mutex mutex;
    std::condition_variable arrived;
    int present = 0;
    bool stoodUp = false;
};

void meet(int start, int end, void* data)
{
    auto& meeting = *static_cast<Meeting*>(data);
    std::unique_lock<std::mutex> lock(meeting.mutex);
    meeting.present += end - start;
    meeting.arrived.notify_all();
    if (!meeting.arrived.wait_for(lock, std::chrono::seconds(30), [&] { return meeting.present >= 2; }))
        meeting.stoodUp = true;
}

} // namespace

TEST(CorePool, ALoopRunsAloneWhileEveryCoreHasAFrameAndIsHelpedOnceOneFinishes)
{
    CorePool pool(2);
    pool.frameThreadStarted();
    pool.frameThreadStarted();
    Record busy(1000);
    pool.parallel_for(1000, recordTasks, &busy);
    for (const auto& runs : busy.runs)
        ASSERT_EQ(runs.load(), 1);
    EXPECT_EQ(busy.threads, std::set<std::thread::id>{std::this_thread::get_id()});
    EXPECT_EQ(pool.helpedTasks(), 0u);

    // The other frame's thread is out of frames: its core joins this frame's loops.
    pool.frameThreadFinished();
    Meeting meeting;
    pool.parallel_for(2, meet, &meeting);
    EXPECT_FALSE(meeting.stoodUp) << "the first task waited for a helper that never came";
    EXPECT_EQ(pool.helpedTasks(), 1u);

    // Every task once, whichever thread took it.
    Record shared(5000);
    pool.parallel_for(5000, recordTasks, &shared);
    for (const auto& runs : shared.runs)
        ASSERT_EQ(runs.load(), 1);
}

// Worker processes count their frames in memory they share: the pool follows that
// count, not its own frame threads (of which a worker process has none).
TEST(CorePool, AWorkerProcessFollowsTheFramesRunningInAllOfThem)
{
    CorePool pool(2);
    std::atomic<unsigned> running{2};
    pool.followRunningFrames(&running);
    Record busy(1000);
    pool.parallel_for(1000, recordTasks, &busy);
    EXPECT_EQ(busy.threads, std::set<std::thread::id>{std::this_thread::get_id()});
    EXPECT_EQ(pool.helpedTasks(), 0u);

    // The other process is out of frames: its core joins this one's loops.
    running = 1;
    Meeting meeting;
    pool.parallel_for(2, meet, &meeting);
    EXPECT_FALSE(meeting.stoodUp) << "the first task waited for a helper that never came";
    EXPECT_EQ(pool.helpedTasks(), 1u);
}

TEST(CorePool, AFailingTaskFailsItsLoopAfterTheOthersRan)
{
    CorePool pool(2);
    Record record(64);
    record.throwAt = 7;
    EXPECT_THROW(pool.parallel_for(64, recordTasks, &record), std::runtime_error);
    // The failing call's later tasks are abandoned, as a body that throws leaves its
    // range; none runs twice, and the loop returns only once its other calls ended.
    for (const auto& runs : record.runs)
        EXPECT_LE(runs.load(), 1);
    EXPECT_EQ(record.runs[7].load(), 1);
    // The pool goes on serving loops.
    Record next(64);
    pool.parallel_for(64, recordTasks, &next);
    for (const auto& runs : next.runs)
        EXPECT_EQ(runs.load(), 1);
}
