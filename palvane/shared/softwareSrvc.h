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
#include <optional>
#include <string>

#include "palvane/shared/IMonitoredCore.h"
#include "palvane/shared/coreParts.h"
#include "palvane/shared/installJournal.h"
#include "palvane/shared/installRecovery.h"
#include "palvane/shared/offer_retry_spacing.h"
#include "palvane/shared/palvaneIpc.h"
#include "palvane/shared/service_monitor.h"
#include "palvane/shared/upgradeQueryOwner.h"
#include "utils/win/sockhelper.h"
#include "utils/win/timer.h"

namespace PALVANE_SERVICE {

class cab_extractor;
class downloadMgr;
class query_upgrade;
class thread_pool;
class webView2Runtime;

// Tells the host, which reads it once StartMonitoring returned, that the
// start failed inside.
void recordFailedStart(ISettingsStore& settings);

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
        std::function<std::shared_ptr<IRollback>(const std::string& path, const ComponentList&, InstallJournal&)>
            rollback;
        // Milliseconds for spacing the attempts at an offer that keeps failing.
        offer_retry_spacing::Clock clock;
        // The machine settings the installation's journal (and the settings
        // written beside it) live in.
        std::shared_ptr<ISettingsStore> settings;
        // The update timer.
        std::function<ITimer*()> timer;
        // What the service monitor's own tests replace (its pauses, how it
        // starts programs, the Windows-upgrade watch).
        service_monitor::Options monitor;
        // The file this runtime runs from.
        std::function<std::wstring()> runningModule;
    };

    using ReloadCallback = std::function<void()>;

    static constexpr uint32_t kInstalledPeriodSeconds = 300;

    PalvaneService();
    explicit PalvaneService(Seams seams);
    ~PalvaneService() override;

    PalvaneService(const PalvaneService&) = delete;
    PalvaneService& operator=(const PalvaneService&) = delete;

    // Called once by the root object; never throws. A start that failed
    // inside (not one cut short by a stop) says so to the host.
    void start(ReloadCallback callback);
    void stop();
    bool remove_services();

    void onTimer() override;
    void onIpcReady(bool reachable) override;
    void onLogLevelChange(int level) override;

    // The reboot flag of the machine's settings and, when a user is there (or
    // an upgrade waits for its reboot), of the logged-on user's.
    struct RebootFlag {
        bool set = false;
        bool machine = false;
        bool user = false;
        // The user's value was read (or the machine's was set): it is reset
        // with the machine's.
        bool userRead = false;
    };

    bool is_agent_installed();
    RebootFlag get_reboot_flag(bool upgradeWaits);
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
    // Also while the journal says the files are being replaced or restored:
    // a tree that is neither wholly old nor wholly new is never started. A
    // tree that is wholly new or old again and runs is watched even while the
    // journal write that says so is still due.
    bool isChangingComponents() const override {
        return changingComponents_ || handedOver_ || (journal_.record().filesInFlux() && !endRuns());
    }
    bool isStopping() const override { return stopping_; }
    bool isBeingRemoved() const override { return removing_; }
    IServiceOperation* serviceOperations() override { return services_.get(); }
    std::string installedVersion() const override { return installed_version_; }
    std::string environment() const override { return environment_; }
    std::string cid() const override { return cid_; }
    std::string machineGuid() const override;

    // For tests and diagnostics.
    // An installation task runs (or waits for its hand-over): ticks ask nothing.
    bool isInstallationRunning() const { return taskRunning_ || handedOver_; }
    // What the journal says now.
    InstallRecord installRecord() const { return journal_.record(); }
    // Why a tick would not act on an offer of this version now; empty when it would.
    std::string declineReason(const std::string& version, const std::string& digest) const;
    bool isIpcReachable() const { return ipcReachable_; }
    int32_t status() const { return status_; }
    uint32_t timerPeriod() const { return timerPeriod_; }
    std::string upgradeVersion() const;
    const std::string& installPath() const { return path_; }

private:
    struct Offer {
        std::string version;
        std::string digest;
        bool matches(const std::string& otherVersion, const std::string& otherDigest) const {
            return version == otherVersion && (digest.empty() || otherDigest.empty() || digest == otherDigest);
        }
    };
    class LibraryRecord;
    // How far the end of the last attempt is on the disk. The files are
    // wholly new or old and run, but the journal write that says so failed
    // (CommitDue, RestoreEndDue); or the restore could not even begin
    // (RestoreDue). The ticks try again.
    enum class AttemptEnd { Recorded, CommitDue, RestoreEndDue, RestoreDue };
    bool endRuns() const {
        const AttemptEnd end = attemptEnd_;
        return end == AttemptEnd::CommitDue || end == AttemptEnd::RestoreEndDue;
    }
    // Clears a flag on every way out of a scope: the task that claimed the
    // core, or the change of the components.
    class ClearOnExit {
    public:
        explicit ClearOnExit(std::atomic<bool>& flag) : flag_(flag) {}
        ~ClearOnExit() { flag_ = false; }
        ClearOnExit(const ClearOnExit&) = delete;
        ClearOnExit& operator=(const ClearOnExit&) = delete;

    private:
        std::atomic<bool>& flag_;
    };
    // The watchers leave the components alone until it goes.
    ClearOnExit changeComponents() {
        changingComponents_ = true;
        return ClearOnExit(changingComponents_);
    }

    bool startParts();
    bool startTimer();
    void startLogServer();
    void recoverAtStart(StartAction action);
    void completeAtStart(const InstallRecord& record);
    bool runsLibraryOf(const InstallRecord& record);
    bool placedLibraryWaits(const InstallRecord& record);
    void startServiceMonitor();
    void startWebView2Installer();
    StartAction decideStart();
    void useUpRebootFlag(const RebootFlag& flag);
    CabinetState cabinetState(const InstallRecord& record);
    void launchIdleAgent();
    void dropRemnant();
    void restore_at_start();
    void finishExtractionAtStart();
    void beginStopping();
    void tearDown();
    bool ticksSkipped() const { return taskRunning_ || handedOver_ || stopping_ || removing_; }
    bool claimTask();
    bool storeOrDropAnswer(std::unique_ptr<query_upgrade> answer);
    bool declinesOffer(const query_upgrade& answer);
    bool offerHeldBack(const query_upgrade& answer);
    template <typename Task>
    void queueInstallation(Task task, const query_upgrade& answer);
    void retryUnfinished();
    void unfinishedTask();
    bool recordCommit(const std::string& version);
    bool recordRestoreEnd();
    void removeLeftovers(const InstallRecord& record);
    void abandonFresh(const InstallRecord& attempt);
    bool queryAgain(query_upgrade& query);
    bool fetch(downloadMgr& downloader, const std::string& url, const std::string& hash);
    void cancelDownload();
    bool recordWaitingUpgrade(const std::string& cabinet, const std::string& digest, const std::string& version);
    bool installFromCabinet(const std::string& cabinet);
    bool extractCabinet(cab_extractor& extractor);
    void stopForChange(const InstallRecord& attempt);
    bool rollBackInstallation();
    bool undoLibraryPlacement();
    void endFailedAttempt(const InstallRecord& attempt);
    void abandonPhaseOne(const std::string& cabinet);
    void stopFreshLeftovers();
    bool deleteFile(const std::string& path);
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
    // Where the installation stands is read from the journal; in memory are
    // only the facts that are not on the disk.
    InstallJournal journal_;
    std::atomic<bool> agentInstalled_{true};
    std::atomic<bool> stopping_{false};
    // remove_services has begun: no tick, relaunch or installation follows.
    std::atomic<bool> removing_{false};
    // An installation task is queued or runs (or the start recovers one):
    // ticks ask nothing and no other installation begins.
    std::atomic<bool> taskRunning_{false};
    // An installation stops, replaces or restores the components now: the
    // watchers leave them alone.
    std::atomic<bool> changingComponents_{false};
    // The runtime asked its host to hand over to a new library, which
    // finishes the installation; this one only waits to be stopped.
    std::atomic<bool> handedOver_{false};
    std::atomic<AttemptEnd> attemptEnd_{AttemptEnd::Recorded};
    // Phase I ran in this session: a failed one is not run again before the
    // next start (its own restart of the tray would run it again at once).
    std::atomic<bool> phaseOneTried_{false};
    // One IPC-ready task at a time, however many peers connect.
    std::atomic<bool> ipcReadyQueued_{false};
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
    // The offer whose installation failed in this session: not tried again
    // before the next start. Guarded by versionLock_.
    std::optional<Offer> failedOffer_;
    std::string installed_version_;
    std::string machine_guid_;
    ReloadCallback reloadCallback_;
    std::unique_ptr<ITimer> timer_;
    std::atomic<bool> ipcReachable_{false};
    // The download an installation task runs now; stop cancels it.
    std::mutex downloadLock_;
    downloadMgr* runningDownload_ = nullptr;
    // The last tick's answer, and the query a tick or phase I is running now:
    // a stop or remove_services cancels that one and never frees it under
    // its owner.
    std::mutex queryLock_;
    std::unique_ptr<query_upgrade> query_;
    query_upgrade* runningQuery_ = nullptr;
    // Under queryLock_ too: the spacing of the attempts at an offer that keeps
    // failing, and of the retries of a restore that keeps failing.
    offer_retry_spacing retrySpacing_;
    offer_retry_spacing restoreSpacing_;
    std::unique_ptr<thread_pool> pool_;
    std::unique_ptr<webView2Runtime> webView2_;
};

}  // namespace PALVANE_SERVICE
