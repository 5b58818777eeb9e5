#include "palvane/win/upgrademgr/softwareService.h"

#include "utils/twlogger.h"

namespace {

DWORD WINAPI workItemThunk(void* binder) {
    std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(binder));
    (*work)();
    return 0;
}

bool queueLongWorkItem(std::function<void()> work) {
    auto binder = std::make_unique<std::function<void()>>(std::move(work));
    if (!QueueUserWorkItem(workItemThunk, binder.get(), WT_EXECUTELONGFUNCTION)) return false;
    (void)binder.release();  // the thunk owns it now
    return true;
}

}  // namespace

softwareServiceHooks softwareServiceHooks::production() {
    softwareServiceHooks hooks;
    hooks.makeManager = [] { return std::make_unique<palvaneMgr>(); };
    hooks.queueWork = queueLongWorkItem;
    return hooks;
}

CSSoftwareService::CSSoftwareService(PCWSTR serviceName, BOOL canStop, BOOL canShutdown, BOOL canPauseContinue,
                                     softwareServiceHooks hooks)
    : CServiceBase(serviceName, canStop, canShutdown, canPauseContinue),
      hooks_(std::move(hooks)),
      worker_(std::make_shared<serviceWorker>(hooks_.makeManager)) {
    TWLOG(LOG_DEBUG, " CSSoftwareService::CSSoftwareService()");
}

CSSoftwareService::~CSSoftwareService() {
    TWLOG(LOG_DEBUG, "CSSoftwareService::~CSSoftwareService()");
    worker_->releaseUnlessStopped();
    // After a stop the worker has only its clean-up left.
    if (worker_->stopped()) worker_->waitFinished(5000);
}

void CSSoftwareService::OnStart(DWORD argc, PWSTR* argv) {
    TWLOG(LOG_DEBUG, " CSSoftwareService in OnStart");
    std::shared_ptr<serviceWorker> worker = worker_;
    if (!hooks_.queueWork([worker] { worker->run(); })) {
        const DWORD error = GetLastError();
        throw error;
    }
}

void CSSoftwareService::OnStop() {
    TWLOG(LOG_DEBUG, " CSSoftwareService in OnStop");
    worker_->stop();
}

void CSSoftwareService::OnShutdown() { worker_->shutdown(); }

bool CSSoftwareService::endedCleanly() const { return !stopUnderWay() && !worker_->runtimeMayRun(); }
