// Keeps the installed agent running between updates: a health thread that,
// every ten seconds, relaunches the agent's dead programs, restarts its
// stopped services and drivers and starts or stops the packet-filter driver as
// the "tcp_driver" setting asks; and the reaction to a Windows feature
// upgrade, which stops the agent's components once and ends the health checks
// for good. The service core creates one at its start and deletes it at its
// stop; the core outlives it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "palvane/dll-api/win/relaunch_spacing.h"
#include "palvane/dll-api/win/service_operations.h"
#include "utils/win/scopedHandle.h"

class Installed_drivers;

namespace PALVANE_SERVICE {

class IMonitoredCore;
class IProcessLauncher;
class process_monitor;
class windows_upgrade_monitor;

class service_monitor {
public:
    static constexpr std::chrono::milliseconds kHealthInterval{10000};

    using UpgradeMonitorFactory =
        std::function<std::unique_ptr<windows_upgrade_monitor>(std::function<void()> onUpgrade)>;

    // What tests replace: the time between passes, how dead programs are
    // started, and the Windows-upgrade watch (an empty factory makes the real
    // one).
    struct Options {
        std::chrono::milliseconds interval = kHealthInterval;
        IProcessLauncher* launcher = nullptr;
        UpgradeMonitorFactory makeUpgradeMonitor;
    };

    // `install_path` ends with a backslash. Throws std::system_error when the
    // health thread cannot be created.
    service_monitor(IMonitoredCore* core, const std::string& install_path, InstalledServiceList components);
    service_monitor(IMonitoredCore* core, const std::string& install_path, InstalledServiceList components,
                    Options options);
    // Stops and joins the health thread (promptly, also in the middle of a
    // pass, whatever the pass waits for), cuts short and waits for an upgrade
    // reaction that is running, then ends the Windows-upgrade watch and the
    // process monitor.
    virtual ~service_monitor();

    service_monitor(const service_monitor&) = delete;
    service_monitor& operator=(const service_monitor&) = delete;

    // Called on a COM thread when a Windows feature upgrade begins.
    void handle_windows_os_upgrade();

    // Health passes that did their work so far.
    unsigned passes() const { return passes_.load(); }
    bool healthThreadEnded() const { return threadEnded_.load(); }

private:
    void service_health_thread();
    bool waitForNextPass();
    void runPass();
    void check_services_health();
    void checkComponent(Installed_services& component);
    void control_packet_filter();
    void touch_settings_file();
    bool coreAllowsWork() const;
    bool stopRequested();
    void findPacketFilterDriver();
    void createWatchers(const Options& options);

    IMonitoredCore* core_;
    InstalledServiceList components_;
    std::string install_path_;
    std::chrono::milliseconds interval_;
    bool packet_filter_wanted_ = false;
    Installed_drivers* packet_filter_ = nullptr;
    // Per component (the packet-filter driver's starts included), used by
    // the health thread only.
    std::map<const Installed_services*, relaunch_spacing> restartSpacing_;

    // Guards stop_ for the health thread's wait.
    std::mutex waitLock_;
    std::condition_variable wakeUp_;
    bool stop_ = false;
    // Signalled with stop_: ends a service start or stop that a pass waits for.
    UniqueHandle stopEvent_;
    // Held by the health thread while a pass works; the upgrade reaction
    // takes it to wait for the end of a running pass and to keep the next one
    // from starting components it is about to stop.
    std::mutex passLock_;
    // Held by the upgrade reaction while it runs.
    std::mutex reactionLock_;
    std::atomic<bool> upgradeHandled_{false};
    std::atomic<bool> upgradeSeen_{false};
    std::atomic<unsigned> passes_{0};
    std::atomic<bool> threadEnded_{false};

    std::unique_ptr<process_monitor> processMonitor_;
    std::unique_ptr<windows_upgrade_monitor> upgradeMonitor_;
    std::thread healthThread_;
};

}  // namespace PALVANE_SERVICE
