// One Windows service as the service control manager sees it: the manager
// handle (open for the object's life), the service handle, and the operations
// that create, query, start, stop and delete the service. Each operation logs
// what went wrong and keeps the Windows error code in the last-error field.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "utils/win/scopedHandle.h"

// The clock and the pause of the start and stop waits. Production uses
// GetTickCount and Sleep; tests put in a faster one so that a service that
// never stops does not cost them 30 seconds.
class ServiceWaitClock {
public:
    virtual ~ServiceWaitClock() = default;
    // Milliseconds; wraps like GetTickCount (differences stay right).
    virtual uint32_t now() = 0;
    virtual void pause(uint32_t milliseconds) = 0;
};

// The clock every service wait uses (the system's unless a test set another).
ServiceWaitClock& serviceWaitClock();
// Sets the clock of every service wait; null restores the system's. The
// caller keeps the object alive while it is set.
void setServiceWaitClock(ServiceWaitClock* clock);

// The pause between two status queries: a tenth of the service's wait hint,
// kept between 1 and 10 seconds.
uint32_t servicePauseFor(uint32_t waitHintMs);

// While one lives, every service wait on the thread that made it, and every
// start or stop the service manager holds, ends as soon as `stopEvent` (a
// manual-reset event) is signalled: the owner of the thread is being stopped
// and no start or stop may hold it. Scopes do not nest.
class ServiceWaitStop {
public:
    explicit ServiceWaitStop(HANDLE stopEvent);
    ~ServiceWaitStop();
    ServiceWaitStop(const ServiceWaitStop&) = delete;
    ServiceWaitStop& operator=(const ServiceWaitStop&) = delete;

    // True once the current thread's stop event is signalled.
    static bool requested();
    // The current thread's stop event; null outside a scope.
    static HANDLE event();
};

// How a service is created; built by the managed components.
struct service_config {
    DWORD desiredAccess = SERVICE_ALL_ACCESS;
    DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
    DWORD startType = SERVICE_DEMAND_START;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
    std::wstring loadOrderGroup;
    // Names separated by NULs; empty for none.
    std::wstring dependencies;
    std::wstring accountName;
    std::wstring password;
};

class service_helper {
public:
    static constexpr uint32_t kStopBudgetMs = 30000;
    // A start, with the wait for a stop under way before it, is given up on
    // after this long in all, even while the service keeps reporting
    // progress; the service may still come up, and later queries see it.
    static constexpr uint32_t kStartBudgetMs = 60000;

    // Opens the service control manager; throws twexception when it cannot.
    service_helper(const std::string& name, DWORD managerAccess, DWORD serviceAccess);
    virtual ~service_helper();

    service_helper(const service_helper&) = delete;
    service_helper& operator=(const service_helper&) = delete;

    // Opens the service unless a handle is held; a failure is kept as the last error.
    void openService();
    bool createService(const std::wstring& displayName, const std::wstring& description,
                       const std::wstring& binaryPath, const service_config& config);
    bool queryService(DWORD& state);
    bool deleteService();
    // True when the service runs at the end; gives up after a minute.
    bool startService();
    // True when the service is stopped at the end; gives up after 30 seconds.
    bool stopService();

    DWORD lastError() const { return lastError_; }
    bool hasServiceHandle() const { return service_.valid(); }
    bool hasManagerHandle() const { return manager_.valid(); }
    const std::string& serviceName() const { return name_; }

protected:
    void setLastError(DWORD code) { lastError_ = code; }
    void closeServiceHandle() { service_.reset(); }
    SC_HANDLE managerHandle() const { return manager_.get(); }
    DWORD serviceAccess() const { return serviceAccess_; }

private:
    bool queryStatus(SERVICE_STATUS_PROCESS& status);
    enum class PendingWait { Left, TimedOut, QueryFailed, CutShort };
    PendingWait waitWhilePending(SERVICE_STATUS_PROCESS& status, DWORD pendingState, uint32_t startedAt);
    enum class StopPoll { Waiting, Stopped, TimedOut, Failed, CutShort };
    StopPoll pollStop(SERVICE_STATUS_PROCESS& status, uint32_t startedAt, const char* queryFailure);
    // A pause by the pause rule that ends early on the thread's stop; false
    // when the stop came.
    bool pauseWithinBudget(uint32_t waitHintMs, uint32_t startedAt, uint32_t budgetMs);
    // StartServiceW or ControlService, which the service control manager holds
    // for as long as the service takes to answer (about 30 s): on a thread
    // whose waits a stop cuts, it runs on a thread of its own, with handles of
    // its own, and the stop ends the wait for it. False with the last error
    // set, ERROR_CANCELLED when the stop came first.
    using ScmCall = BOOL (*)(SC_HANDLE service, SERVICE_STATUS* status);
    bool callManager(ScmCall call, SERVICE_STATUS& status);
    bool callManagerOnOwnThread(ScmCall call, SERVICE_STATUS& status);
    void noteCutShort();

    std::wstring wideName_;
    std::string name_;
    DWORD lastError_ = 0;
    UniqueScHandle manager_;
    UniqueScHandle service_;
    DWORD managerAccess_;
    DWORD serviceAccess_;
};
