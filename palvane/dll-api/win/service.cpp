#include "palvane/dll-api/win/service.h"

#include <windows.h>
#include <tlhelp32.h>

#include "palvane/dll-api/win/driver_operations.h"
#include "utils/twlogger.h"
#include "utils/win/FileMgr.h"
#include "utils/win/RunProcess.h"
#include "utils/win/localconfig.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"
#include "utils/win/userInfo.h"

namespace PALVANE_SERVICE {

namespace {

constexpr int kStartAttempts = 3;
constexpr uint32_t kPauseAfterFailedStartMs = 500;
constexpr uint32_t kPauseAfterKillMs = 1000;
constexpr uint64_t kTrayStartTimeoutMs = 5000;
constexpr UINT kKilledExitCode = 9;

Installed_drivers* asDriver(Installed_services& component) { return dynamic_cast<Installed_drivers*>(&component); }

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// Ends one process; false when it could not be opened or terminated.
bool terminateProcess(DWORD processId, const std::string& fileName) {
    UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, processId));
    if (!process) return false;
    TWLOG(LOG_INFO, "Trying to Kill  " << fileName);
    if (!TerminateProcess(process.get(), kKilledExitCode)) {
        TWLOG(LOG_ERROR, "Failed to kill " << fileName << " error=" << GetLastError());
        return false;
    }
    TWLOG(LOG_INFO, fileName << " is killed");
    return true;
}

}  // namespace

Services::Services(InstalledServiceList components, std::string path)
    : components(std::move(components)), path(std::move(path)) {}

Services::~Services() = default;

// Opens the component, installing it when it does not exist. A component
// that cannot be opened (for any reason but not existing) or installed, driver
// or service, counts like one that did not start: an installation must not
// be taken for complete while part of the agent is missing.
bool Services::openOrInstall(Installed_services& component) {
    component.open();
    if (component.hasServiceHandle()) return true;
    if (!component.isNotInstalled()) {
        TWLOG(LOG_ERROR, "Failed to open " << component.name << " error code=" << component.lastError());
        return false;
    }
    TWLOG(LOG_INFO, component.name << " is not found, install it");
    if (component.install(path)) return true;
    TWLOG(asDriver(component) != nullptr ? LOG_WARN : LOG_ERROR, "Failed to install " << component.name);
    return false;
}

bool Services::startWithRetries(Installed_services& component) {
    bool started = false;
    for (int attempt = 0; attempt < kStartAttempts && !started; ++attempt) {
        started = component.start();
        if (!started) serviceWaitClock().pause(kPauseAfterFailedStartMs);
    }
    if (Installed_drivers* driver = asDriver(component)) {
        DWORD state = 0;
        driver->queryService(state);
        driver->is_running = state != SERVICE_STOPPED;
    }
    return started;
}

// Once one component failed, the result stays a failure: a later component
// that starts must not hide it.
bool Services::start_service() {
    TWLOG(LOG_DEBUG, " Services::start_service()");
    status = kSuccess;
    for (const auto& component : components) {
        auto guard = component->lock();
        TWLOG(LOG_DEBUG, "Start  " << component->name);
        if (!openOrInstall(*component) || !startWithRetries(*component)) status = kComponentNotStarted;
    }
    return status == kSuccess;
}

void Services::stopOne(Installed_services& component) {
    TWLOG(LOG_DEBUG, "Trying to stop " << component.name);
    component.open();
    if (component.hasServiceHandle()) {
        if (!component.stop()) status = kComponentNotStopped;
    } else if (component.isNotInstalled()) {
        TWLOG(LOG_WARN, component.name << " is not installed yet.");
    } else {
        TWLOG(LOG_ERROR, "Failed to open " << component.name << " error code=" << component.lastError());
        status = kComponentNotStopped;
    }
}

// A component whose lock the caller's stop made it give up counts as not
// stopped.
bool Services::stop_service() {
    TWLOG(LOG_DEBUG, "Services::stop_service()");
    status = kSuccess;
    for (const auto& component : components) {
        auto guard = component->lockUnlessStopped();
        if (guard.owns_lock()) {
            stopOne(*component);
        } else {
            status = kComponentNotStopped;
        }
    }
    return status == kSuccess;
}

std::string Services::trayCommandLine() const { return quoted(path + kTrayProgram); }

bool Services::launch_tray() {
    status = kSuccess;
    // With nobody logged on there is no session to start it in, and waiting
    // for one would hold the whole installation; the Run value starts the
    // tray program at the next logon.
    unsigned sessionId = 0;
    if (!findActiveSessionNow(sessionId)) {
        TWLOG(LOG_NOTICE, "Nobody is logged on; " << path << kTrayProgram << " starts at the next logon.");
        return false;
    }
    RunProcess tray(toWide(trayCommandLine()), kTrayStartTimeoutMs);
    if (tray.runAsLoggedInUser()) return true;
    TWLOG(LOG_ERROR, "Failed to launch " << path << kTrayProgram);
    return false;
}

// An existing value is left as it is, except our own tray path without quotes
// (written by earlier versions): a path with blanks must be quoted, or Windows
// may run another program from a prefix of it.
bool Services::set_tray_autorun() {
    status = kSuccess;
    regKeyPair run;
    run.open(HKEY_LOCAL_MACHINE, kRunKey, regKeyPair::kDefaultView);
    std::string current;
    const bool present = run.readValue(kTrayRunValue, current, regKeyPair::kDefaultView) && !current.empty();
    if (!present || current == path + kTrayProgram) {
        run.writeValue(kTrayRunValue, trayCommandLine(), regKeyPair::kDefaultView);
    }
    run.close();
    return true;
}

// Ends every process of the name, not only the first: a second copy of the
// tray program would keep the agent's files in use.
bool Services::kill_process(std::string& name) {
    status = kSuccess;
    name += ".exe";
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return true;
    bool killed = false;
    bool notKilled = false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        const std::string fileName = toUtf8(entry.szExeFile);
        if (fileName != name) continue;
        if (terminateProcess(entry.th32ProcessID, fileName)) {
            killed = true;
        } else {
            notKilled = true;
        }
    }
    snapshot.reset();
    if (killed) serviceWaitClock().pause(kPauseAfterKillMs);
    if (!notKilled) return true;
    TWLOG(LOG_INFO, "Tray process is not killed");
    status = kTrayNotEnded;
    return false;
}

void Services::removeOne(Installed_services& component) {
    TWLOG(LOG_INFO, "Remove service " << component.name);
    component.open();
    if (!component.hasServiceHandle()) {
        TWLOG(LOG_WARN, "Failed to open " << component.name);
        return;
    }
    if (!component.stop()) TWLOG(LOG_ERROR, "Failed to stop " << component.name);
    Installed_drivers* driver = asDriver(component);
    const bool removed = driver != nullptr ? driver->uninstall(path) : component.remove();
    if (!removed) TWLOG(LOG_ERROR, "Failed to remove " << component.name);
}

bool Services::remove_service() {
    TWLOG(LOG_DEBUG, " Services::remove_service()");
    status = kSuccess;
    for (const auto& component : components) {
        auto guard = component->lock();
        removeOne(*component);
    }
    TWLOG(LOG_INFO, "Exit remove_service()");
    return true;
}

// Fails when no driver could be opened or any opened driver failed to
// uninstall (not only the last one); the driver files are removed only when
// every opened driver was uninstalled.
bool Services::uninstall_drivers() {
    TWLOG(LOG_DEBUG, " Service_Win::uninstall_drivers()");
    bool anyOpened = false;
    bool anyFailed = false;
    std::string driversFolder;
    for (const auto& component : components) {
        if (component->is_service != 0) continue;
        Installed_drivers* driver = asDriver(*component);
        if (driver == nullptr) continue;
        auto guard = component->lock();
        component->open();
        if (!component->hasServiceHandle()) {
            TWLOG(LOG_WARN, "Failed to open " << component->name);
            continue;
        }
        anyOpened = true;
        TWLOG(LOG_INFO, "Uninstall " << component->name);
        if (driversFolder.empty()) driversFolder = component->folder;
        if (!driver->uninstall(path)) {
            TWLOG(LOG_ERROR, "Failed to uninstall  " << component->name);
            anyFailed = true;
        }
    }
    status = anyOpened && !anyFailed ? kSuccess : kDriversNotUninstalled;
    if (status == kSuccess && !driversFolder.empty()) FileMgr(path).removeDriverFiles(driversFolder);
    return status == kSuccess;
}

}  // namespace PALVANE_SERVICE
