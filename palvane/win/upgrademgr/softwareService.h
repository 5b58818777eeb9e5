// The host's own service: its start queues a long-running worker on the
// system thread pool that creates the runtime manager, starts the runtime and
// waits for the stop; its stop (on the stop's own thread) stops the runtime
// and ends that wait; its shutdown gives the runtime a bounded chance to stop.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

#include "palvane/win/upgrademgr/serviceWorker.h"
#include "palvane/win/upgrademgr/servicebase.h"

struct softwareServiceHooks {
    serviceWorker::ManagerFactory makeManager;
    // Queues `work` as a long-running item; false with the error in
    // GetLastError() when it could not be queued.
    std::function<bool(std::function<void()> work)> queueWork;

    static softwareServiceHooks production();
};

class CSSoftwareService : public CServiceBase {
public:
    CSSoftwareService(PCWSTR serviceName, BOOL canStop = TRUE, BOOL canShutdown = TRUE,
                      BOOL canPauseContinue = FALSE, softwareServiceHooks hooks = softwareServiceHooks::production());
    ~CSSoftwareService() override;

    const std::shared_ptr<serviceWorker>& worker() const { return worker_; }
    // False when the runtime, or a stop of it, may still be running: the
    // process must then end without destroying anything under them.
    bool endedCleanly() const;

protected:
    void OnStart(DWORD argc, PWSTR* argv) override;
    void OnStop() override;
    void OnShutdown() override;

private:
    softwareServiceHooks hooks_;
    std::shared_ptr<serviceWorker> worker_;
};
