// The service core of the update runtime: decides at start what state the
// machine is in, owns every moving part (task pool, IPC server, timer,
// monitors, WebView2 installer), asks the update server on each tick whether
// there is work, runs installations on its task pool and frees everything in
// an order that leaves no thread using a freed part.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "palvane/shared/IMonitoredCore.h"
#include "palvane/shared/coreParts.h"
#include "palvane/shared/offer_retry_spacing.h"
#include "palvane/shared/palvaneIpc.h"
#include "palvane/shared/upgradeQueryOwner.h"
#include "utils/win/sockhelper.h"
#include "utils/win/timer.h"

namespace PALVANE_SERVICE {

class downloadMgr;
class query_upgrade;
class service_monitor;
class thread_pool;
class webView2Runtime;

class PalvaneService : public I_SoftwareManagerIpcListener,
                       private ITimerCallback,
                       public IMonitoredCore,
                       public IUpgradeQueryOwner {
public:
    // Replaceable waits and inputs; every default is the production one.
    struct Seams {
        // The installation flow's pauses (the 35 s wait for an agent process,
        // the 3 s pause after a user message).
        std::function<void(uint32_t milliseconds)> sleep;
        // Who owns a loopback connection to the IPC server.
        PortOwnerFinder ipcOwner;
        // The component table and the operations over it, and the backups of
        // the component folders (the builders of coreParts.h by default).
        std::function<ComponentList()> components;
        std::function<std::unique_ptr<IServiceOperation>(const ComponentList&, const std::string& path)> operations;
        std::function<std::shared_ptr<IRollback>(const std::string& path, const ComponentList&,
                                                 const std::string& attempt)>
            rollback;
        // Milliseconds for spacing the attempts at an offer that keeps failing.
        offer_retry_spacing::Clock clock;
    };

    using ReloadCallback = std::function<void()>;

    static constexpr uint32_t kInstalledPeriodSeconds = 300;

    // Values of "install-stage".
    static constexpr const char* kStagePhaseOne = "phase-one";
    static constexpr const char* kStageExtracted = "extracted";
    static constexpr const char* kStageRestore = "restore";

    PalvaneService();
    explicit PalvaneService(Seams seams);
    ~PalvaneService() override;

    PalvaneService(const PalvaneService&) = delete;
    PalvaneService& operator=(const PalvaneService&) = delete;

    // Called once by the root object; never throws.
    void start(ReloadCallback callback);
    void stop();
    bool remove_services();

    void onTimer() override;
    void onIpcReady(bool reachable) override;
    void onLogLevelChange(int level) override;

    bool is_agent_installed();
    bool get_reboot_flag();
    void read_configuration();
    bool check_for_upgrade();

    // The installation flow (task pool, or the starting thread).
    void upgrade_agent(const std::string& url, const std::string& hash);
    bool install_fresh_agent(const std::string& url, const std::string& hash);
    void handle_ipc_ready_thread();
    void post_upgrade_agent_from_reboot();
    bool download_missing_cab(std::string& cabinetPath);
    bool pre_install();
    bool complete_installation(bool new_rollback);
    void finish_upgrade_installation(bool new_rollback);
    bool finish_fresh_installation(bool new_rollback);
    bool handle_dll_upgrade();
    void stop_all_services();
    void launch_services();
    void post_ui_message(const std::string& text, bool pause);

    // The watchers' and the update query's view of the core.
    bool isAgentInstalled() const override { return agentInstalled_; }
    bool isInstallPending() const override { return installPending_; }
    bool isStopping() const override { return stopping_; }
    bool isBeingRemoved() const override { return removing_; }
    IServiceOperation* serviceOperations() override { return services_.get(); }
    std::string installedVersion() const override { return installed_version_; }
    std::string environment() const override { return environment_; }
    std::string cid() const override { return cid_; }
    std::string machineGuid() const override;

    // For tests and diagnostics. A reboot start is one whose upgrade waits
    // for an agent process to run phase I.
    bool isRebootStart() const { return reboot_; }
    bool isIpcReachable() const { return ipcReachable_; }
    int32_t status() const { return status_; }
    uint32_t timerPeriod() const { return timerPeriod_; }
    std::string upgradeVersion() const;
    const std::string& installPath() const { return path_; }

private:
    void startParts();
    void startTimer();
    void startLogServer();
    void runStateBranch();
    void startServiceMonitor();
    void startWebView2Installer();
    static std::string machineSetting(const char* name);
    std::string installAttempt();
    void readInstallState();
    void keepPhaseOneDue();
    void waitForPhaseOneOrReboot();
    void dropPendingInstallation();
    void restore_at_start();
    void beginStopping();
    void tearDown();
    bool ticksSkipped() const { return installPending_ || stopping_ || removing_; }
    bool storeOrDropAnswer(std::unique_ptr<query_upgrade> answer);
    bool declinesOffer(const query_upgrade& answer);
    bool beginPhaseOne();
    bool fetch(downloadMgr& downloader, const std::string& url, const std::string& hash);
    void cancelDownload();
    bool recordUpgrade(const std::string& cabinet, const std::string& version);
    void markExtracted();
    bool rollBackInstallation(bool componentsLaunched);
    void endRollBack(bool restored);
    void endFailedAttempt();
    void clearInstallState();
    void stopFreshLeftovers();
    bool offerHeldBack(const query_upgrade& answer);
    template <typename Task>
    void queueInstallation(Task task, const query_upgrade& answer);
    bool launchComponents();
    void setUpgradeVersion(const std::string& version);
    void sleepFor(uint32_t milliseconds);
    bool waitForIpcPeer();

    Seams seams_;
    // Held by start for its whole run; stop takes it after it has set the
    // stopping flag and cut short the waits that could hold a start.
    std::mutex lifecycleLock_;

    // Made at the end of start with this core (as its IMonitoredCore), Path
    // and the component list; stop and the destructor delete it first, which
    // joins its health thread and ends its watchers.
    std::unique_ptr<service_monitor> monitor_;

    // Guards the pointer against a broadcast from a task while the destructor
    // frees the server.
    std::mutex ipcLock_;
    std::unique_ptr<PalvaneServer> ipcServer_;
    std::unique_ptr<IServiceOperation> services_;
    std::atomic<bool> agentInstalled_{true};
    std::atomic<bool> stopping_{false};
    // remove_services has begun: no tick, relaunch or installation follows.
    std::atomic<bool> removing_{false};
    std::atomic<bool> reboot_{false};
    std::atomic<bool> queryBusy_{false};
    std::atomic<uint32_t> timerPeriod_{300};
    std::string cid_;
    std::string environment_;
    std::string path_;
    ComponentList components_;
    std::shared_ptr<IRollback> rollback_;
    std::atomic<int32_t> status_{0};
    mutable std::mutex versionLock_;
    std::string upgrade_version_;
    std::atomic<bool> installPending_{false};
    std::string installed_version_;
    std::string machine_guid_;
    ReloadCallback reloadCallback_;
    std::unique_ptr<ITimer> timer_;
    std::atomic<bool> ipcReachable_{false};
    // A downloaded upgrade waits for a reboot (its version in waitingUpgrade_);
    // a failed installation's backups are still to be put back; the version
    // whose installation failed in this session (not tried again before the
    // next start). The strings are guarded by versionLock_.
    std::atomic<bool> awaitingReboot_{false};
    std::atomic<bool> restoreDue_{false};
    std::string waitingUpgrade_;
    std::string failedOffer_;
    // The download an installation task runs now; stop cancels it.
    std::mutex downloadLock_;
    downloadMgr* runningDownload_ = nullptr;
    // The last tick's answer, and the query a tick is running now: a stop or
    // remove_services cancels that one and never frees it under the tick.
    std::mutex queryLock_;
    std::unique_ptr<query_upgrade> query_;
    query_upgrade* runningQuery_ = nullptr;
    // Under queryLock_ too: the spacing of the attempts at an offer that keeps
    // failing.
    offer_retry_spacing retrySpacing_;
    std::unique_ptr<thread_pool> pool_;
    std::unique_ptr<webView2Runtime> webView2_;
};

}  // namespace PALVANE_SERVICE
