// The installation flow of the service core: fresh installation, the upgrade
// in two phases around a reboot, the completion that either records the new
// version or restores the backups, and the hand-over to a new copy of the
// runtime library.
#include <windows.h>

#include <exception>
#include <memory>

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

// Opens the file for reading and writing without creating it: present and
// not held by anyone else.
bool cabinetUsable(const std::string& path) {
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(file);
}

}  // namespace

void PalvaneService::sleepFor(uint32_t milliseconds) { seams_.sleep(milliseconds); }

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

bool PalvaneService::launchComponents() {
    if (services_->start_service() && services_->set_tray_autorun() && services_->launch_tray()) return true;
    status_ = services_->get_status();
    return false;
}

void PalvaneService::launch_services() { launchComponents(); }

// The backup is taken whenever an agent is installed: the drivers' uninstall
// failing says nothing about the other folders, and an installation without a
// backup could not be undone.
bool PalvaneService::pre_install() {
    TWLOG(LOG_DEBUG, "PalvaneService::pre_install()");
    status_ = 0;
    rollback_ = seams_.rollback(path_, components_);
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
    rollback_->backup();
    if (!services_->uninstall_drivers()) TWLOG(LOG_WARN, "Drivers are not uninstalled; the installation goes on.");
    status_ = 0;
    return true;
}

// The three values are written together or not at all: a start that finds
// "install-pending" without the cabinet would otherwise take the upgrade for
// an extracted one.
void PalvaneService::upgrade_agent(const std::string& url, const std::string& hash) {
    if (stopping_) return;  // queued before the stop; the pool only drains now
    installPending_ = true;
    downloadMgr downloader(path_, false);
    if (!downloader.do_get(url, hash)) {
        TWLOG(LOG_ERROR, "Failed to download archive file.");
        installPending_ = false;
        return;
    }
    TWLOG(LOG_INFO, "Set upgrade registry key entries.");
    const std::string cabinet = downloader.installer_file();
    if (setSetting(configKeys::INSTALL_PENDING, "true") && setSetting(configKeys::INSTALL_CABFILE, cabinet) &&
        setSetting(configKeys::UPGRADE_VERSION, upgradeVersion())) {
        post_ui_message(kUpdateAvailable, true);
        return;
    }
    deleteSetting(configKeys::INSTALL_PENDING);
    deleteSetting(configKeys::INSTALL_CABFILE);
    deleteSetting(configKeys::UPGRADE_VERSION);
    DeleteFileA(cabinet.c_str());
}

bool PalvaneService::install_fresh_agent(const std::string& url, const std::string& hash) {
    if (stopping_) return false;  // queued before the stop; the pool only drains now
    installPending_ = true;
    downloadMgr downloader(path_, true);
    if (!downloader.do_get(url, hash)) {
        TWLOG(LOG_ERROR, "Failed to download archive file.");
        installPending_ = false;
        return false;
    }
    if (!pre_install()) {
        TWLOG(LOG_ERROR, "!!!!pre_install() failed.");
        return false;
    }
    cab_extractor extractor(path_, downloader.installer_file());
    if (!extractor.extract()) {
        status_ = kExtractionFailed;
        return finish_fresh_installation(false);
    }
    if (extractor.new_library()) return handle_dll_upgrade();
    return finish_fresh_installation(false);
}

void PalvaneService::handle_ipc_ready_thread() {
    TWLOG(LOG_DEBUG, "PalvaneService::handle_ipc_ready_thread()");
    if (stopping_) return;  // queued before the stop; the pool only drains now
    if (!installPending_) {
        TWLOG(LOG_INFO, "Installation is not in progress.");
        return;
    }
    if (!reboot_.exchange(false)) return;
    TWLOG(LOG_INFO, ">>>Perform Quillmark Agent upgrade - phase I.");
    post_upgrade_agent_from_reboot();
}

void PalvaneService::post_upgrade_agent_from_reboot() {
    TWLOG(LOG_DEBUG, "PalvaneService::post_upgrade_agent_from_reboot()");
    installPending_ = true;
    post_ui_message(kInstallationInProgress, false);

    localConfig config(true);
    std::string cabinet;
    if (!config.getString(configKeys::INSTALL_CABFILE, cabinet)) {
        TWLOG(LOG_ERROR, "Failed to get registry key:" << configKeys::INSTALL_CABFILE);
    }
    std::string version;
    if (config.getString(configKeys::UPGRADE_VERSION, version)) {
        setUpgradeVersion(version);
    } else {
        TWLOG(LOG_ERROR, "Failed to get registry key:" << configKeys::UPGRADE_VERSION);
    }

    if (!cabinetUsable(cabinet)) {
        TWLOG(LOG_INFO, "Download missing CAB file, " << cabinet);
        if (!download_missing_cab(cabinet)) {
            // Back to idle, in the settings too: the next tick offers the
            // upgrade again, and no later start takes it for extracted.
            installPending_ = false;
            deleteSetting(configKeys::INSTALL_PENDING);
            deleteSetting(configKeys::INSTALL_CABFILE);
            deleteSetting(configKeys::UPGRADE_VERSION);
            services_->start_service();
            post_ui_message(kUpgradeFailed, false);
            return;
        }
    }
    ipcReachable_ = false;
    if (!pre_install()) {
        post_ui_message(kUpgradeFailed, false);
        return;
    }
    cab_extractor extractor(path_, cabinet);
    if (!extractor.extract()) {
        status_ = kExtractionFailed;
        finish_upgrade_installation(false);
    } else if (extractor.new_library()) {
        handle_dll_upgrade();
    } else {
        finish_upgrade_installation(false);
    }
}

bool PalvaneService::download_missing_cab(std::string& cabinetPath) {
    query_upgrade query(this);
    if (!query.query()) {
        post_ui_message(kQueryFailed, true);
        return false;
    }
    setUpgradeVersion(query.upgrade_version);
    downloadMgr downloader(path_, false);
    if (!downloader.do_get(query.download_url, query.sha256Hash)) {
        post_ui_message(kDownloadFailed, true);
        return false;
    }
    cabinetPath = downloader.installer_file();
    return true;
}

bool PalvaneService::complete_installation(bool new_rollback) {
    if (new_rollback) {
        rollback_ = seams_.rollback(path_, components_);
        if (agentInstalled_) rollback_->backup();
    }
    if (status_ == kExtractionFailed) {
        TWLOG(LOG_INFO, "Restoring all installed services...");
        rollback_->restore();
        // Without an installed agent nothing ran before: launching would only
        // install what the failed extraction left behind.
        if (agentInstalled_) launch_services();
        TWLOG(LOG_ERROR, "Installation did not complete due to extracting archive files failure.");
        rollback_->purge();
        deleteSetting(configKeys::INSTALLING_VERSION);
        return false;
    }
    launch_services();
    if (status_ != 0) {
        TWLOG(LOG_ERROR, "Installation did not complete due to launching services failure, statue=" << status_);
        TWLOG(LOG_INFO, "Restoring all installed services...");
        stop_all_services();
        rollback_->restore();
        launch_services();
        deleteSetting(configKeys::INSTALLING_VERSION);
        rollback_->purge();
        return false;
    }
    std::string version;
    if (localConfig(true).getString(configKeys::INSTALLING_VERSION, version)) {
        if (!localConfig(false).setString(configKeys::INSTALLED_VERSION, version.c_str())) {
            TWLOG(LOG_ERROR, "Failed to save installed version:" << version);
        }
        installPending_ = false;
        TWLOG(LOG_INFO, "Quillmark Agent version " << version << " is installed successfully.");
    }
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
    deleteSetting(configKeys::INSTALL_PENDING);
    deleteSetting(configKeys::INSTALL_CABFILE);
    deleteSetting(configKeys::UPGRADE_VERSION);
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
    deleteSetting(configKeys::INSTALL_PENDING);
    return true;
}

// The new library finishes the installation when it starts: it finds
// "install-pending", and for an upgrade no recorded cabinet, which tells it the
// cabinet was extracted. When the mark cannot be written, or the runtime is
// being stopped (the host must not start a reload then), the installation is
// finished here; the host loads the newest library at its next start anyway.
bool PalvaneService::handle_dll_upgrade() {
    if (agentInstalled_) post_ui_message(kLibraryUpgraded, true);
    if (!setSetting(configKeys::INSTALL_PENDING, "true")) {
        return agentInstalled_ ? (finish_upgrade_installation(false), true) : finish_fresh_installation(false);
    }
    if (agentInstalled_) deleteSetting(configKeys::INSTALL_CABFILE);
    if (stopping_) {
        TWLOG(LOG_WARN, "Stopping: the new library finishes the installation at the next start.");
        return true;
    }
    try {
        if (reloadCallback_) reloadCallback_();
    } catch (const std::exception& error) {
        TWLOG(LOG_ERROR, "Catch exception: " << error.what());
    }
    return true;
}

}  // namespace PALVANE_SERVICE
