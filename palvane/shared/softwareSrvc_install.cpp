// The roads of an installation up to its cabinet: the fresh installation,
// phase 0 of an upgrade (only the download, which waits for a reboot), phase I
// after the reboot, and what they share: the user's messages, the downloads
// and the backup. From the cabinet on they go on in softwareSrvc_complete.cpp.
#include <windows.h>

#include <exception>
#include <memory>

#include "ipclib/ipcMessages.h"
#include "palvane/dll-api/win/cabinetNames.h"
#include "palvane/shared/downloadMgr.h"
#include "palvane/shared/query_upgrade.h"
#include "palvane/shared/softwareSrvc.h"
#include "utils/configKeys.h"
#include "utils/twlogger.h"
#include "utils/win/fileTree.h"
#include "utils/win/stringconv.h"

namespace PALVANE_SERVICE {

namespace {

constexpr uint32_t kIpcWaitAttempts = 35;
constexpr uint32_t kIpcWaitStepMs = 1000;
constexpr uint32_t kMessagePauseMs = 3000;

constexpr const char* kUpdateAvailable = "Update available - reboot device to update";
constexpr const char* kInstallationInProgress = "Installation in progress - Please wait.";
constexpr const char* kQueryFailed = "Failed to query upgrade information.";
constexpr const char* kDownloadFailed = "Failed to download CAB file.";
constexpr const char* kUpgradeFailed = "Failed to upgrade Quillmark Agent.";

}  // namespace

void PalvaneService::sleepFor(uint32_t milliseconds) { seams_.sleep(milliseconds); }

bool PalvaneService::deleteFile(const std::string& path) { return path.empty() || fileTree::removeTree(toWide(path)); }

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

// What a fresh attempt left may run (its launch started services before one
// failed, or the machine started them at boot): it holds the files, and
// nothing of an agent that is not installed may run.
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

// No installation goes on without its backup, fresh ones included: a failed
// one puts back exactly what was there (and takes away folders that were
// not). The copies are on the disk before the journal lists them.
bool PalvaneService::pre_install() {
    TWLOG(LOG_DEBUG, "PalvaneService::pre_install()");
    status_ = 0;
    const std::string attempt = journal_.beginBackup();
    rollback_ = seams_.rollback(path_, components_, journal_);
    if (agentInstalled_) {
        stop_all_services();
    } else {
        TWLOG(LOG_NOTICE, "Ignoring pre_install() since agent is not installed.");
    }
    if (status_ != 0) {
        const int32_t failed = status_;
        launch_services();
        status_ = failed;
        TWLOG(LOG_ERROR, "Installation cannot continue, failed in pre-install status=" << failed);
        return false;
    }
    TWLOG(LOG_INFO, "Backing up all installed services...");
    if (attempt.empty() || !rollback_->backup()) {
        if (agentInstalled_) launch_services();
        TWLOG(LOG_ERROR, "Installation cannot continue, failed to back up the installed services.");
        return false;
    }
    status_ = 0;
    return true;
}

// "install-pending" commits the upgrade and is written last. An upgrade that
// waits already is taken back first, so that its values and this one's never
// mix, and its cabinet goes before this one is recorded: no cabinet is ever
// left behind unrecorded.
bool PalvaneService::recordWaitingUpgrade(const std::string& cabinet, const std::string& digest,
                                          const std::string& version) {
    const InstallRecord waiting = journal_.record();
    const bool sameFile = cabinetNames::samePath(toWide(waiting.cabinet), toWide(cabinet));
    if (!journal_.withdrawUpgrade()) {
        if (!sameFile) deleteFile(cabinet);
        return false;
    }
    if (!sameFile) deleteFile(waiting.cabinet);
    if (journal_.recordUpgrade(cabinet, digest, version)) return true;
    deleteFile(cabinet);
    (void)journal_.clear();
    return false;
}

// Phase 0: only the download. The components keep running and are watched,
// and the tick goes on asking, until the reboot.
void PalvaneService::upgrade_agent(const std::string& url, const std::string& hash) {
    bool recorded = false;
    {
        ClearOnExit task(taskRunning_);
        if (stopping_) return;  // queued before the stop; the pool only drains now
        downloadMgr downloader(path_, false);
        if (!fetch(downloader, url, hash)) {
            TWLOG(LOG_ERROR, "Failed to download archive file.");
            return;
        }
        TWLOG(LOG_INFO, "Set upgrade registry key entries.");
        recorded = recordWaitingUpgrade(downloader.installer_file(), hash, upgradeVersion());
    }
    if (recorded) post_ui_message(kUpdateAvailable, true);
}

// "install-fresh" is written before the first file lands: until the
// completion, files on the disk do not make an installed agent.
bool PalvaneService::install_fresh_agent(const std::string& url, const std::string& hash) {
    ClearOnExit task(taskRunning_);
    if (stopping_) return false;  // queued before the stop; the pool only drains now
    downloadMgr downloader(path_, true);
    if (!fetch(downloader, url, hash)) {
        TWLOG(LOG_ERROR, "Failed to download archive file.");
        return false;
    }
    const bool leftovers = journal_.record().fresh;
    const std::string cabinet = downloader.installer_file();
    if (!journal_.beginFresh(cabinet, hash, upgradeVersion())) {
        abandonFresh(journal_.record());
        return false;
    }
    const ClearOnExit change = changeComponents();
    if (leftovers) stopFreshLeftovers();
    if (!pre_install()) {
        TWLOG(LOG_ERROR, "!!!!pre_install() failed.");
        abandonFresh(journal_.record());
        return false;
    }
    return installFromCabinet(cabinet);
}

// A fresh attempt that ends before its extraction leaves nothing behind: its
// backups and its values go (its downloader takes the cabinet), and the same
// offer waits for the next start.
void PalvaneService::abandonFresh(const InstallRecord& attempt) {
    endFailedAttempt(attempt);
    if (rollback_) rollback_->purge();
    if (!journal_.clear()) TWLOG(LOG_ERROR, "The values of the failed fresh installation could not be removed.");
}

void PalvaneService::handle_ipc_ready_thread() {
    TWLOG(LOG_DEBUG, "PalvaneService::handle_ipc_ready_thread()");
    ipcReadyQueued_ = false;
    if (stopping_) return;  // queued before the stop; the pool only drains now
    const InstallRecord record = journal_.record();
    if (record.phaseOneDue() && !phaseOneTried_ && claimTask()) {
        ClearOnExit task(taskRunning_);
        TWLOG(LOG_INFO, ">>>Perform Quillmark Agent upgrade - phase I.");
        post_upgrade_agent_from_reboot();
        return;
    }
    if (isInstallationRunning()) return;
    if (record.awaitsReboot()) {
        post_ui_message(kUpdateAvailable, false);
        return;
    }
    TWLOG(LOG_INFO, "Installation is not in progress.");
}

// Back to idle, in the settings too: no later start takes it for extracted,
// and the next start's tick offers the upgrade again.
void PalvaneService::abandonPhaseOne(const std::string& cabinet) {
    endFailedAttempt(journal_.record());
    deleteFile(cabinet);
    (void)journal_.clear();
    services_->start_service();
    post_ui_message(kUpgradeFailed, false);
}

// Phase I. Its stage stays "phase-one" until the backup of this attempt is
// complete, so a process death before that runs it again at the next start;
// from then on every change is made under the stage "extracting". Nothing is
// extracted that did not match its digest in this attempt.
void PalvaneService::post_upgrade_agent_from_reboot() {
    TWLOG(LOG_DEBUG, "PalvaneService::post_upgrade_agent_from_reboot()");
    phaseOneTried_ = true;
    post_ui_message(kInstallationInProgress, false);

    const InstallRecord attempt = journal_.record();
    if (attempt.cabinet.empty()) TWLOG(LOG_ERROR, "Failed to get registry key:" << configKeys::INSTALL_CABFILE);
    if (attempt.upgradeVersion.empty()) TWLOG(LOG_ERROR, "Failed to get registry key:" << configKeys::UPGRADE_VERSION);
    setUpgradeVersion(attempt.upgradeVersion);
    std::string cabinet = attempt.cabinet;
    if (cabinetState(attempt) != CabinetState::Usable) {
        TWLOG(LOG_INFO, "Download missing CAB file, " << cabinet);
        if (!download_missing_cab(cabinet)) {
            // A stop that cut the query or the download short leaves phase I
            // due for the next start.
            if (!stopping_) abandonPhaseOne(cabinet);
            return;
        }
    }
    ipcReachable_ = false;
    bool prepared = false;
    {
        const ClearOnExit change = changeComponents();
        prepared = pre_install();
        if (prepared) installFromCabinet(cabinet);
    }
    if (prepared) return;
    endFailedAttempt(journal_.record());
    post_ui_message(kUpgradeFailed, false);
}

// What was fetched is what gets installed and recorded. The file may come
// under the recorded name, so the name is forgotten first: a start in between
// fetches it again.
bool PalvaneService::download_missing_cab(std::string& cabinetPath) {
    query_upgrade query(this);
    if (!queryAgain(query)) {
        post_ui_message(kQueryFailed, true);
        return false;
    }
    setUpgradeVersion(query.upgrade_version);
    if (!journal_.forgetCabinet()) return false;
    deleteFile(cabinetPath);
    downloadMgr downloader(path_, false);
    if (!fetch(downloader, query.download_url, query.sha256Hash)) {
        post_ui_message(kDownloadFailed, true);
        return false;
    }
    cabinetPath = downloader.installer_file();
    return journal_.replaceCabinet(cabinetPath, query.sha256Hash, query.upgrade_version);
}

// The same offer waits for the next start; it is known by its version and
// digest.
void PalvaneService::endFailedAttempt(const InstallRecord& attempt) {
    const std::string version = attempt.attemptVersion();
    if (version.empty()) return;
    std::lock_guard<std::mutex> lock(versionLock_);
    failedOffer_ = Offer{version, attempt.cabinetDigest};
}

}  // namespace PALVANE_SERVICE
