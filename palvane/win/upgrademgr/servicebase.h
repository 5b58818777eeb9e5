// A general Windows service: runs the control dispatcher, moves the service
// through its states around overridable hooks and reports every state to the
// service control manager. Hooks signal failure by throwing a Windows error
// code as a DWORD. Also the console routines that install and remove the
// service.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

class CServiceBase {
public:
    // Blocks until the service has reported SERVICE_STOPPED; false when the
    // dispatcher could not connect to the service control manager.
    static bool Run(CServiceBase& service);

    // A stop reports SERVICE_STOP_PENDING with this wait hint, and again
    // with an advancing checkpoint at this interval until it has ended.
    static constexpr DWORD kStopWaitHintMs = 10000;
    static constexpr DWORD kStopProgressMs = 1000;
    // A stop whose hook has not returned by then (a runtime hung in its stop)
    // reports SERVICE_STOPPED and ends the process: a service left in
    // STOP_PENDING for ever could never be started again.
    static constexpr std::chrono::milliseconds kStopLimit{std::chrono::minutes(3)};
    // The exit code of a stop that outlived its limit.
    static constexpr DWORD kHungStopExitCode = ERROR_TIMEOUT;

    CServiceBase(PCWSTR serviceName, BOOL canStop = TRUE, BOOL canShutdown = TRUE, BOOL canPauseContinue = FALSE);
    // Waits for a stop under way: the process must end otherwise (see
    // stopUnderWay()).
    virtual ~CServiceBase();

    CServiceBase(const CServiceBase&) = delete;
    CServiceBase& operator=(const CServiceBase&) = delete;

    // The state transitions the dispatcher drives. Stop hands the hook to a
    // thread of its own and returns at once: the control handler must answer
    // the service control manager within its time limit, and must stay free
    // for a shutdown.
    void Start(DWORD argc, PWSTR* argv);
    void Stop();
    void Pause();
    void Continue();
    void Shutdown();
    // Routes one control code; codes the service does not handle do nothing.
    void Control(DWORD control);

    PCWSTR name() const { return name_; }
    SERVICE_STATUS status() const;
    bool stopUnderWay() const;

    // Where state reports go; the real one is the system's SetServiceStatus.
    using StatusReporter = std::function<BOOL(SERVICE_STATUS_HANDLE, const SERVICE_STATUS&)>;
    void setStatusReporter(StatusReporter reporter) { reporter_ = std::move(reporter); }
    // What ends a stop that outlived its limit; the real one ends the process.
    void setHungStopLimit(std::chrono::milliseconds limit, std::function<void()> endProcess) {
        stopLimit_ = limit;
        endProcess_ = std::move(endProcess);
    }

protected:
    virtual void OnStart(DWORD argc, PWSTR* argv) {}
    virtual void OnStop() {}
    virtual void OnPause() {}
    virtual void OnContinue() {}
    virtual void OnShutdown() {}

    void SetServiceStatus(DWORD state, DWORD win32ExitCode = NO_ERROR, DWORD waitHint = 0);

private:
    // A transition reports `pending`, runs the hook and reports `done`; a
    // hook that fails is logged and `fallback` is reported instead.
    struct TransitionSteps {
        DWORD pending;
        void (CServiceBase::*hook)();
        DWORD done;
        const char* errorText;    // followed by the hook's error code
        const char* failureText;  // for any other exception
        DWORD fallback;
    };
    void Transition(const TransitionSteps& steps);
    void RunStop(DWORD previousState);
    // False when the hook outlived the stop's limit.
    bool awaitStopHook(std::future<void>& hook);
    void endHungStop();

    static void WINAPI ServiceMain(DWORD argc, PWSTR* argv);
    static void WINAPI ServiceCtrlHandler(DWORD control);

    // One service per process; the checkpoint counter is shared by every
    // report of the process and never reset.
    static CServiceBase* s_service;
    static std::atomic<DWORD> s_checkPoint;

    mutable std::mutex statusMutex_;
    SERVICE_STATUS status_;
    // Once SERVICE_STOPPED is reported nothing else is: a stop that ends
    // after a shutdown must not report the service back to life.
    bool stoppedReported_ = false;
    mutable std::mutex stopMutex_;
    bool stopping_ = false;
    std::thread stopThread_;
    std::thread stopHookThread_;
    std::chrono::milliseconds stopLimit_ = kStopLimit;
    std::function<void()> endProcess_;
    PCWSTR name_;
    SERVICE_STATUS_HANDLE statusHandle_ = nullptr;
    StatusReporter reporter_;
};

// Console installer routines. They print their progress and never fail the
// process: installers rely on exit code 0. An installed service is started
// again by the service control manager when its process dies (a crash, or a
// call into the runtime that never returned): after 1, 5 and then every 15
// minutes, the count starting afresh after a day without a failure.
void InstallService(PCWSTR serviceName, PCWSTR displayName, DWORD startType, PCWSTR dependencies, PCWSTR account,
                    PCWSTR password);
struct StopWaitLimits;
void UninstallService(PCWSTR serviceName);
void UninstallService(PCWSTR serviceName, const StopWaitLimits& limits);

struct FailureRestarts {
    static constexpr DWORD kDelaysMs[] = {60000, 300000, 900000};
    static constexpr DWORD kResetPeriodS = 86400;
};

// The bound on the wait for a service to leave SERVICE_STOP_PENDING during
// removal.
struct StopWaitLimits {
    unsigned polls = 30;
    DWORD intervalMs = 1000;
};

// Polls `query` while it succeeds and reports SERVICE_STOP_PENDING, printing
// one "." per poll, at most `limits.polls` times. Returns the last known state.
DWORD waitWhileStopPending(const std::function<bool(SERVICE_STATUS&)>& query, DWORD lastState,
                           const StopWaitLimits& limits);

// printf-style output of a wide format to standard output.
void consolePrint(PCWSTR format, ...);
