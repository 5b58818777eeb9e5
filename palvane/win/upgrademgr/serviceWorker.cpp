#include "palvane/win/upgrademgr/serviceWorker.h"

#include <winsock2.h>

#include <exception>

#include "utils/twlogger.h"
#include "utils/win/twexception.h"

serviceWorker::serviceWorker(ManagerFactory makeManager)
    : makeManager_(std::move(makeManager)),
      stopEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      finishedEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

serviceWorker::~serviceWorker() = default;

palvaneMgr* serviceWorker::createManager() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopRequested_) return nullptr;
    manager_ = makeManager_();
    return manager_.get();
}

void serviceWorker::run() {
    TWLOG(LOG_DEBUG, " CSSoftwareService::ServiceWorkerThread()");
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    try {
        palvaneMgr* manager = createManager();
        if (manager != nullptr) manager->start();
        WaitForSingleObject(stopEvent_.get(), INFINITE);
        WSACleanup();
    } catch (const twexception& error) {
        TWLOG(error.level(), "Exception " << error.win32Error() << " " << error.systemText() << " "
                                          << error.message());
    } catch (const std::exception& error) {
        TWLOG(LOG_ERROR, "Exception " << error.what());
    } catch (...) {
        TWLOG(LOG_ERROR, "Unknown exception in CSSoftwareService::ServiceWorkerThread()");
    }
    TWLOG(LOG_DEBUG, "Exit CSSoftwareService::ServiceWorkerThread()");
    SetEvent(finishedEvent_.get());
}

void serviceWorker::stop() {
    palvaneMgr* manager = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
        manager = manager_.get();
    }
    if (manager != nullptr) manager->stop();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    SetEvent(stopEvent_.get());
}

void serviceWorker::shutdown() {
    palvaneMgr* manager = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
        manager = manager_.get();
    }
    if (manager != nullptr) manager->shutdown();
}

void serviceWorker::releaseUnlessStopped() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopRequested_ = true;
    if (stopped_ || !manager_) return;
    // The runtime's threads may still call back into the manager until the
    // process ends.
    TWLOG(LOG_WARN, "The runtime was not stopped; its manager is kept until the process ends.");
    (void)manager_.release();
}

bool serviceWorker::waitFinished(DWORD milliseconds) const {
    return WaitForSingleObject(finishedEvent_.get(), milliseconds) == WAIT_OBJECT_0;
}

bool serviceWorker::runtimeMayRun() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return manager_ != nullptr && !stopped_;
}

bool serviceWorker::stopped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopped_;
}
