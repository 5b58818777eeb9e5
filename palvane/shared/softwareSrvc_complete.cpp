// The roads of an installation from its cabinet on: the extraction, the
// completion that either records the new version or restores the backups,
// the hand-over to a new copy of the runtime library, and what a start does
// with an installation it finds under way.
#include <windows.h>

#include <exception>

#include "palvane/dll-api/win/cabinetNames.h"
#include "palvane/dll-api/win/extractor.h"
#include "palvane/dll-api/win/palvaneVersion.h"
#include "palvane/shared/downloadMgr.h"
#include "palvane/shared/rollback.h"
#include "palvane/shared/softwareSrvc.h"
#include "utils/configKeys.h"
#include "utils/runtimeLibraries.h"
#include "utils/twlogger.h"
#include "utils/win/fileTree.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"

namespace PALVANE_SERVICE {

namespace {

constexpr int32_t kExtractionFailed = -9;

constexpr const char* kUpgradeFailed = "Failed to upgrade Quillmark Agent.";
constexpr const char* kInstalledSuccessfully = "Quillmark Agent is installed successfully.";
constexpr const char* kLibraryUpgraded = "A new Palvane DLL is upgraded.";

// The version the host records for this library ("dll_version").
constexpr const char* kRuntimeVersion = PALVANE_TEXT_OF(PALVANE_VERSION_MAJOR) "." PALVANE_TEXT_OF(
    PALVANE_VERSION_MINOR) "." PALVANE_TEXT_OF(PALVANE_VERSION_BUILD);

}  // namespace

// A library the extraction places is in the journal before it lies in the
// library folder, so that a rollback finds it even after a process death.
class PalvaneService::LibraryRecord : public ILibraryRecord {
public:
    explicit LibraryRecord(PalvaneService& core) : core_(core) {}
    bool placing(const std::string& file) override { return core_.journal_.noteLibrary(file); }
    bool placed(const std::string& version) override {
        return core_.seams_.settings->set(configKeys::DLL_VERSION, version);
    }

private:
    PalvaneService& core_;
};

// From a cabinet whose digest matched in this attempt to a completed
// installation, its rollback, or the hand-over to a new runtime library.
// Every file is changed under the stage "extracting" (the backups are
// complete by then), and "extracted" is written once every file is on the
// disk: a start after a death in here finishes the extraction or restores,
// and never launches a half-written set.
bool PalvaneService::installFromCabinet(const std::string& cabinet) {
    const InstallRecord attempt = journal_.record();
    const bool fresh = attempt.fresh;
    if (attempt.stage != InstallRecord::kExtracting && !journal_.beginExtraction()) {
        if (fresh) {
            abandonFresh(attempt);
        } else {
            launch_services();
            endFailedAttempt(attempt);
        }
        return false;
    }
    if (!fresh && !services_->uninstall_drivers()) {
        TWLOG(LOG_WARN, "Drivers are not uninstalled; the installation goes on.");
    }
    cab_extractor extractor(path_, cabinet);
    extractor.setExpectedDigest(attempt.cabinetDigest);
    extractor.setRunningModule(seams_.runningModule());
    LibraryRecord library(*this);
    extractor.setLibraryRecord(&library);
    if (!extractor.extract() || !journal_.markExtracted()) status_ = kExtractionFailed;
    if (status_ != kExtractionFailed) {
        extractor.delete_cabinets();
        if (extractor.new_library()) return handle_dll_upgrade();
    }
    if (fresh) return finish_fresh_installation(false);
    finish_upgrade_installation(false);
    return status_ == 0;
}

// A completion at start takes over the backups its attempt made before the
// extraction; it never copies the folders again (they hold the new files).
// The version is recorded only once the new components run, and the backups
// go only after the attempt has ended.
bool PalvaneService::complete_installation(bool new_rollback) {
    if (new_rollback) {
        rollback_ = seams_.rollback(path_, components_, journal_);
        rollback_->resume();
    }
    if (status_ == kExtractionFailed) {
        rollBackInstallation();
        TWLOG(LOG_ERROR, "Installation did not complete due to extracting archive files failure.");
        return false;
    }
    launch_services();
    if (status_ != 0) {
        TWLOG(LOG_ERROR, "Installation did not complete due to launching services failure, statue=" << status_);
        rollBackInstallation();
        return false;
    }
    changingComponents_ = false;
    recordCommit(journal_.record().attemptVersion());
    return true;
}

// The new version runs; when it cannot be recorded now, the ticks (or the
// next start) record it.
bool PalvaneService::recordCommit(const std::string& version) {
    if (!journal_.commit()) {
        attemptEnd_ = AttemptEnd::CommitDue;
        TWLOG(LOG_ERROR, "Failed to save installed version:" << version);
        return false;
    }
    attemptEnd_ = AttemptEnd::Recorded;
    if (!version.empty()) TWLOG(LOG_INFO, "Quillmark Agent version " << version << " is installed successfully.");
    rollback_->purge();
    return true;
}

// The old files are back and run; when that cannot be recorded now, the
// ticks (or the next start) record it.
bool PalvaneService::recordRestoreEnd() {
    if (!journal_.endRestore()) {
        attemptEnd_ = AttemptEnd::RestoreEndDue;
        return false;
    }
    attemptEnd_ = AttemptEnd::Recorded;
    return true;
}

// The library that was handed the installation runs now: the user hears so
// once the components (the tray among them) run again.
void PalvaneService::finish_upgrade_installation(bool new_rollback) {
    const bool newLibrary = new_rollback && agentInstalled_ && runsLibraryOf(journal_.record());
    if (new_rollback) status_ = 0;
    const bool completed = complete_installation(new_rollback);
    if (newLibrary) post_ui_message(kLibraryUpgraded, true);
    post_ui_message(completed ? kInstalledSuccessfully : kUpgradeFailed, false);
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
    return true;
}

// The new library finishes the installation when it starts: the stage
// "extracted" tells it so. The host is asked at once, before any word to the
// user (who hears of the new library from the library itself) and though it
// is stopping (it then loads the new library at its next start); from here
// on this library only waits to be stopped.
bool PalvaneService::handle_dll_upgrade() {
    handedOver_ = true;
    try {
        if (reloadCallback_) reloadCallback_();
    } catch (const std::exception& error) {
        TWLOG(LOG_ERROR, "Catch exception: " << error.what());
    }
    return true;
}

// Whatever runs may hold the files (and the machine may have started the
// services of a half-written tree at boot).
void PalvaneService::stopForChange(const InstallRecord& attempt) {
    if (attempt.fresh) {
        stopFreshLeftovers();
    } else {
        stop_all_services();
        services_->uninstall_drivers();
    }
    status_ = 0;
}

// A library this attempt placed goes with it (unless it is the one running
// now), and "dll_version" names the running one again; false when either
// could not be done.
bool PalvaneService::undoLibraryPlacement() {
    const InstallRecord record = journal_.record();
    if (record.library.empty()) return true;
    const bool deleted = runsLibraryOf(record) || deleteFile(record.library);
    if (seams_.settings->set(configKeys::DLL_VERSION, kRuntimeVersion)) return deleted;
    TWLOG(LOG_ERROR, "Failed to set " << configKeys::DLL_VERSION << " registry value");
    return false;
}

// The stage turns to "restore" before any file is touched: a start after a
// death in here restores again instead of completing. Whatever runs goes
// first, then the new drivers (so that the restored INFs reinstall the old
// ones). The old version is started only once it is wholly back; one that
// could not be put back completely is tried again at the next tick or start.
bool PalvaneService::rollBackInstallation() {
    const ClearOnExit change = changeComponents();
    const InstallRecord attempt = journal_.record();
    endFailedAttempt(attempt);
    if (!journal_.beginRestore()) {
        TWLOG(LOG_ERROR, "The rollback could not be recorded; nothing was restored.");
        attemptEnd_ = AttemptEnd::RestoreDue;
        return false;
    }
    attemptEnd_ = AttemptEnd::Recorded;
    TWLOG(LOG_INFO, "Restoring all installed services...");
    stopForChange(attempt);
    if (!rollback_->restore() || !undoLibraryPlacement()) {
        TWLOG(LOG_ERROR, "The installed services could not be restored completely; the restore is tried again.");
        return false;
    }
    deleteFile(attempt.cabinet);
    const bool recorded = recordRestoreEnd();
    if (!attempt.fresh) launch_services();
    if (recorded) rollback_->purge();
    return recorded;
}

void PalvaneService::restore_at_start() {
    TWLOG(LOG_NOTICE, "A failed installation is restored from its backups.");
    rollback_ = seams_.rollback(path_, components_, journal_);
    rollback_->resume();
    rollBackInstallation();
}

void PalvaneService::unfinishedTask() {
    ClearOnExit task(taskRunning_);
    if (stopping_ || removing_) return;
    switch (attemptEnd_.load()) {
        case AttemptEnd::CommitDue:
            recordCommit(journal_.record().attemptVersion());
            return;
        case AttemptEnd::RestoreEndDue:
            if (recordRestoreEnd()) rollback_->purge();
            return;
        case AttemptEnd::RestoreDue:
        case AttemptEnd::Recorded:
            restore_at_start();
            return;
    }
}

// The cabinet's digest matched again at this start; nothing waits for an
// agent process. A library the cut extraction placed may be half written: it
// goes, and is placed again.
void PalvaneService::finishExtractionAtStart() {
    const InstallRecord attempt = journal_.record();
    TWLOG(LOG_NOTICE, "The extraction of version " << attempt.attemptVersion() << " was cut short; it is finished from "
                                                   << attempt.cabinet);
    const ClearOnExit change = changeComponents();
    rollback_ = seams_.rollback(path_, components_, journal_);
    rollback_->resume();
    stopForChange(attempt);
    undoLibraryPlacement();
    installFromCabinet(attempt.cabinet);
}

bool PalvaneService::runsLibraryOf(const InstallRecord& record) {
    return !record.library.empty() && cabinetNames::samePath(toWide(record.library), seams_.runningModule());
}

// The library the attempt placed completes it, not this one, while the host
// runs its proved library (this one) in its place (after a trial of it that
// failed, or before any) and has not refused it. The host refuses a library
// after two failed trials (or deletes it) and counts no trials of its proved
// one, so a library that crashes or cannot be used leaves the completion to
// this one. A library on trial itself (the host keeps one trial on record),
// or run by a host that keeps none, completes at once.
bool PalvaneService::placedLibraryWaits(const InstallRecord& record) {
    std::string proved, trial;
    if (!seams_.settings->get(configKeys::DLL_PROVED, proved) ||
        !cabinetNames::samePath(toWide(proved), seams_.runningModule())) {
        return false;
    }
    if (!seams_.settings->get(configKeys::DLL_TRIAL, trial)) trial.clear();
    const std::wstring placed = toWide(record.library);
    const std::wstring folder = toWide(path_ + configKeys::PALVANE_LIBRARY_FOLDER);
    DWORD error = 0;
    return !record.library.empty() && cabinetNames::samePath(fileTree::folderOf(placed), folder) &&
           runtimeLibraries::isLibraryName(toUtf8(fileTree::fileNameOf(placed))) && !runsLibraryOf(record) &&
           fileTree::kindOf(placed, error) == fileTree::Kind::File && !runtimeLibraries::refuses(trial, record.library);
}

void PalvaneService::completeAtStart(const InstallRecord& record) {
    if (placedLibraryWaits(record)) {
        TWLOG(LOG_NOTICE, "The installation is handed to " << record.library << ", which its extraction placed.");
        handle_dll_upgrade();
        return;
    }
    if (record.fresh) {
        TWLOG(LOG_NOTICE, "finish_fresh_installation().");
        finish_fresh_installation(true);
    } else {
        TWLOG(LOG_INFO, ">>>Perform Quillmark Agent upgrade - phase II.");
        finish_upgrade_installation(true);
    }
}

void PalvaneService::launchIdleAgent() {
    if (!agentInstalled_) return;
    TWLOG(LOG_NOTICE, "Launch all stopped services from PalvaneService start.");
    services_->start_service();
}

// The cabinet goes before the values that name it: nothing is left on the
// disk that no value names.
void PalvaneService::dropRemnant() {
    const InstallRecord record = journal_.record();
    TWLOG(LOG_WARN, "The values of an installation that ended or cannot go on are dropped.");
    deleteFile(record.cabinet);
    if (journal_.clear()) removeLeftovers(journal_.record());
    launchIdleAgent();
}

// What a process death can leave that no value names any more: downloads
// and cabinets beside the one recorded, the staging folder of an extraction,
// and, with no attempt under way, backup folders.
void PalvaneService::removeLeftovers(const InstallRecord& record) {
    const std::wstring folder = toWide(path_);
    const std::wstring part = toWide(downloadMgr::kPartSuffix);
    std::vector<std::wstring> leftovers{folder + cab_extractor::kStagingFolder};
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(FindFirstFileW((folder + L"*").c_str(), &entry));
    for (bool more = find.valid(); more; more = FindNextFileW(find.get(), &entry)) {
        std::wstring name = entry.cFileName;
        const std::wstring path = folder + name;
        if (name.size() > part.size() && _wcsicmp(name.c_str() + name.size() - part.size(), part.c_str()) == 0) {
            name.resize(name.size() - part.size());
        }
        const bool file = !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
        if (file && cabinetNames::hasCabinetSuffix(name) && !cabinetNames::samePath(path, toWide(record.cabinet))) {
            leftovers.push_back(path);
        }
    }
    for (const auto& component : components_) {
        if (!record.pending) leftovers.push_back(toWide(path_ + component->folder + RollbackMgr::kBackupSuffix));
    }
    for (const auto& leftover : leftovers) fileTree::removeTree(leftover);
}

// Runs on the starting thread, before the service monitor exists.
void PalvaneService::recoverAtStart(StartAction action) {
    const InstallRecord record = journal_.record();
    if (record.pending && agentInstalled_) TWLOG(LOG_NOTICE, "Agent installation is still in progress.");
    const bool runsTask = action == StartAction::Complete || action == StartAction::FinishExtraction ||
                          action == StartAction::Restore;
    if (runsTask && !claimTask()) return;
    switch (action) {
        case StartAction::Complete: {
            ClearOnExit task(taskRunning_);
            const ClearOnExit change = changeComponents();
            completeAtStart(record);
            return;
        }
        case StartAction::FinishExtraction: {
            ClearOnExit task(taskRunning_);
            finishExtractionAtStart();
            return;
        }
        case StartAction::Restore: {
            ClearOnExit task(taskRunning_);
            restore_at_start();
            return;
        }
        case StartAction::DropRemnant:
            dropRemnant();
            return;
        case StartAction::AwaitReboot:
            TWLOG(LOG_NOTICE, "The downloaded upgrade is installed after a reboot.");
            removeLeftovers(record);
            launchIdleAgent();
            return;
        case StartAction::PhaseOneOnTray:
        case StartAction::Nothing:
            removeLeftovers(record);
            launchIdleAgent();
            return;
    }
}

}  // namespace PALVANE_SERVICE
