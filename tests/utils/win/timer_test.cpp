#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>

#include "support/testUtil.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/timer.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Counts ticks; while `hold` is set, each tick signals `entered` and waits for
// `release` (bounded, so a broken timer cannot hang the test).
class TickRecorder : public ITimerCallback {
public:
    TickRecorder() : entered_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), release_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    void onTimer() override {
        ticks_++;
        lastTick_.store(Clock::now().time_since_epoch().count());
        if (!hold_) return;
        SetEvent(entered_.get());
        WaitForSingleObject(release_.get(), 5000);
        finished_++;
    }

    void holdTicks() { hold_ = true; }
    void releaseTicks() {
        hold_ = false;
        SetEvent(release_.get());
    }
    bool waitEntered() { return WaitForSingleObject(entered_.get(), 5000) == WAIT_OBJECT_0; }
    int ticks() const { return ticks_.load(); }
    int finished() const { return finished_.load(); }
    Clock::time_point lastTick() const { return Clock::time_point(Clock::duration(lastTick_.load())); }

private:
    std::atomic<int> ticks_{0};
    std::atomic<int> finished_{0};
    std::atomic<bool> hold_{false};
    std::atomic<Clock::rep> lastTick_{0};
    UniqueHandle entered_;
    UniqueHandle release_;
};

std::unique_ptr<ITimer> startedTimer(TickRecorder& recorder, unsigned periodMs, unsigned dueMs) {
    std::unique_ptr<ITimer> timer(createTimer());
    timer->setCallback(&recorder);
    EXPECT_TRUE(timer->start(periodMs, dueMs));
    return timer;
}

}  // namespace

TEST(WinTimer, TicksPeriodically) {
    TickRecorder recorder;
    auto timer = startedTimer(recorder, 20, 0);
    EXPECT_TRUE(testutil::waitUntil([&] { return recorder.ticks() >= 3; }, 5s));
    timer->stop();
}

TEST(WinTimer, ASecondStartReplacesTheFirstTimer) {
    TickRecorder recorder;
    auto timer = startedTimer(recorder, 20, 0);
    ASSERT_TRUE(testutil::waitUntil([&] { return recorder.ticks() >= 1; }, 5s));
    EXPECT_TRUE(timer->start(60000, 60000));
    Sleep(100);  // a tick already under way may still begin
    const int ticks = recorder.ticks();
    Sleep(200);
    EXPECT_EQ(recorder.ticks(), ticks) << "the first timer still ticks";
    timer->stop();
}

TEST(WinTimer, StopWaitsForARunningTickAndNoTickFollows) {
    TickRecorder recorder;
    recorder.holdTicks();
    auto timer = startedTimer(recorder, 30, 0);
    ASSERT_TRUE(recorder.waitEntered());

    auto stopped = std::async(std::launch::async, [&] { timer->stop(); });
    EXPECT_EQ(stopped.wait_for(300ms), std::future_status::timeout) << "stop returned while a tick ran";
    recorder.releaseTicks();
    ASSERT_EQ(stopped.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(recorder.finished(), recorder.ticks()) << "a tick was still running after stop returned";

    const int ticksAtStop = recorder.ticks();
    Sleep(200);
    EXPECT_EQ(recorder.ticks(), ticksAtStop);
}

TEST(WinTimer, ResetDuringATickSucceedsAndRearms) {
    TickRecorder recorder;
    recorder.holdTicks();
    auto timer = startedTimer(recorder, 60000, 0);
    ASSERT_TRUE(recorder.waitEntered());

    const auto resetAt = Clock::now();
    EXPECT_TRUE(timer->reset(150));
    recorder.releaseTicks();
    ASSERT_TRUE(testutil::waitUntil([&] { return recorder.ticks() >= 2; }, 5s)) << "no tick after the reset";
    EXPECT_GE(recorder.lastTick() - resetAt, 100ms);
    EXPECT_EQ(recorder.finished(), 1);
    timer->stop();
}

TEST(WinTimer, MisuseFailsWithItsLogLine) {
    testutil::LogCapture log;
    TickRecorder recorder;
    std::unique_ptr<ITimer> timer(createTimer());
    timer->setCallback(&recorder);
    EXPECT_FALSE(timer->reset(100));
    EXPECT_TRUE(log.contains("The timer-queue timerTimer was not created."));

    timer->stop();
    EXPECT_FALSE(timer->start(100, 0));
    EXPECT_TRUE(log.contains("TimerQueue handle is NULL."));
    EXPECT_FALSE(timer->reset(100));
    EXPECT_TRUE(log.contains("Timer queue handle is NULL."));
    EXPECT_EQ(recorder.ticks(), 0);
}

TEST(WinTimer, DestructionWithoutStopWaitsForTheTickAndEndsTicks) {
    TickRecorder recorder;
    recorder.holdTicks();
    auto timer = startedTimer(recorder, 20, 0);
    ASSERT_TRUE(recorder.waitEntered());

    auto destroyed = std::async(std::launch::async, [&] { timer.reset(); });
    EXPECT_EQ(destroyed.wait_for(200ms), std::future_status::timeout);
    recorder.releaseTicks();
    ASSERT_EQ(destroyed.wait_for(5s), std::future_status::ready);
    const int ticksAtDestruction = recorder.ticks();
    Sleep(150);
    EXPECT_EQ(recorder.ticks(), ticksAtDestruction);
}

TEST(WinTimer, TicksWithoutCallbackDoNothing) {
    std::unique_ptr<ITimer> timer(createTimer());
    EXPECT_TRUE(timer->start(10, 0));
    Sleep(60);
    timer->stop();
}

TEST(WinTimer, ResetRacingStopEndsWithAStoppedTimer) {
    testutil::LogCapture log;
    TickRecorder recorder;
    auto timer = startedTimer(recorder, 2, 0);
    std::atomic<bool> stopped{false};
    auto rearming = std::async(std::launch::async, [&] {
        const auto giveUp = Clock::now() + 5s;
        while (Clock::now() < giveUp) {
            if (!timer->reset(2)) return stopped.load();
        }
        return false;
    });
    Sleep(100);
    stopped = true;
    timer->stop();
    ASSERT_EQ(rearming.wait_for(6s), std::future_status::ready);
    EXPECT_TRUE(rearming.get()) << "a reset failed before the stop, or never failed after it";
    EXPECT_TRUE(log.contains("Timer queue handle is NULL."));
    const int ticksAtStop = recorder.ticks();
    Sleep(100);
    EXPECT_EQ(recorder.ticks(), ticksAtStop);
}
