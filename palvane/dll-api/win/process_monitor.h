// Remembers which of the agent's programs have been seen running and starts
// again those that have died: the tray program in the logged-on user's
// session, every other program hidden. A program is the agent's when its image
// file lies under the install path; the proxy programs are left to their own
// service and never tracked. Used only by the service monitor's health thread;
// request_stop may come from any thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <list>
#include <string>

#include "palvane/dll-api/win/relaunch_spacing.h"
#include "utils/win/scopedHandle.h"

namespace PALVANE_SERVICE {

class IMonitoredCore;

struct tracked_process {
    DWORD process_id = 0;
    std::wstring image_path;
    relaunch_spacing spacing;
    // A service's program: never started here.
    bool service_program = false;
};

// How a dead program is started again. The real one uses RunProcess with the
// given time-out; tests put in another where there is no user session.
class IProcessLauncher {
public:
    virtual ~IProcessLauncher() = default;
    // Each returns the id of the started process, 0 when none was started.
    // `cancel` is signalled when the caller is being stopped: the wait for
    // the started program must end then.
    virtual DWORD launchHidden(const std::wstring& commandLine, uint64_t timeoutMs, HANDLE cancel) = 0;
    virtual DWORD launchInUserSession(const std::wstring& commandLine, uint64_t timeoutMs, HANDLE cancel) = 0;
};

IProcessLauncher& runProcessLauncher();

// Whether a service of the machine runs a program; Unknown when the service
// list cannot be read.
enum class ServiceProgram { Yes, No, Unknown };
using ServiceProgramQuery = std::function<ServiceProgram(const std::wstring& imagePath)>;

class process_monitor {
public:
    static constexpr uint64_t kLaunchTimeoutMs = 15000;

    // `launcher` null: the real one.
    process_monitor(IMonitoredCore* core, std::string install_path, IProcessLauncher* launcher = nullptr);
    virtual ~process_monitor();

    process_monitor(const process_monitor&) = delete;
    process_monitor& operator=(const process_monitor&) = delete;

    // Records the agent's running programs; false when the process list
    // cannot be read.
    bool enumerate_processes();
    // Adds a record or updates the process id of the record of the same program.
    void track_process(const tracked_process& process);
    // Starts each tracked program that is no longer running, of the few the
    // agent names (never the programs of services), and nothing while the
    // agent is not installed or is being installed, removed or stopped.
    void relaunch_dead_processes();

    // Where the answer whether a service runs a program comes from (tests).
    void setServiceProgramQuery(ServiceProgramQuery query) { serviceProgramOf_ = std::move(query); }

    // Ends a relaunch wait in progress and skips the remaining relaunches;
    // for the owner that is about to join the thread using this monitor.
    void request_stop();

    const std::list<tracked_process>& tracked() const { return processes_; }

private:
    bool stateAllowsWatching() const;
    void considerProcess(DWORD processId);
    bool isAgentProgram(const std::wstring& imagePath) const;
    bool isProgram(const std::wstring& imagePath, const wchar_t* relativePath) const;
    bool isServiceProgramOfTheAgent(const std::wstring& imagePath) const;
    bool isAlive(const tracked_process& process) const;
    bool mayStartHidden(tracked_process& process);
    void relaunchInUserSession(tracked_process& process);
    void relaunch(tracked_process& process, bool inUserSession);
    bool stopRequested() const;

    std::list<tracked_process> processes_;
    std::wstring install_path_;
    IMonitoredCore* core_;
    IProcessLauncher* launcher_;
    ServiceProgramQuery serviceProgramOf_;
    UniqueHandle stopEvent_;
};

}  // namespace PALVANE_SERVICE
