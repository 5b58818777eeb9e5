#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "palvane/shared/thread_pool.h"
#include "support/testUtil.h"

using PALVANE_SERVICE::thread_pool;
using namespace std::chrono_literals;

namespace {

// A gate that tasks wait at until the test opens it (bounded wait).
class Gate {
public:
    void open() {
        std::lock_guard<std::mutex> guard(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool pass() {
        std::unique_lock<std::mutex> guard(mutex_);
        return changed_.wait_for(guard, 10s, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

// Records the order of calls and the highest number of tasks running at once.
class Recorder {
public:
    void record(const std::string& name) {
        std::lock_guard<std::mutex> guard(mutex_);
        order_.push_back(name);
    }
    void enter() {
        const int now = ++running_;
        int seen = peak_.load();
        while (now > seen && !peak_.compare_exchange_weak(seen, now)) {
        }
    }
    void leave() { --running_; }
    std::vector<std::string> order() {
        std::lock_guard<std::mutex> guard(mutex_);
        return order_;
    }
    int running() const { return running_.load(); }
    int peak() const { return peak_.load(); }

private:
    std::mutex mutex_;
    std::vector<std::string> order_;
    std::atomic<int> running_{0};
    std::atomic<int> peak_{0};
};

}  // namespace

TEST(ThreadPool, ZeroThreadsMeansAtLeastOneWorker) {
    thread_pool pool(0);
    EXPECT_GE(pool.size(), 1u);
    std::promise<void> ran;
    pool.enqueue([&] { ran.set_value(); });
    EXPECT_EQ(ran.get_future().wait_for(5s), std::future_status::ready);
}

TEST(ThreadPool, OneWorkerRunsTasksInQueueOrderWithCopiedArguments) {
    Recorder recorder;
    Gate gate;
    {
        thread_pool pool(1);
        pool.enqueue([&] { gate.pass(); });
        for (int index = 0; index < 5; ++index) {
            std::string name = "task" + std::to_string(index);
            pool.enqueue(&Recorder::record, &recorder, name);
            name = "overwritten";
        }
        gate.open();
    }
    EXPECT_EQ(recorder.order(), (std::vector<std::string>{"task0", "task1", "task2", "task3", "task4"}));
}

TEST(ThreadPool, RunsAtMostAsManyTasksAtOnceAsItHasWorkers) {
    Recorder recorder;
    Gate gate;
    thread_pool pool(3);
    for (int index = 0; index < 4; ++index) {
        pool.enqueue([&] {
            recorder.enter();
            gate.pass();
            recorder.leave();
        });
    }
    ASSERT_TRUE(testutil::waitUntil([&] { return recorder.running() == 3; }, 5s));
    Sleep(100);
    EXPECT_EQ(recorder.running(), 3) << "a fourth task started while three ran";
    EXPECT_EQ(pool.pendingTasks(), 4u);
    gate.open();
    ASSERT_TRUE(testutil::waitUntil([&] { return pool.pendingTasks() == 0; }, 5s));
    EXPECT_EQ(recorder.peak(), 3);
}

TEST(ThreadPool, DestructionRunsEveryQueuedTaskAndTasksQueuedWhileDraining) {
    std::atomic<int> done{0};
    Gate gate;
    auto pool = std::make_unique<thread_pool>(2);
    for (int index = 0; index < 6; ++index) {
        pool->enqueue([&] {
            gate.pass();
            ++done;
        });
    }
    // A task queued while the destructor already waits for the drain.
    pool->enqueue([&, raw = pool.get()] {
        gate.pass();
        Sleep(50);
        raw->enqueue([&] { ++done; });
        ++done;
    });
    auto destroyed = std::async(std::launch::async, [&] { pool.reset(); });
    EXPECT_EQ(destroyed.wait_for(100ms), std::future_status::timeout);
    gate.open();
    ASSERT_EQ(destroyed.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(done.load(), 8);
}

TEST(ThreadPool, IdlePoolIsDestroyedAtOnce) {
    const auto begin = std::chrono::steady_clock::now();
    { thread_pool pool(3); }
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
}

TEST(ThreadPool, AThrowingTaskIsLoggedAndThePoolGoesOn) {
    testutil::LogCapture log(3);
    std::atomic<int> done{0};
    {
        thread_pool pool(1);
        pool.enqueue([] { throw std::runtime_error("disk on fire"); });
        pool.enqueue([] { throw 42; });
        pool.enqueue([&] { ++done; });
        ASSERT_TRUE(testutil::waitUntil([&] { return pool.pendingTasks() == 0; }, 5s));
    }
    EXPECT_EQ(done.load(), 1);
    EXPECT_TRUE(log.contains("disk on fire"));
    EXPECT_TRUE(log.contains("unknown exception"));
}

TEST(ThreadPool, DropsTheResultOfABoolOperation) {
    struct Core {
        std::atomic<int> calls{0};
        bool install(const std::string& url, const std::string& hash) {
            ++calls;
            return url == "u" && hash == "h";
        }
    } core;
    {
        thread_pool pool(3);
        pool.enqueue(&Core::install, &core, std::string("u"), std::string("h"));
    }
    EXPECT_EQ(core.calls.load(), 1);
}
