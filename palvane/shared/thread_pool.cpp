#include "palvane/shared/thread_pool.h"

#include <exception>

#include "utils/twlogger.h"

namespace PALVANE_SERVICE {

namespace {

uint32_t workerCount(uint32_t requested) {
    if (requested != 0) return requested;
    const unsigned reported = std::thread::hardware_concurrency();
    return reported != 0 ? reported : 1;
}

// A task's exception must neither end the worker (std::terminate) nor keep
// the pending count up, or the destructor's drain would never end.
void runGuarded(thread_pool::task& work) {
    try {
        work();
    } catch (const std::exception& error) {
        TWLOG(LOG_ERROR, "Task pool task failed with exception: " << error.what());
    } catch (...) {
        TWLOG(LOG_ERROR, "Task pool task failed with an unknown exception.");
    }
}

}  // namespace

thread_pool::thread_pool(uint32_t threads) : threadCount(workerCount(threads)) {
    this->threads.reset(new std::thread[threadCount]);
    running = true;
    for (uint32_t index = 0; index < threadCount; ++index) {
        try {
            this->threads[index] = std::thread(&thread_pool::workerLoop, this);
        } catch (...) {
            stopWorkers();
            throw;
        }
    }
}

thread_pool::~thread_pool() {
    if (!draining) {
        draining = true;
        std::unique_lock<std::mutex> guard(lock);
        drained.wait(guard, [this] { return pending.load() == 0; });
        draining = false;
    }
    stopWorkers();
}

void thread_pool::stopWorkers() {
    running = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        taskAvailable.notify_all();
    }
    for (uint32_t index = 0; index < threadCount; ++index) {
        if (threads[index].joinable()) threads[index].join();
    }
}

void thread_pool::addTask(task work) {
    {
        std::lock_guard<std::mutex> guard(lock);
        queue.push_back(std::move(work));
        ++pending;
    }
    taskAvailable.notify_one();
}

bool thread_pool::takeTask(task& work) {
    std::unique_lock<std::mutex> guard(lock);
    taskAvailable.wait(guard, [this] { return !queue.empty() || !running; });
    if (!running) return false;
    work = std::move(queue.front());
    queue.pop_front();
    return true;
}

void thread_pool::taskDone() {
    std::lock_guard<std::mutex> guard(lock);
    --pending;
    if (draining) drained.notify_one();
}

void thread_pool::workerLoop() {
    while (running) {
        task work;
        if (!takeTask(work)) return;
        runGuarded(work);
        work = nullptr;
        taskDone();
    }
}

}  // namespace PALVANE_SERVICE
