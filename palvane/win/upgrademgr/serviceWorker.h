// The service's worker and the state it shares with the control handler. It
// is shared between the service object and the worker thread, so a worker
// that outlives the service object (after a shutdown) still has its state.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>

#include "palvane/win/upgrademgr/softwareMgr.h"
#include "utils/win/scopedHandle.h"

class serviceWorker {
public:
    using ManagerFactory = std::function<std::unique_ptr<palvaneMgr>()>;

    explicit serviceWorker(ManagerFactory makeManager);
    ~serviceWorker();

    serviceWorker(const serviceWorker&) = delete;
    serviceWorker& operator=(const serviceWorker&) = delete;

    // On the worker thread: creates the manager, starts the runtime and waits
    // for the stop.
    void run();
    // On the stop's thread: stops the runtime (reaching a start under way),
    // frees it once the start has returned, and ends the worker's wait. A
    // worker that has not created the manager yet will not create it.
    void stop();
    // On the control handler's thread: the process ends next. The runtime
    // gets a bounded chance to stop; nothing more starts and the manager is
    // not freed under the runtime.
    void shutdown();
    // Called when the service object goes away: a manager whose runtime was
    // not stopped is left alone for the end of the process.
    void releaseUnlessStopped();

    bool waitFinished(DWORD milliseconds) const;
    bool stopped() const;
    // True while a manager exists whose runtime has not been stopped.
    bool runtimeMayRun() const;

private:
    palvaneMgr* createManager();

    ManagerFactory makeManager_;
    mutable std::mutex mutex_;
    bool stopRequested_ = false;
    bool stopped_ = false;
    std::unique_ptr<palvaneMgr> manager_;
    UniqueHandle stopEvent_;
    UniqueHandle finishedEvent_;
};
