// A fake runtime library behind libloader::ILibLoader: every load, export
// call and object call goes into one journal, so a test can check what the
// manager did and in which order.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "palvane/shared/Ipalvane.h"
#include "palvane/win/upgrademgr/libloader_win.h"

namespace fakert {

class Journal {
public:
    void add(const std::string& event);
    std::vector<std::string> events() const;
    size_t count(const std::string& event) const;
    // Position of the first such event, or -1.
    int indexOf(const std::string& event) const;
    bool waitFor(const std::string& event, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    std::chrono::steady_clock::time_point timeOf(const std::string& event) const;
    std::string text() const;
    void clear();

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> events_;
};

// Process-wide state of the fake libraries.
struct Runtime {
    Journal journal;
    std::mutex mutex;
    std::set<std::string> failingLoads;   // names whose load fails
    std::set<std::string> swapped;        // names whose module is not the file checked
    std::set<std::string> failingStarts;  // names whose start fails inside
    // This event ("load x", "StartMonitoring x") waits for release(); once
    // released it is journalled again with " released" after it. A blocked
    // StartMonitoring is released by its object's StopMonitoring, as the
    // runtime's stop cuts its start's waits short.
    std::string blockedAt;
    bool released = false;
    std::condition_variable releaseSignal;
    std::string constructing;             // library whose Constructor runs next
    // Threads that called a callback; Destructor waits for them, as the real
    // runtime drains its task pool.
    struct CallbackThread {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<CallbackThread> callbackThreads;

    void reset();
    void release();
    // Journals the event and waits (bounded) while it is the blocked one.
    void enter(const std::string& event);
    // Calls the running object's callback on a new thread, as the runtime
    // does from a task of its pool. False when no object is running.
    bool callBackFromRuntimeThread();
    // Waits for every callback thread; false when one is still running after
    // the timeout (the host blocked it).
    bool drainCallbackThreads(std::chrono::milliseconds timeout);
};

Runtime& runtime();

class FakeObject final : public PALVANE_SERVICE::Ipalvane {
public:
    explicit FakeObject(std::string name) : name_(std::move(name)) {}
    void StartMonitoring(PALVANE_SERVICE::ReloadCallback callback) override;
    void StopMonitoring() override;
    bool RemoveInstalledService() override { return false; }
    const std::string& name() const { return name_; }
    void callBack() const;

private:
    std::string name_;
    PALVANE_SERVICE::ReloadCallback callback_;
};

// The object started last and not yet destroyed, or null.
FakeObject* runningObject();

class FakeLoader : public libloader::ILibLoader {
public:
    explicit FakeLoader(const std::string& path);
    bool load() override;
    void* symbol(const char* name) override;
    bool close() override;
    bool isFile(HANDLE) override {
        std::lock_guard<std::mutex> lock(runtime().mutex);
        return runtime().swapped.count(name_) == 0;
    }

private:
    std::string name_;
    bool loaded_ = false;
};

std::unique_ptr<libloader::ILibLoader> makeLoader(const std::string& path);

}  // namespace fakert
