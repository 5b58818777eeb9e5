#include "palvane/win/upgrademgr/servicebase.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <memory>
#include <string>

#include "utils/twlogger.h"
#include "utils/win/scopedHandle.h"

CServiceBase* CServiceBase::s_service = nullptr;
std::atomic<DWORD> CServiceBase::s_checkPoint{1};

namespace {

BOOL reportToSystem(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status) {
    SERVICE_STATUS copy = status;
    return ::SetServiceStatus(handle, &copy);
}

}  // namespace

bool CServiceBase::Run(CServiceBase& service) {
    TWLOG(LOG_DEBUG, "CServiceBase::Run()");
    s_service = &service;
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<PWSTR>(service.name_), ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) != FALSE;
}

CServiceBase::CServiceBase(PCWSTR serviceName, BOOL canStop, BOOL canShutdown, BOOL canPauseContinue)
    : status_{},
      endProcess_([] { TerminateProcess(GetCurrentProcess(), kHungStopExitCode); }),
      name_(serviceName != nullptr ? serviceName : L""),
      reporter_(reportToSystem) {
    status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status_.dwCurrentState = SERVICE_START_PENDING;
    DWORD accepted = 0;
    if (canStop) accepted |= SERVICE_ACCEPT_STOP;
    if (canShutdown) accepted |= SERVICE_ACCEPT_SHUTDOWN;
    if (canPauseContinue) accepted |= SERVICE_ACCEPT_PAUSE_CONTINUE;
    status_.dwControlsAccepted = accepted;
}

CServiceBase::~CServiceBase() {
    if (stopThread_.joinable()) stopThread_.join();
    if (stopHookThread_.joinable()) stopHookThread_.join();
}

void WINAPI CServiceBase::ServiceMain(DWORD argc, PWSTR* argv) {
    CServiceBase* service = s_service;
    if (service == nullptr) return;
    service->statusHandle_ = RegisterServiceCtrlHandlerW(service->name_, ServiceCtrlHandler);
    if (service->statusHandle_ == nullptr) {
        const DWORD error = GetLastError();
        // Without a handle no state can be reported; the dispatcher ends the
        // process's service table when the service control manager gives up.
        TWLOG(LOG_ERROR, "RegisterServiceCtrlHandler() failed, error=" << error);
        return;
    }
    service->Start(argc, argv);
}

void WINAPI CServiceBase::ServiceCtrlHandler(DWORD control) {
    if (s_service != nullptr) s_service->Control(control);
}

void CServiceBase::Control(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP: Stop(); break;
        case SERVICE_CONTROL_PAUSE: Pause(); break;
        case SERVICE_CONTROL_CONTINUE: Continue(); break;
        case SERVICE_CONTROL_SHUTDOWN: Shutdown(); break;
        default: break;
    }
}

void CServiceBase::Start(DWORD argc, PWSTR* argv) {
    TWLOG(LOG_DEBUG, "CServiceBase::Start()");
    try {
        SetServiceStatus(SERVICE_START_PENDING);
        OnStart(argc, argv);
        SetServiceStatus(SERVICE_RUNNING);
    } catch (DWORD error) {
        TWLOG(LOG_ERROR, " Service Start" << error);
        SetServiceStatus(SERVICE_STOPPED, error);
    } catch (...) {
        TWLOG(LOG_ERROR, "Service failed to start.");
        SetServiceStatus(SERVICE_STOPPED);
    }
}

void CServiceBase::Stop() {
    std::lock_guard<std::mutex> lock(stopMutex_);
    if (stopping_) return;  // the stop under way goes on reporting its progress
    // A thread left by an earlier stop that failed has ended by now.
    if (stopThread_.joinable()) stopThread_.join();
    const DWORD previousState = status().dwCurrentState;
    SetServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, kStopWaitHintMs);
    try {
        stopThread_ = std::thread(&CServiceBase::RunStop, this, previousState);
        stopping_ = true;
    } catch (...) {
        TWLOG(LOG_ERROR, "Service failed to stop.");
        SetServiceStatus(previousState);
    }
}

// On the stop's own thread: the hook runs beside it, so that the pending
// state can be reported again while the hook takes its time, and a hook that
// never returns cannot keep the service from stopping.
void CServiceBase::RunStop(DWORD previousState) {
    auto outcome = std::make_shared<std::promise<void>>();
    std::future<void> hook = outcome->get_future();
    try {
        stopHookThread_ = std::thread([this, outcome] {
            try {
                OnStop();
                outcome->set_value();
            } catch (...) {
                outcome->set_exception(std::current_exception());
            }
        });
    } catch (...) {
        outcome->set_exception(std::current_exception());
    }
    if (!awaitStopHook(hook)) {
        endHungStop();
        return;
    }
    if (stopHookThread_.joinable()) stopHookThread_.join();
    DWORD finalState = SERVICE_STOPPED;
    try {
        hook.get();
    } catch (DWORD error) {
        TWLOG(LOG_ERROR, "Service Stop error=" << error);
        finalState = previousState;
    } catch (...) {
        TWLOG(LOG_ERROR, "Service failed to stop.");
        finalState = previousState;
    }
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        stopping_ = false;
    }
    // The last use of this object: after SERVICE_STOPPED the program may end.
    SetServiceStatus(finalState);
}

bool CServiceBase::awaitStopHook(std::future<void>& hook) {
    const auto deadline = std::chrono::steady_clock::now() + stopLimit_;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return hook.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
        if (hook.wait_for(std::min(left, std::chrono::milliseconds(kStopProgressMs))) == std::future_status::ready) {
            return true;
        }
        SetServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, kStopWaitHintMs);
    }
}

// The hook's thread is left running: nothing may be destroyed under it, so
// the process ends here as it does after a system shutdown.
void CServiceBase::endHungStop() {
    TWLOG(LOG_CRIT, "The service did not stop within " << stopLimit_.count() / 1000 << " s; the process ends.");
    SetServiceStatus(SERVICE_STOPPED, kHungStopExitCode);
    if (endProcess_) endProcess_();
}

bool CServiceBase::stopUnderWay() const {
    std::lock_guard<std::mutex> lock(stopMutex_);
    return stopping_;
}

void CServiceBase::Pause() {
    Transition({SERVICE_PAUSE_PENDING, &CServiceBase::OnPause, SERVICE_PAUSED, "Service Pause error=",
                "Service failed to pause.", SERVICE_RUNNING});
}

void CServiceBase::Continue() {
    Transition({SERVICE_CONTINUE_PENDING, &CServiceBase::OnContinue, SERVICE_RUNNING, "Service Continue error=",
                "Service failed to resume.", SERVICE_PAUSED});
}

void CServiceBase::Transition(const TransitionSteps& steps) {
    try {
        SetServiceStatus(steps.pending);
        (this->*steps.hook)();
        SetServiceStatus(steps.done);
    } catch (DWORD error) {
        TWLOG(LOG_ERROR, steps.errorText << error);
        SetServiceStatus(steps.fallback);
    } catch (...) {
        TWLOG(LOG_ERROR, steps.failureText);
        SetServiceStatus(steps.fallback);
    }
}

// The system ends the process next whatever the hook did: STOPPED is
// reported in every case, so that the shutdown does not wait on this service.
void CServiceBase::Shutdown() {
    try {
        OnShutdown();
    } catch (DWORD error) {
        TWLOG(LOG_ERROR, "Service Shutdown error=" << error);
    } catch (...) {
        TWLOG(LOG_ERROR, "Service failed to shut down.");
    }
    SetServiceStatus(SERVICE_STOPPED);
}

SERVICE_STATUS CServiceBase::status() const {
    std::lock_guard<std::mutex> lock(statusMutex_);
    return status_;
}

void CServiceBase::SetServiceStatus(DWORD state, DWORD win32ExitCode, DWORD waitHint) {
    std::lock_guard<std::mutex> lock(statusMutex_);
    if (stoppedReported_) return;
    stoppedReported_ = state == SERVICE_STOPPED;
    status_.dwCurrentState = state;
    status_.dwWin32ExitCode = win32ExitCode;
    status_.dwWaitHint = waitHint;
    const bool settled = state == SERVICE_RUNNING || state == SERVICE_STOPPED;
    status_.dwCheckPoint = settled ? 0 : s_checkPoint++;
    if (reporter_) reporter_(statusHandle_, status_);
}

// ---- console installer routines ----

void consolePrint(PCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    vfwprintf(stdout, format, args);
    va_end(args);
    fflush(stdout);
}

namespace {

// The executable path quoted, so that a folder with a blank in its name
// cannot make the service control manager run a program planted at the first
// blank.
bool quotedModulePath(std::wstring& quoted) {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        consolePrint(L"GetModuleFileName failed w/err 0x%08lx\n", length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    quoted = L"\"" + std::wstring(path, length) + L"\"";
    return true;
}

void stopBeforeRemoval(SC_HANDLE service, PCWSTR serviceName, const StopWaitLimits& limits) {
    SERVICE_STATUS status{};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) return;
    consolePrint(L"Stopping %ls.", serviceName);
    Sleep(limits.intervalMs);
    const DWORD state = waitWhileStopPending(
        [service](SERVICE_STATUS& current) { return QueryServiceStatus(service, &current) != FALSE; },
        status.dwCurrentState, limits);
    if (state == SERVICE_STOPPED) {
        consolePrint(L"\n%ls is stopped.\n", serviceName);
    } else {
        consolePrint(L"\n%ls failed to stop.\n", serviceName);
    }
}

// A service that stays down after a crash would leave the machine without
// its watch until the next boot.
void restartAfterFailures(SC_HANDLE service) {
    SC_ACTION actions[std::size(FailureRestarts::kDelaysMs)];
    for (size_t i = 0; i < std::size(actions); ++i) actions[i] = {SC_ACTION_RESTART, FailureRestarts::kDelaysMs[i]};
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = FailureRestarts::kResetPeriodS;
    failure.cActions = static_cast<DWORD>(std::size(actions));
    failure.lpsaActions = actions;
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
        consolePrint(L"ChangeServiceConfig2 failed w/err 0x%08lx\n", GetLastError());
    }
}

}  // namespace

void InstallService(PCWSTR serviceName, PCWSTR displayName, DWORD startType, PCWSTR dependencies, PCWSTR account,
                    PCWSTR password) {
    std::wstring imagePath;
    if (!quotedModulePath(imagePath)) return;

    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        consolePrint(L"OpenSCManager failed w/err 0x%08lx\n", GetLastError());
        return;
    }
    UniqueScHandle service(CreateServiceW(manager.get(), serviceName, displayName,
                                          SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG | SERVICE_START,
                                          SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL,
                                          imagePath.c_str(), nullptr, nullptr, dependencies, account, password));
    if (!service) {
        consolePrint(L"CreateService failed w/err 0x%08lx\n", GetLastError());
        return;
    }
    consolePrint(L"%ls is installed.\n", serviceName);
    restartAfterFailures(service.get());
}

void UninstallService(PCWSTR serviceName) { UninstallService(serviceName, StopWaitLimits()); }

void UninstallService(PCWSTR serviceName, const StopWaitLimits& limits) {
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        consolePrint(L"OpenSCManager failed w/err 0x%08lx\n", GetLastError());
        return;
    }
    UniqueScHandle service(OpenServiceW(manager.get(), serviceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) {
        consolePrint(L"OpenService failed w/err 0x%08lx\n", GetLastError());
        return;
    }
    stopBeforeRemoval(service.get(), serviceName, limits);
    if (DeleteService(service.get())) {
        consolePrint(L"%ls is removed.\n", serviceName);
    } else {
        consolePrint(L"DeleteService failed w/err 0x%08lx\n", GetLastError());
    }
}

DWORD waitWhileStopPending(const std::function<bool(SERVICE_STATUS&)>& query, DWORD lastState,
                           const StopWaitLimits& limits) {
    DWORD state = lastState;
    for (unsigned poll = 0;; ++poll) {
        SERVICE_STATUS current{};
        if (!query(current)) break;
        state = current.dwCurrentState;
        if (state != SERVICE_STOP_PENDING || poll >= limits.polls) break;
        consolePrint(L".");
        Sleep(limits.intervalMs);
    }
    return state;
}
