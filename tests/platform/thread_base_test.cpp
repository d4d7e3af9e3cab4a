#include "grafimo/platform/thread_base.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>

namespace grafimo {
namespace {

using namespace std::chrono_literals;
using platform::TThread;

constexpr auto Guard = 5s; // failure guard only

// A worker whose every pass stops at a gate the test opens, so the test knows exactly
// where the thread stands.
class GatedWorker : public TThread {
public:
    ~GatedWorker() override { stopAndWait(); }

    // Waits until the worker is inside pass number `n` (1-based).
    bool waitInPass(int n)
    {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, Guard, [&] { return inPass_ >= n; });
    }
    void openGate()
    {
        std::lock_guard lock(m_);
        ++gates_;
        cv_.notify_all();
    }
    int passesDone() const
    {
        std::lock_guard lock(m_);
        return done_;
    }
    int terminateHooks() const { return hooks_.load(); }

protected:
    void Execute() override
    {
        while (safePoint()) {
            std::unique_lock lock(m_);
            ++inPass_;
            cv_.notify_all();
            cv_.wait(lock, [&] { return gates_ >= inPass_ || Terminated(); });
            if (gates_ < inPass_)
                return;
            ++done_;
        }
    }
    void onTerminate() override
    {
        ++hooks_;
        std::lock_guard lock(m_);
        cv_.notify_all();
    }

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    int inPass_ = 0;
    int gates_ = 0;
    int done_ = 0;
    std::atomic<int> hooks_{0};
};

TEST(TThreadPause, TakesEffectOnlyAtTheSafePoint)
{
    GatedWorker w;
    w.Start();
    ASSERT_TRUE(w.waitInPass(1));
    w.Suspend();
    EXPECT_TRUE(w.Suspended());
    // Mid-pass: the request is recorded but the pass is not cut.
    EXPECT_FALSE(w.isParked());
    w.openGate();
    ASSERT_TRUE(w.waitParked(Guard));
    EXPECT_EQ(w.passesDone(), 1);
    EXPECT_TRUE(w.isParked());

    w.Resume();
    EXPECT_FALSE(w.Suspended());
    ASSERT_TRUE(w.waitInPass(2)) << "resumed thread goes on with its next pass";
    EXPECT_FALSE(w.isParked());
}

TEST(TThreadPause, TerminateWhileParkedEndsTheThread)
{
    GatedWorker w;
    w.Start();
    ASSERT_TRUE(w.waitInPass(1));
    w.Suspend();
    w.openGate();
    ASSERT_TRUE(w.waitParked(Guard));
    w.Terminate();
    EXPECT_TRUE(w.WaitFor(Guard));
    EXPECT_TRUE(w.Finished());
    EXPECT_EQ(w.passesDone(), 1) << "no further pass after the end was asked for";
    EXPECT_FALSE(w.isParked());
}

TEST(TThreadPause, SuspendBeforeStartParksAtTheFirstSafePoint)
{
    GatedWorker w;
    w.Suspend();
    w.Start();
    ASSERT_TRUE(w.waitParked(Guard));
    EXPECT_EQ(w.passesDone(), 0);
    w.Resume();
    EXPECT_TRUE(w.waitInPass(1));
}

TEST(TThreadPause, WaitParkedGivesUpWhenTheThreadEnds)
{
    class Quick : public TThread {
    protected:
        void Execute() override {}
    } q;
    q.Start();
    q.Suspend();
    EXPECT_FALSE(q.waitParked(Guard));
    EXPECT_TRUE(q.Finished());
}

TEST(TThreadEnd, TerminateCallsTheHookAndEndsARunningPass)
{
    GatedWorker w;
    w.Start();
    ASSERT_TRUE(w.waitInPass(1));
    w.Terminate();
    EXPECT_TRUE(w.Terminated());
    EXPECT_TRUE(w.WaitFor(Guard));
    EXPECT_EQ(w.terminateHooks(), 1);
    EXPECT_EQ(w.passesDone(), 0);
}

TEST(TThreadEnd, DestroyingARunningThreadJoinsIt)
{
    auto w = std::make_unique<GatedWorker>();
    w->Start();
    ASSERT_TRUE(w->waitInPass(1));
    auto gone = std::async(std::launch::async, [&] { w.reset(); });
    EXPECT_EQ(gone.wait_for(Guard), std::future_status::ready);
}

TEST(TThreadEnd, SecondStartRunsNothingMore)
{
    class Counting : public TThread {
    public:
        std::atomic<int> runs{0};
        ~Counting() override { stopAndWait(); }
    protected:
        void Execute() override { ++runs; }
    } c;
    c.Start();
    c.Start();
    EXPECT_TRUE(c.WaitFor(Guard));
    c.Start();
    EXPECT_EQ(c.runs.load(), 1);
}

TEST(TThreadEnd, ExceptionEndsTheThreadAndIsKept)
{
    class Throwing : public TThread {
    protected:
        void Execute() override { throw std::runtime_error("device gone"); }
    } t;
    t.Start();
    ASSERT_TRUE(t.WaitFor(Guard));
    ASSERT_TRUE(t.failure());
    EXPECT_THROW(std::rethrow_exception(t.failure()), std::runtime_error);
}

TEST(TThreadEnd, CpuTimeOfASleepingThreadStaysSmall)
{
    GatedWorker w;
    w.Start();
    ASSERT_TRUE(w.waitInPass(1));
    EXPECT_GE(w.cpuTime().count(), 0);
    w.Terminate();
    ASSERT_TRUE(w.WaitFor(Guard));
    // Blocked on its gate the whole time; the figure is kept after the end.
    EXPECT_LT(w.cpuTime(), 50ms);
}

} // namespace
} // namespace grafimo
