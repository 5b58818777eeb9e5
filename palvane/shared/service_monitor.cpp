#include "palvane/shared/service_monitor.h"

#include <windows.h>

#include <exception>
#include <new>
#include <utility>

#include "palvane/dll-api/win/driver_operations.h"
#include "palvane/dll-api/win/process_monitor.h"
#include "palvane/shared/IServiceOperation.h"
#include "palvane/dll-api/win/windows_upgrade_monitor.h"
#include "palvane/shared/IMonitoredCore.h"
#include "utils/configKeys.h"
#include "utils/twlogger.h"
#include "utils/win/localconfig.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"

namespace PALVANE_SERVICE {

namespace {

const char* const kPacketFilterDriver = "PacketFilter";
// The protection driver stays stopped when the user turned protection off.
const char* const kProtectionDriver = "twprotect";
const char* const kSettingsFile = "tarnwell.json";

std::unique_ptr<windows_upgrade_monitor> makeRealUpgradeMonitor(std::function<void()> onUpgrade) {
    return std::unique_ptr<windows_upgrade_monitor>(new (std::nothrow) windows_upgrade_monitor(std::move(onUpgrade)));
}

}  // namespace

service_monitor::service_monitor(IMonitoredCore* core, const std::string& install_path,
                                 InstalledServiceList components)
    : service_monitor(core, install_path, std::move(components), Options()) {}

// Everything the health thread reads is in place before the thread starts,
// and nothing that can fail comes after it (a throw would leave a joinable
// thread behind).
service_monitor::service_monitor(IMonitoredCore* core, const std::string& install_path,
                                 InstalledServiceList components, Options options)
    : core_(core),
      components_(std::move(components)),
      install_path_(install_path),
      interval_(options.interval),
      stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    findPacketFilterDriver();
    createWatchers(options);
    healthThread_ = std::thread(&service_monitor::service_health_thread, this);
}

service_monitor::~service_monitor() {
    {
        std::lock_guard<std::mutex> guard(waitLock_);
        stop_ = true;
    }
    wakeUp_.notify_all();
    if (stopEvent_) SetEvent(stopEvent_.get());
    if (processMonitor_) processMonitor_->request_stop();
    if (healthThread_.joinable()) healthThread_.join();
    { std::lock_guard<std::mutex> reactionEnded(reactionLock_); }
    upgradeMonitor_.reset();
    processMonitor_.reset();
}

void service_monitor::findPacketFilterDriver() {
    for (const auto& component : components_) {
        auto* driver = dynamic_cast<Installed_drivers*>(component.get());
        if (driver != nullptr && driver->name == kPacketFilterDriver) {
            packet_filter_ = driver;
            return;
        }
    }
}

void service_monitor::createWatchers(const Options& options) {
    processMonitor_.reset(new (std::nothrow) process_monitor(core_, install_path_, options.launcher));
    if (!processMonitor_) TWLOG(LOG_ERROR, "Failed to allocate process monitor.");
    const UpgradeMonitorFactory make = options.makeUpgradeMonitor ? options.makeUpgradeMonitor : makeRealUpgradeMonitor;
    try {
        upgradeMonitor_ = make([this] { handle_windows_os_upgrade(); });
    } catch (const std::exception& error) {
        TWLOG(LOG_ERROR, "Windows upgrade monitor: " << error.what());
    }
    if (!upgradeMonitor_) TWLOG(LOG_ERROR, "Failed to allocate Windows upgrade monitor.");
}

void service_monitor::service_health_thread() {
    TWLOG(LOG_DEBUG, "service_health_thread is started.");
    // The service starts and stops of a pass end on the monitor's stop.
    ServiceWaitStop stopCutsWaits(stopEvent_.get());
    while (waitForNextPass()) {
        std::lock_guard<std::mutex> pass(passLock_);
        // A Windows feature upgrade ends the checks for good.
        if (upgradeHandled_) break;
        try {
            runPass();
        } catch (const std::exception& error) {
            TWLOG(LOG_ERROR, "service_health_thread: " << error.what());
        } catch (...) {
            TWLOG(LOG_ERROR, "service_health_thread: unknown exception.");
        }
        ++passes_;
    }
    if (stopRequested()) TWLOG(LOG_INFO, "service_health_thread is terminated.");
    threadEnded_ = true;
}

// The stop is set under the lock, so a stop that comes just before the wait
// begins is not missed: the destructor never waits out a whole interval.
bool service_monitor::waitForNextPass() {
    std::unique_lock<std::mutex> guard(waitLock_);
    return !wakeUp_.wait_for(guard, interval_, [this] { return stop_; });
}

bool service_monitor::stopRequested() {
    std::lock_guard<std::mutex> guard(waitLock_);
    return stop_;
}

void service_monitor::runPass() {
    if (processMonitor_) {
        processMonitor_->enumerate_processes();
        processMonitor_->relaunch_dead_processes();
    }
    if (stopRequested()) return;
    check_services_health();
    control_packet_filter();
}

bool service_monitor::coreAllowsWork() const {
    return core_ != nullptr && !core_->isChangingComponents() && !core_->isStopping() && !core_->isBeingRemoved() &&
           core_->isAgentInstalled();
}

void service_monitor::check_services_health() {
    if (!coreAllowsWork()) {
        TWLOG(LOG_DEBUG, "Service health check is ignored.");
        return;
    }
    for (const auto& component : components_) {
        if (stopRequested()) return;
        checkComponent(*component);
    }
}

// One step under the component's lock, so that it does not interleave with
// an operation of the component table on the same component.
void service_monitor::checkComponent(Installed_services& component) {
    auto guard = component.lockUnlessStopped();
    if (!guard.owns_lock()) return;
    // A driver that did not come up at the last start of the components is
    // not watched.
    auto* driver = dynamic_cast<Installed_drivers*>(&component);
    if (driver != nullptr && !driver->is_running) return;
    if (!component.hasServiceHandle()) component.open();
    if (!component.hasServiceHandle()) {
        if (component.lastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
            TWLOG(LOG_ERROR, "Failed to open " << component.name << " error code=" << component.lastError());
        }
        return;
    }
    DWORD state = 0;
    if (!component.queryService(state)) return;
    relaunch_spacing& spacing = restartSpacing_[&component];
    if (state != SERVICE_STOPPED) {
        spacing.seen_running();
        return;
    }
    if (component.name == kProtectionDriver) {
        TWLOG(LOG_DBLDEBUG, "Protection is disabled and do not restart " << component.name);
        return;
    }
    if (!spacing.due()) return;
    TWLOG(LOG_WARN, "Restart service " << component.name);
    spacing.started();
    if (!component.startService()) TWLOG(LOG_INFO, "Failed to start service " << component.name);
}

void service_monitor::control_packet_filter() {
    if (packet_filter_ == nullptr) {
        TWLOG(LOG_INFO, "Packet filter driver is not found.");
        return;
    }
    if (!coreAllowsWork()) {
        TWLOG(LOG_DEBUG, "Unload tcp filter driver ignored.");
        return;
    }
    if (!localConfig(true).getBool(configKeys::TCP_DRIVER, packet_filter_wanted_)) {
        TWLOG(LOG_WARN, "Failed to read the value of " << configKeys::TCP_DRIVER);
        return;
    }
    auto guard = packet_filter_->lockUnlessStopped();
    if (!guard.owns_lock()) return;
    if (packet_filter_wanted_ && !packet_filter_->is_running) {
        // A driver that fails at every start is tried less and less often.
        relaunch_spacing& spacing = restartSpacing_[packet_filter_];
        if (!spacing.due()) return;
        spacing.started();
        if (packet_filter_->start()) {
            spacing.seen_running();
            packet_filter_->is_running = true;
            touch_settings_file();
        } else {
            TWLOG(LOG_WARN, "Failed to start " << packet_filter_->name);
        }
    } else if (!packet_filter_wanted_ && packet_filter_->is_running) {
        if (packet_filter_->stop()) {
            packet_filter_->is_running = false;
        } else {
            TWLOG(LOG_ERROR, "Failed to stop " << packet_filter_->name);
        }
    }
}

// Tells the agent, which watches the file, that the packet filter came up.
// Only the attributes are written, and every kind of sharing is allowed, so
// the agent holding the file open does not make the touch fail.
void service_monitor::touch_settings_file() {
    const std::string path = install_path_ + kSettingsFile;
    UniqueHandle file(CreateFileW(toWide(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        TWLOG(LOG_ERROR, "Failed to open " << path);
        return;
    }
    SYSTEMTIME now;
    GetSystemTime(&now);
    FILETIME lastWrite;
    if (!SystemTimeToFileTime(&now, &lastWrite)) {
        TWLOG(LOG_ERROR, "SystemTimeToFileTime() failed, error=" << GetLastError());
        return;
    }
    if (!SetFileTime(file.get(), nullptr, nullptr, &lastWrite)) {
        TWLOG(LOG_ERROR, "SetFileTime() failed, error=" << GetLastError());
    }
}

// Waits for a pass that is running (it may be restarting the very components
// about to be stopped) and marks the upgrade under the same lock, so that no
// later pass starts them again. A health thread that has ended holds nothing,
// so the reaction never waits for it.
void service_monitor::handle_windows_os_upgrade() {
    TWLOG(LOG_NOTICE, "handle_windows_os_upgrade");
    if (upgradeSeen_.exchange(true)) {
        TWLOG(LOG_WARN, "handle_windows_os_upgrade() is called already.");
        return;
    }
    // The monitor's stop cuts the stops short, and the monitor waits for the
    // reaction before anything it uses goes.
    std::lock_guard<std::mutex> reaction(reactionLock_);
    ServiceWaitStop stopCutsWaits(stopEvent_.get());
    {
        std::lock_guard<std::mutex> pass(passLock_);
        upgradeHandled_ = true;
    }
    if (stopRequested()) return;
    IServiceOperation* operations = core_ != nullptr ? core_->serviceOperations() : nullptr;
    if (core_ != nullptr && core_->isAgentInstalled() && operations != nullptr) {
        if (!operations->stop_service()) {
            TWLOG(LOG_ERROR, "Failed to stop the agent's components before the Windows upgrade, status="
                                 << operations->get_status());
        }
    } else {
        TWLOG(LOG_NOTICE, "Ignoring stop_all_services() since agent is not installed.");
    }
    if (packet_filter_ == nullptr) return;
    auto guard = packet_filter_->lockUnlessStopped();
    if (!guard.owns_lock() || !packet_filter_->stop()) TWLOG(LOG_ERROR, "Failed to stop " << packet_filter_->name);
}

}  // namespace PALVANE_SERVICE
