#include "utils/win/service_helper.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "utils/twlogger.h"
#include "utils/win/moduleReference.h"
#include "utils/win/stringconv.h"
#include "utils/win/twexception.h"

namespace {

thread_local HANDLE t_stopEvent = nullptr;

// Its pause ends early when the thread's stop event is signalled.
class SystemWaitClock : public ServiceWaitClock {
public:
    uint32_t now() override { return GetTickCount(); }
    void pause(uint32_t milliseconds) override {
        if (t_stopEvent != nullptr) {
            WaitForSingleObject(t_stopEvent, milliseconds);
        } else {
            Sleep(milliseconds);
        }
    }
};

SystemWaitClock g_systemClock;
std::atomic<ServiceWaitClock*> g_clock{&g_systemClock};

constexpr uint32_t kMinPauseMs = 1000;
constexpr uint32_t kMaxPauseMs = 10000;

// CreateServiceW reads the dependencies up to a double NUL, so an empty list
// still needs two.
std::vector<wchar_t> multiString(const std::wstring& names) {
    std::vector<wchar_t> buffer(names.begin(), names.end());
    buffer.push_back(L'\0');
    buffer.push_back(L'\0');
    return buffer;
}

const wchar_t* optionalText(const std::wstring& text) { return text.empty() ? nullptr : text.c_str(); }

BOOL startCall(SC_HANDLE service, SERVICE_STATUS*) { return StartServiceW(service, 0, nullptr); }
BOOL stopCall(SC_HANDLE service, SERVICE_STATUS* status) {
    return ControlService(service, SERVICE_CONTROL_STOP, status);
}

// A call left to finish alone owns everything it touches: handles of its own,
// so it never uses ours once they are closed.
struct DetachedCall {
    UniqueScHandle manager;
    UniqueScHandle service;
    UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    BOOL result = FALSE;
    DWORD error = 0;
    SERVICE_STATUS status{};
};

// Null (with the last error set) when the service or the event cannot be had.
std::shared_ptr<DetachedCall> openDetachedCall(const std::wstring& name, DWORD access) {
    auto detached = std::make_shared<DetachedCall>();
    detached->manager.reset(OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT));
    if (detached->manager) detached->service.reset(OpenServiceW(detached->manager.get(), name.c_str(), access));
    if (detached->service && detached->done) return detached;
    return nullptr;
}

bool startDetachedCall(const std::shared_ptr<DetachedCall>& detached, BOOL (*call)(SC_HANDLE, SERVICE_STATUS*)) {
    UniqueHandle thread(ModuleReference::startThread([detached, call] {
        detached->result = call(detached->service.get(), &detached->status);
        detached->error = GetLastError();
        SetEvent(detached->done.get());
    }));
    return thread.valid();
}

}  // namespace

ServiceWaitClock& serviceWaitClock() { return *g_clock.load(); }

void setServiceWaitClock(ServiceWaitClock* clock) { g_clock.store(clock != nullptr ? clock : &g_systemClock); }

uint32_t servicePauseFor(uint32_t waitHintMs) {
    return std::min(kMaxPauseMs, std::max(kMinPauseMs, waitHintMs / 10));
}

ServiceWaitStop::ServiceWaitStop(HANDLE stopEvent) { t_stopEvent = stopEvent; }

ServiceWaitStop::~ServiceWaitStop() { t_stopEvent = nullptr; }

bool ServiceWaitStop::requested() {
    return t_stopEvent != nullptr && WaitForSingleObject(t_stopEvent, 0) == WAIT_OBJECT_0;
}

HANDLE ServiceWaitStop::event() { return t_stopEvent; }

service_helper::service_helper(const std::string& name, DWORD managerAccess, DWORD serviceAccess)
    : name_(name), managerAccess_(managerAccess), serviceAccess_(serviceAccess) {
    toWide(name_, wideName_);
    manager_.reset(OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, managerAccess_));
    if (!manager_) throw twexception(LOG_ERROR, static_cast<int>(GetLastError()), "Failed to open service manager.");
}

service_helper::~service_helper() {
    manager_.reset();
    service_.reset();
}

void service_helper::openService() {
    if (!manager_ || service_) return;
    service_.reset(OpenServiceW(manager_.get(), wideName_.c_str(), serviceAccess_));
    if (!service_) lastError_ = GetLastError();
}

bool service_helper::createService(const std::wstring& displayName, const std::wstring& description,
                                   const std::wstring& binaryPath, const service_config& config) {
    std::vector<wchar_t> dependencies = multiString(config.dependencies);
    SC_HANDLE created = CreateServiceW(manager_.get(), wideName_.c_str(), displayName.c_str(), config.desiredAccess,
                                       config.serviceType, config.startType, config.errorControl, binaryPath.c_str(),
                                       optionalText(config.loadOrderGroup), nullptr, dependencies.data(),
                                       optionalText(config.accountName), optionalText(config.password));
    if (created == nullptr) {
        lastError_ = GetLastError();
        TWLOG(LOG_ERROR, "Failed to create service: " << lastError_);
        return false;
    }
    service_.reset(created);
    std::wstring descriptionText = description;
    SERVICE_DESCRIPTIONW info{&descriptionText[0]};
    if (!ChangeServiceConfig2W(service_.get(), SERVICE_CONFIG_DESCRIPTION, &info)) {
        lastError_ = GetLastError();
        TWLOG(LOG_ERROR, "ChangeServiceConfig2 - description - failed: " << lastError_);
    }
    return true;
}

bool service_helper::queryStatus(SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    if (QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                             &needed)) {
        return true;
    }
    lastError_ = GetLastError();
    return false;
}

bool service_helper::queryService(DWORD& state) {
    if (!service_) {
        TWLOG(LOG_ERROR, "Failed to open service: " << name_);
        return false;
    }
    SERVICE_STATUS_PROCESS status{};
    if (!queryStatus(status)) return false;
    state = status.dwCurrentState;
    return true;
}

bool service_helper::deleteService() {
    if (!service_) {
        TWLOG(LOG_ERROR, "Failed to open service: " << name_);
        return false;
    }
    if (!DeleteService(service_.get())) {
        lastError_ = GetLastError();
        TWLOG(LOG_ERROR, "Failed to DeleteService " << name_ << " ,error= " << lastError_);
        return false;
    }
    service_.reset();
    return true;
}

// Waits while the service stays in `pendingState` and reports progress: gives
// up when its checkpoint stops advancing for longer than its wait hint, or
// when the start budget counted from `startedAt` is spent. A failed query
// ends the wait with the last state known.
service_helper::PendingWait service_helper::waitWhilePending(SERVICE_STATUS_PROCESS& status, DWORD pendingState,
                                                             uint32_t startedAt) {
    ServiceWaitClock& clock = serviceWaitClock();
    uint32_t markedAt = clock.now();
    DWORD checkpoint = status.dwCheckPoint;
    while (status.dwCurrentState == pendingState) {
        if (!pauseWithinBudget(status.dwWaitHint, startedAt, kStartBudgetMs)) return PendingWait::CutShort;
        SERVICE_STATUS_PROCESS latest{};
        if (!queryStatus(latest)) {
            TWLOG(LOG_ERROR, "QueryServiceStatusEx failed: " << lastError_);
            return PendingWait::QueryFailed;
        }
        status = latest;
        if (status.dwCurrentState != pendingState) break;
        if (clock.now() - startedAt >= kStartBudgetMs) return PendingWait::TimedOut;
        if (status.dwCheckPoint > checkpoint) {
            markedAt = clock.now();
            checkpoint = status.dwCheckPoint;
        } else if (clock.now() - markedAt > status.dwWaitHint) {
            return PendingWait::TimedOut;
        }
    }
    return PendingWait::Left;
}

bool service_helper::startService() {
    if (!service_) {
        TWLOG(LOG_ERROR, "Service handle is NULL: " << name_);
        return false;
    }
    const uint32_t startedAt = serviceWaitClock().now();
    SERVICE_STATUS_PROCESS status{};
    if (!queryStatus(status)) {
        TWLOG(LOG_ERROR, "QueryServiceStatusEx failed: " << lastError_);
        return false;
    }
    if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING) {
        TWLOG(LOG_INFO, name_ << " is already running.");
        return true;
    }
    // A stop that is under way must end before the service can be started again.
    const PendingWait stopWait = waitWhilePending(status, SERVICE_STOP_PENDING, startedAt);
    if (stopWait == PendingWait::TimedOut) TWLOG(LOG_ERROR, name_ << ":timeout waiting for service to stop.");
    if (stopWait != PendingWait::Left) return false;
    SERVICE_STATUS ignored{};
    if (!callManager(startCall, ignored)) {
        if (lastError_ != ERROR_CANCELLED) TWLOG(LOG_ERROR, name_ << " :startService failed: " << lastError_);
        return false;
    }
    if (!queryStatus(status)) {
        TWLOG(LOG_ERROR, "QueryServiceStatusEx failed: " << lastError_);
        return false;
    }
    waitWhilePending(status, SERVICE_START_PENDING, startedAt);
    if (status.dwCurrentState == SERVICE_RUNNING) {
        TWLOG(LOG_DEBUG, "Service started successfully");
        return true;
    }
    TWLOG(LOG_ERROR, name_ << " is not in running state, state=" << status.dwCurrentState);
    return false;
}

// The wait hint can be 0 or many minutes: the pause follows the pause rule
// and never reaches past the end of the budget.
bool service_helper::pauseWithinBudget(uint32_t waitHintMs, uint32_t startedAt, uint32_t budgetMs) {
    ServiceWaitClock& clock = serviceWaitClock();
    const uint32_t elapsed = clock.now() - startedAt;
    if (elapsed < budgetMs) clock.pause(std::min(servicePauseFor(waitHintMs), budgetMs - elapsed));
    if (!ServiceWaitStop::requested()) return true;
    noteCutShort();
    return false;
}

void service_helper::noteCutShort() { TWLOG(LOG_INFO, "The wait for " << name_ << " was cut short by a stop."); }

bool service_helper::callManager(ScmCall call, SERVICE_STATUS& status) {
    if (ServiceWaitStop::event() != nullptr) return callManagerOnOwnThread(call, status);
    if (call(service_.get(), &status)) return true;
    lastError_ = GetLastError();
    return false;
}

// Once the stop has come, nothing new is asked of the manager. A call the
// stop leaves behind may still start or stop the service.
bool service_helper::callManagerOnOwnThread(ScmCall call, SERVICE_STATUS& status) {
    if (ServiceWaitStop::requested()) {
        lastError_ = ERROR_CANCELLED;
        noteCutShort();
        return false;
    }
    const std::shared_ptr<DetachedCall> detached = openDetachedCall(wideName_, serviceAccess_);
    if (!detached || !startDetachedCall(detached, call)) {
        lastError_ = GetLastError();
        return false;
    }
    const HANDLE waits[] = {detached->done.get(), ServiceWaitStop::event()};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        lastError_ = ERROR_CANCELLED;
        noteCutShort();
        return false;
    }
    status = detached->status;
    if (detached->result) return true;
    lastError_ = detached->error;
    return false;
}

// One pause and query of a stop wait. Gives Stopped, TimedOut, Failed (the
// query failed, logged with `queryFailure`), CutShort or Waiting.
service_helper::StopPoll service_helper::pollStop(SERVICE_STATUS_PROCESS& status, uint32_t startedAt,
                                                  const char* queryFailure) {
    if (!pauseWithinBudget(status.dwWaitHint, startedAt, kStopBudgetMs)) return StopPoll::CutShort;
    if (!queryStatus(status)) {
        TWLOG(LOG_ERROR, queryFailure << lastError_);
        return StopPoll::Failed;
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
        TWLOG(LOG_INFO, "Service stopped successfully.");
        return StopPoll::Stopped;
    }
    if (serviceWaitClock().now() - startedAt >= kStopBudgetMs) {
        TWLOG(LOG_WARN, "Service stop timed out.");
        return StopPoll::TimedOut;
    }
    return StopPoll::Waiting;
}

bool service_helper::stopService() {
    const uint32_t startedAt = serviceWaitClock().now();
    if (!service_) {
        TWLOG(LOG_ERROR, "Failed to open service: " << name_);
        return false;
    }
    SERVICE_STATUS_PROCESS status{};
    if (!queryStatus(status)) {
        TWLOG(LOG_ERROR, "QueryServiceStatusEx() failed, error: " << lastError_);
        return false;
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
        TWLOG(LOG_DEBUG, "Service is already stopped");
        return true;
    }
    while (status.dwCurrentState == SERVICE_STOP_PENDING) {
        const StopPoll poll = pollStop(status, startedAt, "QueryServiceStatusEx() failed: ");
        if (poll != StopPoll::Waiting) return poll == StopPoll::Stopped;
    }
    SERVICE_STATUS controlStatus{};
    if (!callManager(stopCall, controlStatus)) {
        if (lastError_ != ERROR_CANCELLED)
            TWLOG(LOG_ERROR, "ControlService() -- Failed to send the stop command: " << lastError_);
        return false;
    }
    if (controlStatus.dwCurrentState == SERVICE_STOPPED) return true;
    status.dwCurrentState = controlStatus.dwCurrentState;
    status.dwWaitHint = controlStatus.dwWaitHint;
    for (;;) {
        const StopPoll poll = pollStop(status, startedAt, "QueryServiceStatusEx() failed, error: ");
        if (poll != StopPoll::Waiting) return poll == StopPoll::Stopped;
    }
}
