// A fixed set of worker threads that take tasks from one FIFO queue. The
// destructor lets every queued task run, including tasks queued while it
// waits, before it stops and joins the workers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace PALVANE_SERVICE {

class thread_pool {
public:
    using task = std::function<void()>;

    // 0 threads means as many as the hardware reports, at least one. A thread
    // that cannot be created raises std::system_error after the workers
    // already started have been stopped and joined.
    explicit thread_pool(uint32_t threads);
    // Must not run on one of the pool's own workers.
    ~thread_pool();

    thread_pool(const thread_pool&) = delete;
    thread_pool& operator=(const thread_pool&) = delete;

    // Queues a call of `operation` with copies of `args` (the caller's strings
    // may go away at once); a result of the call is dropped.
    template <typename Operation, typename... Args>
    void enqueue(Operation&& operation, Args&&... args) {
        push(std::bind(std::forward<Operation>(operation), std::forward<Args>(args)...));
    }

    uint32_t size() const { return threadCount; }
    uint64_t pendingTasks() const { return pending.load(); }

private:
    template <typename Bound>
    void push(Bound bound) {
        addTask([call = std::move(bound)]() mutable { call(); });
    }
    void addTask(task work);
    void workerLoop();
    bool takeTask(task& work);
    void taskDone();
    void stopWorkers();

    std::atomic<bool> running{false};
    std::condition_variable taskAvailable;
    std::condition_variable drained;
    std::deque<task> queue;
    std::atomic<uint64_t> pending{0};
    std::mutex lock;
    uint32_t threadCount;
    std::unique_ptr<std::thread[]> threads;
    std::atomic<bool> draining{false};
};

}  // namespace PALVANE_SERVICE
