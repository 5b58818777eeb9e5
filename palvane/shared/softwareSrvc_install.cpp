// The installation flow of the service core: fresh installation, the upgrade
// in two phases around a reboot, the completion that either records the new
// version or restores the backups, and the hand-over to a new copy of the
// runtime library.
#include <windows.h>

#include <exception>
#include <memory>
#include <sstream>

#include "ipclib/ipcMessages.h"
#include "palvane/dll-api/win/extractor.h"
#include "palvane/shared/downloadMgr.h"
#include "palvane/shared/query_upgrade.h"
#include "palvane/shared/softwareSrvc.h"
#include "utils/configKeys.h"
#include "utils/twlogger.h"
#include "utils/win/localconfig.h"
#include "utils/win/scopedHandle.h"

namespace PALVANE_SERVICE {

namespace {

constexpr int32_t kExtractionFailed = -9;
constexpr uint32_t kIpcWaitAttempts = 35;
constexpr uint32_t kIpcWaitStepMs = 1000;
constexpr uint32_t kMessagePauseMs = 3000;

constexpr const char* kUpdateAvailable = "Update available - reboot device to update";
constexpr const char* kInstallationInProgress = "Installation in progress - Please wait.";
constexpr const char* kQueryFailed = "Failed to query upgrade information.";
constexpr const char* kDownloadFailed = "Failed to download CAB file.";
constexpr const char* kUpgradeFailed = "Failed to upgrade Quillmark Agent.";
constexpr const char* kInstalledSuccessfully = "Quillmark Agent is installed successfully.";
constexpr const char* kLibraryUpgraded = "A new Palvane DLL is upgraded.";

bool setSetting(const char* name, const std::string& value) {
    if (localConfig(false).setString(name, value.c_str())) return true;
    TWLOG(LOG_ERROR, "Failed to set " << name << " registry value");
    return false;
}

void deleteSetting(const char* name) { localConfig(false).deleteValue(name); }

// Unique enough to tell one installation attempt's backups from another's.
std::string newAttemptId() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    std::ostringstream id;
    id << std::hex << now.dwHighDateTime << now.dwLowDateTime << '-' << GetCurrentProcessId() << '-'
       << GetTickCount64();
    return id.str();
}

// Opens the file for reading and writing without creating it: present and
// not held by anyone else.
bool cabinetUsable(const std::string& path) {
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(file);
}

}  // namespace

void PalvaneService::sleepFor(uint32_t milliseconds) { seams_.sleep(milliseconds); }

// The attempt that the installation now pending belongs to; an installation
// recorded without one gets one here.
std::string PalvaneService::installAttempt() {
    std::string attempt = machineSetting(configKeys::INSTALL_ATTEMPT);
    if (!attempt.empty()) return attempt;
    attempt = newAttemptId();
    setSetting(configKeys::INSTALL_ATTEMPT, attempt);
    return attempt;
}

// A stop ends the wait: no agent process will come to a runtime that is
// going away, and the task pool must drain.
bool PalvaneService::waitForIpcPeer() {
    for (uint32_t attempt = 0; attempt < kIpcWaitAttempts && !ipcReachable_ && !stopping_; ++attempt) {
        sleepFor(kIpcWaitStepMs);
    }
    return ipcReachable_;
}

void PalvaneService::post_ui_message(const std::string& text, bool pause) {
    if (!waitForIpcPeer()) {
        TWLOG(LOG_ERROR, "IPC is not ready-failed to send " << text);
        return;
    }
    IpcPostUiMessage message(text.c_str());
    {
        std::lock_guard<std::mutex> lock(ipcLock_);
        if (ipcServer_) ipcServer_->broadcast(message);
    }
    if (pause) sleepFor(kMessagePauseMs);
}

// The download is published while it runs, so that a stop can cancel it; a
// stop that came first cancels it at once.
bool PalvaneService::fetch(downloadMgr& downloader, const std::string& url, const std::string& hash) {
    struct Published {
        PalvaneService& core;
        ~Published() {
            std::lock_guard<std::mutex> lock(core.downloadLock_);
            core.runningDownload_ = nullptr;
        }
    };
    {
        std::lock_guard<std::mutex> lock(downloadLock_);
        runningDownload_ = &downloader;
        if (stopping_) downloader.cancel();
    }
    Published published{*this};
    return downloader.do_get(url, hash);
}

void PalvaneService::cancelDownload() {
    std::lock_guard<std::mutex> lock(downloadLock_);
    if (runningDownload_ != nullptr) runningDownload_->cancel();
}

// The tick's answer is not acted on while an installation must first go on
// or be undone, nor when it offers what failed in this session or what
// already waits for its reboot.
bool PalvaneService::declinesOffer(const query_upgrade& answer) {
    if (answer.install_type != fresh_install && answer.install_type != upgrade) return false;
    const char* reason = nullptr;
    if (reboot_) {
        reason = "phase I of the pending upgrade waits for an agent process";
    } else if (restoreDue_) {
        reason = "a failed installation is still to be restored";
    } else {
        std::lock_guard<std::mutex> lock(versionLock_);
        if (answer.upgrade_version == failedOffer_) {
            reason = "it failed in this session";
        } else if (awaitingReboot_ && answer.upgrade_version == waitingUpgrade_) {
            reason = "it waits for a reboot";
        }
    }
    if (reason == nullptr) return false;
    TWLOG(LOG_INFO, "Version " << answer.upgrade_version << " is not installed now: " << reason << ".");
    return true;
}

void PalvaneService::stop_all_services() {
    if (!agentInstalled_) {
        TWLOG(LOG_NOTICE, "Ignoring stop_all_services() since agent is not installed.");
        return;
    }
    if (!services_->stop_service()) {
        status_ = services_->get_status();
        return;
    }
    std::string tray = "twptray";
    if (!services_->kill_process(tray)) status_ = services_->get_status();
}

// What an earlier fresh attempt left may run (its launch started services
// before one failed): the extraction could not replace those files.
void PalvaneService::stopFreshLeftovers() {
    TWLOG(LOG_NOTICE, "Stopping what an unfinished fresh installation left running.");
    services_->stop_service();
    std::string tray = "twptray";
    services_->kill_process(tray);
}

bool PalvaneService::launchComponents() {
    if (services_->start_service() && services_->set_tray_autorun() && services_->launch_tray()) return true;
    status_ = services_->get_status();
    return false;
}

void PalvaneService::launch_services() { launchComponents(); }

// The backup is taken whenever an agent is installed, and no installation goes
// on without it: a failed one could not be undone.
bool PalvaneService::pre_install() {
    TWLOG(LOG_DEBUG, "PalvaneService::pre_install()");
    status_ = 0;
    rollback_ = seams_.rollback(path_, components_, installAttempt());
    if (!agentInstalled_) {
        TWLOG(LOG_NOTICE, "Ignoring pre_install() since agent is not installed.");
        return true;
    }
    stop_all_services();
    if (status_ != 0) {
        const int32_t failed = status_;
        launch_services();
        status_ = failed;
        TWLOG(LOG_ERROR, "Installation cannot continue, failed in pre-install status=" << failed);
        return false;
    }
    // The drivers' uninstall removes their files from the drivers folder, and a
    // restore makes each folder exactly its backup: a backup taken after the
    // uninstall would leave a failed installation without any driver files.
    TWLOG(LOG_INFO, "Backing up all installed services...");
    if (!rollback_->backup()) {
        launch_services();
        TWLOG(LOG_ERROR, "Installation cannot continue, failed to back up the installed services.");
        return false;
    }
    if (!services_->uninstall_drivers()) TWLOG(LOG_WARN, "Drivers are not uninstalled; the installation goes on.");
    status_ = 0;
    return true;
}

// "install-pending" commits the upgrade and is written last; an upgrade that
// waits already is un-committed first, so that its values and this one's never
// mix. Its cabinet goes once this one is recorded.
bool PalvaneService::recordUpgrade(const std::string& cabinet, const std::string& version) {
    const std::string previous = machineSetting(configKeys::INSTALL_CABFILE);
    deleteSetting(configKeys::INSTALL_PENDING);
    deleteSetting(configKeys::INSTALL_STAGE);
    const bool recorded = setSetting(configKeys::INSTALL_CABFILE, cabinet) &&
                          setSetting(configKeys::UPGRADE_VERSION, version) &&
                          setSetting(configKeys::INSTALLING_VERSION, version) &&
                          setSetting(configKeys::INSTALL_ATTEMPT, newAttemptId()) &&
                          setSetting(configKeys::INSTALL_PENDING, "true");
    if (!recorded) clearInstallState();
    if (!previous.empty() && previous != cabinet) DeleteFileA(previous.c_str());
    if (!recorded) DeleteFileA(cabinet.c_str());
    return recorded;
}

// Phase 0: only the download. The components keep running and are watched,
// and the tick goes on asking, until the reboot.
void PalvaneService::upgrade_agent(const std::string& url, const std::string& hash) {
    if (stopping_) return;  // queued before the stop; the pool only drains now
    installPending_ = true;
    downloadMgr downloader(path_, false);
    if (!fetch(downloader, url, hash)) {
        TWLOG(LOG_ERROR, "Failed to download archive file.");
        installPending_ = false;
        return;
    }
    TWLOG(LOG_INFO, "Set upgrade registry key entries.");
    const std::string version = upgradeVersion();
    const bool recorded = recordUpgrade(downloader.installer_file(), version);
    awaitingReboot_ = recorded;
    if (recorded) {
        std::lock_guard<std::mutex> lock(versionLock_);
        waitingUpgrade_ = version;
    }
    installPending_ = false;
    if (recorded) post_ui_message(kUpdateAvailable, true);
}

// "install-fresh" is written before the first file lands: until the
// completion, files on the disk do not make an installed agent.
bool PalvaneService::install_fresh_agent(const std::string& url, const std::string& hash) {
    if (stopping_) return false;  // queued before the stop; the pool only drains now
    installPending_ = true;
    downloadMgr downloader(path_, true);
    if (!fetch(downloader, url, hash)) {
        TWLOG(LOG_ERROR, "Failed to download archive file.");
        installPending_ = false;
        return false;
    }
    const bool leftovers = !machineSetting(configKeys::INSTALL_FRESH).empty();
    deleteSetting(configKeys::INSTALL_STAGE);
    if (!setSetting(configKeys::INSTALL_ATTEMPT, newAttemptId()) || !setSetting(configKeys::INSTALL_FRESH, "true")) {
        endFailedAttempt();
        return false;
    }
    if (leftovers) stopFreshLeftovers();
    if (!pre_install()) {
        TWLOG(LOG_ERROR, "!!!!pre_install() failed.");
        endFailedAttempt();
        return false;
    }
    cab_extractor extractor(path_, downloader.installer_file());
    if (!extractor.extract()) {
        status_ = kExtractionFailed;
        return finish_fresh_installation(false);
    }
    markExtracted();
    extractor.delete_cabinets();
    if (extractor.new_library()) return handle_dll_upgrade();
    return finish_fresh_installation(false);
}

// Sets the pending flag before it takes the due phase I: only one task runs
// it, and never beside another installation.
bool PalvaneService::beginPhaseOne() {
    bool idle = false;
    if (!installPending_.compare_exchange_strong(idle, true)) return false;
    if (reboot_.exchange(false)) return true;
    installPending_ = false;
    return false;
}

void PalvaneService::handle_ipc_ready_thread() {
    TWLOG(LOG_DEBUG, "PalvaneService::handle_ipc_ready_thread()");
    if (stopping_) return;  // queued before the stop; the pool only drains now
    if (reboot_ && beginPhaseOne()) {
        TWLOG(LOG_INFO, ">>>Perform Quillmark Agent upgrade - phase I.");
        post_upgrade_agent_from_reboot();
        return;
    }
    if (installPending_) return;
    if (awaitingReboot_) {
        post_ui_message(kUpdateAvailable, false);
        return;
    }
    TWLOG(LOG_INFO, "Installation is not in progress.");
}

// Phase I. Its stage stays "phase-one" until the extraction is done, so a
// process death before that runs it again at the next start (with the backup
// of this attempt, taken before any file changed).
void PalvaneService::post_upgrade_agent_from_reboot() {
    TWLOG(LOG_DEBUG, "PalvaneService::post_upgrade_agent_from_reboot()");
    installPending_ = true;
    awaitingReboot_ = false;
    post_ui_message(kInstallationInProgress, false);

    localConfig config(true);
    std::string cabinet;
    if (!config.getString(configKeys::INSTALL_CABFILE, cabinet)) {
        TWLOG(LOG_ERROR, "Failed to get registry key:" << configKeys::INSTALL_CABFILE);
    }
    std::string version;
    if (config.getString(configKeys::UPGRADE_VERSION, version)) {
        setUpgradeVersion(version);
        // A tick may have rewritten it since the upgrade was recorded.
        setSetting(configKeys::INSTALLING_VERSION, version);
    } else {
        TWLOG(LOG_ERROR, "Failed to get registry key:" << configKeys::UPGRADE_VERSION);
    }

    if (!cabinetUsable(cabinet)) {
        TWLOG(LOG_INFO, "Download missing CAB file, " << cabinet);
        if (!download_missing_cab(cabinet)) {
            // Back to idle, in the settings too: no later start takes it for
            // extracted, and the next start's tick offers the upgrade again.
            endFailedAttempt();
            clearInstallState();
            services_->start_service();
            post_ui_message(kUpgradeFailed, false);
            return;
        }
    }
    ipcReachable_ = false;
    if (!pre_install()) {
        endFailedAttempt();
        post_ui_message(kUpgradeFailed, false);
        return;
    }
    cab_extractor extractor(path_, cabinet);
    if (!extractor.extract()) {
        status_ = kExtractionFailed;
        finish_upgrade_installation(false);
        return;
    }
    markExtracted();
    extractor.delete_cabinets();
    if (extractor.new_library()) {
        handle_dll_upgrade();
    } else {
        finish_upgrade_installation(false);
    }
}

// What was fetched is what gets installed and recorded.
bool PalvaneService::download_missing_cab(std::string& cabinetPath) {
    query_upgrade query(this);
    if (!query.query()) {
        post_ui_message(kQueryFailed, true);
        return false;
    }
    setUpgradeVersion(query.upgrade_version);
    // The file may come under the recorded name: a download cut short must
    // not pass for the recorded cabinet at the next start.
    deleteSetting(configKeys::INSTALL_CABFILE);
    downloadMgr downloader(path_, false);
    if (!fetch(downloader, query.download_url, query.sha256Hash)) {
        post_ui_message(kDownloadFailed, true);
        return false;
    }
    cabinetPath = downloader.installer_file();
    setSetting(configKeys::INSTALL_CABFILE, cabinetPath);
    setSetting(configKeys::UPGRADE_VERSION, query.upgrade_version);
    setSetting(configKeys::INSTALLING_VERSION, query.upgrade_version);
    return true;
}

// The permit for a completion at a later start: every file is in place.
// "install-pending" commits it (a fresh installation has none until now).
void PalvaneService::markExtracted() {
    setSetting(configKeys::INSTALL_STAGE, kStageExtracted);
    setSetting(configKeys::INSTALL_PENDING, "true");
}

// The stage turns to "restore" before any file is touched: a start after a
// process death in here restores again instead of completing. The new
// drivers go before the restore, so the restored INFs reinstall the old ones.
bool PalvaneService::rollBackInstallation(bool componentsLaunched) {
    setSetting(configKeys::INSTALL_STAGE, kStageRestore);
    TWLOG(LOG_INFO, "Restoring all installed services...");
    if (componentsLaunched && agentInstalled_) {
        stop_all_services();
        services_->uninstall_drivers();
    }
    const bool restored = rollback_->restore();
    // Without an installed agent nothing ran before: launching would only
    // install what the failed installation left behind.
    if (agentInstalled_) launch_services();
    return restored;
}

// A completed restore ends the installation; a failed one keeps the backups
// and the pending state, so the next start restores again.
void PalvaneService::endRollBack(bool restored) {
    if (restored) {
        rollback_->purge();
        deleteSetting(configKeys::INSTALLING_VERSION);
        clearInstallState();
    } else {
        TWLOG(LOG_ERROR, "The installed services could not be restored completely; the next start restores them.");
    }
    restoreDue_ = !restored;
    endFailedAttempt();
}

// The agent is watched again at once; the same offer waits for the next start.
void PalvaneService::endFailedAttempt() {
    {
        std::lock_guard<std::mutex> lock(versionLock_);
        failedOffer_ = upgrade_version_;
    }
    installPending_ = false;
}

// "install-pending" goes last: until then a start finds the installation and
// finishes what is left of it.
void PalvaneService::clearInstallState() {
    const std::string cabinet = machineSetting(configKeys::INSTALL_CABFILE);
    if (!cabinet.empty()) DeleteFileA(cabinet.c_str());
    for (const char* name : {configKeys::INSTALLING_VERSION, configKeys::INSTALL_CABFILE, configKeys::UPGRADE_VERSION,
                             configKeys::INSTALL_ATTEMPT, configKeys::INSTALL_STAGE}) {
        deleteSetting(name);
    }
    deleteSetting(configKeys::INSTALL_PENDING);
    awaitingReboot_ = false;
}

void PalvaneService::restore_at_start() {
    TWLOG(LOG_NOTICE, "A failed installation is restored from its backups.");
    rollback_ = seams_.rollback(path_, components_, installAttempt());
    rollback_->resume();
    endRollBack(rollBackInstallation(true));
}

// A completion at start takes over the backups its attempt made before the
// extraction; it never copies the folders again (they hold the new files).
bool PalvaneService::complete_installation(bool new_rollback) {
    if (new_rollback) {
        rollback_ = seams_.rollback(path_, components_, installAttempt());
        rollback_->resume();
    }
    if (status_ == kExtractionFailed) {
        const bool restored = rollBackInstallation(false);
        TWLOG(LOG_ERROR, "Installation did not complete due to extracting archive files failure.");
        endRollBack(restored);
        return false;
    }
    launch_services();
    if (status_ != 0) {
        TWLOG(LOG_ERROR, "Installation did not complete due to launching services failure, statue=" << status_);
        endRollBack(rollBackInstallation(true));
        return false;
    }
    std::string version;
    if (localConfig(true).getString(configKeys::INSTALLING_VERSION, version)) {
        if (!localConfig(false).setString(configKeys::INSTALLED_VERSION, version.c_str())) {
            TWLOG(LOG_ERROR, "Failed to save installed version:" << version);
        }
        TWLOG(LOG_INFO, "Quillmark Agent version " << version << " is installed successfully.");
    }
    // The agent's files now belong to a completed installation.
    deleteSetting(configKeys::INSTALL_FRESH);
    deleteSetting(configKeys::INSTALLING_VERSION);
    rollback_->purge();
    return true;
}

void PalvaneService::finish_upgrade_installation(bool new_rollback) {
    if (new_rollback) status_ = 0;
    if (!complete_installation(new_rollback)) {
        post_ui_message(kUpgradeFailed, false);
        return;
    }
    clearInstallState();
    installPending_ = false;
    post_ui_message(kInstalledSuccessfully, false);
}

bool PalvaneService::finish_fresh_installation(bool new_rollback) {
    if (new_rollback) status_ = 0;
    if (!complete_installation(new_rollback)) return false;
    if (timer_) {
        timerPeriod_ = kInstalledPeriodSeconds;
        TWLOG(LOG_DEBUG, "Resetting timer to " << kInstalledPeriodSeconds);
        timer_->reset(kInstalledPeriodSeconds * 1000);
    }
    agentInstalled_ = true;
    clearInstallState();
    installPending_ = false;
    return true;
}

// The new library finishes the installation when it starts: "install-pending"
// with the stage "extracted" (written right after the extraction) tells it so.
// When the mark cannot be written the installation is finished here. The host
// is told even while it stops: it then records the new library for its next
// start instead of loading it.
bool PalvaneService::handle_dll_upgrade() {
    if (agentInstalled_) post_ui_message(kLibraryUpgraded, true);
    if (!setSetting(configKeys::INSTALL_PENDING, "true")) {
        return agentInstalled_ ? (finish_upgrade_installation(false), true) : finish_fresh_installation(false);
    }
    try {
        if (reloadCallback_) reloadCallback_();
    } catch (const std::exception& error) {
        TWLOG(LOG_ERROR, "Catch exception: " << error.what());
    }
    return true;
}

}  // namespace PALVANE_SERVICE
